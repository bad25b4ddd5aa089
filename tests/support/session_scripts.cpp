#include "session_scripts.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/golden.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace stktest {

namespace {

const char kScripts[] = "boot/terminal_sessions.txt";

// A session's first line "{host ppce500}" names the targets it runs on.
bool isTargetsLine(const std::string& line) {
    return line.starts_with("{") && line.find('}') + 1 == line.size();
}

}  // namespace

std::vector<std::string> sessionNames(const std::string& target) {
    std::vector<std::string> names;
    std::istringstream in(readHostFile(STK_SOURCE_DIR "/tests/" + std::string(kScripts)));
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("### ")) continue;
        std::string first;
        while (std::getline(in, first) && first.starts_with("#")) continue;  // comments
        std::string targets =
            isTargetsLine(first) ? " " + first.substr(1, first.size() - 2) + " " : " host ";
        if (targets.find(" " + target + " ") != std::string::npos) names.push_back(line.substr(4));
    }
    return names;
}

std::vector<std::string> sessionSteps(const std::string& name, const std::string& target,
                                      bool flashVolume) {
    std::vector<std::string> steps;
    std::istringstream in(golden(kScripts, name));
    for (std::string line; std::getline(in, line);) {
        size_t close = line.find('}');
        if (isTargetsLine(line)) continue;
        if (line.starts_with("{") && close != std::string::npos) {
            if (line.substr(1, close - 1) != target) continue;
            line.erase(0, close + 1);
        }
        for (std::string kind : {"folder:", "flash:"})
            if (line.starts_with(kind))
                line = (kind == "flash:") == flashVolume ? line.substr(kind.size()) : "#";
        if (line.empty() || line[0] == '#') continue;
        std::string step;  // "\r", "\n" and "\b" written out
        for (size_t i = 0; i < line.size(); ++i) {
            size_t k = line[i] == '\\' ? std::string("rnb").find(line[i + 1]) : std::string::npos;
            step += k == std::string::npos ? line[i] : "\r\n\b"[k];
            i += k != std::string::npos;
        }
        steps.push_back(step);
    }
    return steps;
}

void writeSharedPeerFiles(const std::string& dir) {
    writeHostFile(dir + "/firmware.bin", randomBytes(40000, 77));
    const std::string payload = textBytes(200000, 9);
    std::string bad = makeImage({.payload = payload});
    bad[bad.size() - 100] ^= 0x20;
    writeHostFile(dir + "/xcrcbad.bin", bad);
    std::string z = zlibCompress(payload);
    z[0] = 0x79;  // not a zlib header: the first inflate call fails
    writeHostFile(dir + "/xzbad.bin", makeImage({.stream = z}));
    std::string lz = lzmaAloneCompress(payload);
    writeHostFile(dir + "/xlbad.bin",
                  makeImage({.compression = 2, .stream = lz.substr(0, lz.size() / 2)}));
}

void expectEventLog(const std::string& dir, const std::string& arg) {
    std::string log = readHostFile(dir + "/" + arg.substr(0, arg.find('=')));
    EXPECT_EQ(log.size() % 1024, 0u);
    EXPECT_TRUE(contains(log, arg.substr(arg.find('=') + 1)));
}

}  // namespace stktest
