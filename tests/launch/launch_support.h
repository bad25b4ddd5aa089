// Helpers of the launcher tests: images around a given component stream,
// running shell tools, and the launch itself on the test board.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/test_board.h"

namespace launchtest {

constexpr uint32_t kLoad = 0x00010000;
constexpr uint32_t kZlib = 1;
constexpr uint32_t kLzma = 2;

// A plain image whose operational code component is `stream` as given. The
// component's Size is the stream's length unless `size` says otherwise.
std::string imageAround(const std::string& stream, uint32_t compression, uint32_t load = kLoad,
                        std::optional<uint32_t> size = std::nullopt);

// Runs a shell command; fails the test (and returns false) when it fails.
bool shell(const std::string& command);
// A single-quoted shell word.
std::string quote(const std::string& s);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// Deterministic payloads.
std::string randomBytes(size_t n, uint32_t seed);
std::string firmwareText(size_t n, uint32_t seed);

// The built programs.
extern const std::string kStkboot;
extern const std::string kStkimage;

struct ProgramRun {
    int status = -1;  // exit code, or -1 when killed
    std::string out;  // standard output and error together
    double seconds = 0;
};
// Runs a program with its standard input an idle pipe (kept open, so a
// console waiting for input only times out) and its output in a file in `dir`.
ProgramRun runProgram(const std::vector<std::string>& args, const std::string& dir,
                      int limitSeconds = 60);

// Test board with the active image "image1".
class LaunchTest : public stktest::BoardTest {
  protected:
    LaunchTest();
    // Stores `image` as image1 and starts it with start type 1.
    std::optional<plat::BoardStop> launch(const std::string& image);
    // Bytes of simulated RAM.
    std::string ram(uint32_t addr, size_t n);
    // Expects a hand-off at `load` with exactly `payload` in memory.
    void expectStarted(const std::optional<plat::BoardStop>& stop, const std::string& payload,
                       uint32_t load = kLoad);
    // Expects the decompression failure and a reset.
    void expectResetAfterError(const std::optional<plat::BoardStop>& stop);

    uint64_t startUs_ = 0;
};

}  // namespace launchtest
