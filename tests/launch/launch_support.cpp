#include "image/dim.h"
#include "launch_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "boot/boot.h"
#include "image/stk_format.h"
#include "launch/launch.h"

extern char** environ;

namespace launchtest {

std::string imageAround(const std::string& stream, uint32_t compression, uint32_t load,
                        std::optional<uint32_t> size) {
    stk::OprHeader h;
    h.targetDevice = 0x00508541;
    h.numComponents = 1;
    stk::OprComponent& c = h.components[0];
    c.size = size ? *size : uint32_t(stream.size());
    c.offset = 0;
    c.loadAddress = load;
    c.compressionFlag = compression;
    c.crc = stk::stkCrc16(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    std::strcpy(h.timestamp, "Tue Mar  1 10:00:00 2011");
    std::strcpy(h.file, "launch.stk");
    h.size = uint32_t(stk::kOprHeaderSize + stream.size());
    std::vector<uint8_t> file(h.size);
    stk::encodeOprHeader(h, file.data());
    std::memcpy(file.data() + stk::kOprHeaderSize, stream.data(), stream.size());
    stk::fileCrcStore(file.data(), file.size());
    return std::string(file.begin(), file.end());
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool shell(const std::string& command) {
    int rc = std::system(command.c_str());
    EXPECT_EQ(rc, 0) << command;
    return rc == 0;
}

std::string readFile(const std::string& path) {
    return stktest::readHostFile(path);
}
void writeFile(const std::string& path, const std::string& bytes) {
    stktest::writeHostFile(path, bytes);
}

std::string randomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char(gen() & 0xff);
    return s;
}

std::string firmwareText(size_t n, uint32_t seed) {
    static const char* words[] = {"port",  "vlan",   "stack", "link",  "frame", "queue",
                                  "error", "config", "trunk", "speed", "mac",   "snmp",
                                  "0x1f",  "init",   "done",  "table", "mode",  "lldp"};
    std::mt19937 gen(seed);
    std::string s;
    s.reserve(n + 64);
    while (s.size() < n) {
        s += words[gen() % (sizeof words / sizeof *words)];
        s += gen() % 9 == 0 ? '\n' : ' ';
        if (gen() % 13 == 0) s += std::to_string(gen() % 100000);
    }
    s.resize(n);
    return s;
}

const std::string kStkboot = std::string(STK_BINARY_DIR) + "/stkboot";
const std::string kStkimage = std::string(STK_BINARY_DIR) + "/stkimage";

ProgramRun runProgram(const std::vector<std::string>& args, const std::string& dir,
                      int limitSeconds) {
    ProgramRun r;
    std::string outPath = dir + "/run.out";
    int in[2];
    if (::pipe(in) != 0) return r;
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out, 1);
    posix_spawn_file_actions_adddup2(&fa, out, 2);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out);
    if (rc != 0) {
        ::close(in[1]);
        return r;
    }
    int status = 0;
    for (;;) {
        pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(limitSeconds)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(in[1]);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(outPath);
    return r;
}

LaunchTest::LaunchTest() {
    std::strcpy(activeImageFileName, "image1");
}

std::optional<plat::BoardStop> LaunchTest::launch(const std::string& image) {
    tb.writeFile("image1", image);
    startUs_ = tb.clock().nowUs();
    return tb.run([] { start_operational_code(1); });
}

std::string LaunchTest::ram(uint32_t addr, size_t n) {
    const uint8_t* p = plat::board().ram().at(addr, n);
    return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}

void LaunchTest::expectStarted(const std::optional<plat::BoardStop>& stop,
                               const std::string& payload, uint32_t load) {
    ASSERT_TRUE(stop.has_value());
    ASSERT_EQ(stop->kind, plat::BoardStop::Kind::Handoff) << con().output();
    EXPECT_EQ(stop->entry, load);
    EXPECT_EQ(stop->startType, 1);
    EXPECT_EQ(stop->loadedBytes, payload.size());
    EXPECT_TRUE(ram(load, payload.size()) == payload) << "memory differs from the payload";
    // Cleared again so that a later launch cannot pass on what this one left.
    if (uint8_t* p = plat::board().ram().at(load, payload.size()))
        std::memset(p, 0, payload.size());
    EXPECT_EQ(con().output().find("There was an error"), std::string::npos);
}

void LaunchTest::expectResetAfterError(const std::optional<plat::BoardStop>& stop) {
    ASSERT_TRUE(stop.has_value());
    EXPECT_EQ(stop->kind, plat::BoardStop::Kind::Reset);
    const std::string& out = con().output();
    const std::string msg = "\n\nThere was an error during decompression... resetting the switch\n";
    ASSERT_GE(out.size(), msg.size());
    EXPECT_EQ(out.substr(out.size() - msg.size()), msg);
    EXPECT_GE(tb.clock().nowUs() - startUs_, 2000000u) << "no two-second pause before the reset";
}

}  // namespace launchtest
