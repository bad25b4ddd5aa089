// The launcher on the test board: console texts, the zlib progress bar, the
// hand-off, streams from independent encoders and every way a launch ends in
// the decompression error; and the stkimage tool, whose images it starts.
#include "launch/launch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <optional>

#include "image/dim.h"
#include "image/stkimage.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

constexpr uint32_t kLoad = 0x00010000;

// A plain image whose operational code component is `stream` as given.
inline std::string imageAround(const std::string& stream, uint32_t compression,
                               uint32_t load = kLoad) {
    stktest::ImageSpec spec;
    spec.stream = stream;
    spec.compression = compression;
    spec.loadAddress = load;
    spec.timestamp = "Tue Mar  1 10:00:00 2011";
    return stktest::makeImage(spec);
}
// The same with component 0 claiming `size` bytes; the file CRC still fits.
inline std::string withCodeSize(std::string image, uint32_t size) {
    stktest::setBe32(image, 28, size);
    stktest::restoreCrc(image);
    return image;
}

// Test board with the active image "image1".
class LaunchTest : public stktest::BoardTest {
  protected:
    LaunchTest() { std::strcpy(activeImageFileName, "image1"); }
    // Stores a non-empty `image` as image1 and starts it with start type 1.
    std::optional<plat::BoardStop> launch(const std::string& image) {
        con().clearOutput();
        if (!image.empty()) tb.writeFile("image1", image);
        startUs_ = tb.clock().nowUs();
        return tb.run([] { start_operational_code(1); });
    }
    std::string ram(uint32_t addr, size_t n) {
        const uint8_t* p = plat::board().ram().at(addr, n);
        return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
    }
    // Expects a hand-off at `load` with exactly `payload` in memory.
    void expectStarted(const std::optional<plat::BoardStop>& stop, const std::string& payload,
                       uint32_t load = kLoad) {
        ASSERT_TRUE(stop && stop->kind == plat::BoardStop::Kind::Handoff) << con().output();
        EXPECT_EQ(stop->entry, load);
        EXPECT_EQ(stop->startType, 1);
        EXPECT_EQ(stop->loadedBytes, payload.size());
        EXPECT_TRUE(ram(load, payload.size()) == payload) << "memory differs from the payload";
        // Cleared, so that a later launch cannot pass on what this one left.
        if (uint8_t* p = plat::board().ram().at(load, payload.size()))
            std::memset(p, 0, payload.size());
    }
    // Expects the decompression error, after `before` when given, and a reset
    // two seconds later.
    void expectResetAfterError(const std::optional<plat::BoardStop>& stop,
                               const char* before = nullptr) {
        ASSERT_TRUE(stop && stop->kind == plat::BoardStop::Kind::Reset) << con().output();
        const std::string error =
            std::string(before ? before : "") +
            "\n\nThere was an error during decompression... resetting the switch\n";
        EXPECT_TRUE(con().output().ends_with(error)) << con().output();
        EXPECT_GE(tb.clock().nowUs() - startUs_, 2000000u);
    }

    uint64_t startUs_ = 0;
};

constexpr uint32_t kZlib = 1, kLzma = 2;
const std::string kScale = "                       50%                     100%\n";
const std::string kHead =
    "\n\nOperational Code Date: Tue Mar  1 10:00:00 2011\nUncompressing.....\n\n";

size_t bars(const std::string& out) {
    size_t from = out.find(kScale);
    return from == std::string::npos
               ? 0
               : out.find_first_not_of('|', from + kScale.size()) - from - kScale.size();
}
// The bar rule when each inflate call consumes 1024 bytes of a Size-byte stream.
size_t storedBars(uint64_t size) {
    size_t n = 0;
    unsigned last = 1;
    for (uint64_t used = 0; used < size;) {
        used = std::min<uint64_t>(used + 1024, size);
        unsigned pct = unsigned(used * 100 / size);
        if (pct % 2 == 0 && pct != last) ++n, last = pct;
    }
    return n;
}

TEST_F(LaunchTest, ZlibLaunchPrintsDateScaleBarAndHandsOff) {
    std::string payload = stktest::randomBytes(300000, 5, true);
    tb.writeFile("xcode.bin", "left over");
    tb.writeFile("bootcode.bin", "left over");
    plat::board().regs().hid0 = 0x80004000;
    expectStarted(launch(imageAround(stktest::zlibCompress(payload), kZlib)), payload);
    const std::string& out = con().output();
    EXPECT_EQ(out, kHead + kScale + std::string(bars(out), '|') + "\n");
    EXPECT_GE(bars(out), 1u);
    EXPECT_FALSE(tb.exists("xcode.bin") || tb.exists("bootcode.bin"));
    // Interrupts masked and locked, cache invalidated, HID0 cleared, after a
    // second for the bar and a second before the jump.
    const plat::CpuRegisters& r = plat::board().regs();
    EXPECT_EQ(r.msr, 0x00029200u & ~0x00028000u);
    EXPECT_EQ(r.intLockLevel, 1);
    EXPECT_EQ(r.cacheInvalidates, 1);
    EXPECT_EQ(r.hid0 | (r.l1csr1 & 0x2u), 0u);
    EXPECT_EQ(tb.clock().nowUs() - startUs_, 2000000u);

    // LZMA (any flag but 1) has no bar and pauses only before the jump.
    expectStarted(launch(imageAround(stktest::lzmaAloneCompress(payload), 7)), payload);
    EXPECT_EQ(con().output(), kHead);
    EXPECT_EQ(tb.clock().nowUs() - startUs_, 1000000u);
}

TEST_F(LaunchTest, BarFollowsTheInputConsumed) {
    // Stored blocks are consumed as offered, 1024 bytes per call.
    for (size_t n : {100, 5000, 70000, 400000}) {
        std::string payload = stktest::randomBytes(n, uint32_t(n));
        std::string stream = stktest::zlibCompress(payload, 0);
        expectStarted(launch(imageAround(stream, kZlib)), payload);
        EXPECT_EQ(bars(con().output()), storedBars(stream.size())) << n;
    }
    // Less than one per cent per call: every bar is drawn.
    std::string payload = stktest::randomBytes(1 << 20, 4);
    expectStarted(launch(imageAround(stktest::zlibCompress(payload, 6), kZlib)), payload);
    EXPECT_EQ(bars(con().output()), 51u);
    // A Size that ends before the end marker starts what was inflated.
    std::string stream = stktest::zlibCompress(payload.substr(0, 65536), 0);
    auto stop = launch(withCodeSize(imageAround(stream, kZlib), uint32_t(stream.size() - 10004)));
    ASSERT_TRUE(stop && stop->kind == plat::BoardStop::Kind::Handoff) << con().output();
    ASSERT_GT(stop->loadedBytes, 0u);
    ASSERT_LT(stop->loadedBytes, 65536u);
    EXPECT_EQ(ram(kLoad, stop->loadedBytes), payload.substr(0, stop->loadedBytes));
    EXPECT_EQ(bars(con().output()), storedBars(stream.size() - 10004));
}

TEST_F(LaunchTest, BrokenStreamsAndOverrunsOfTheBootAreaReset) {
    const std::string payload = stktest::randomBytes(100000, 14, true);
    const std::string z = stktest::zlibCompress(payload), lz = stktest::lzmaAloneCompress(payload);
    std::string unknown = lz;  // no size in the header: the end marker ends it
    for (int i = 5; i < 13; ++i) unknown[i] = char(0xff);
    auto with = [](std::string s, size_t at, char c) { return s.replace(at, 1, 1, c); };
    const uint32_t exact = uint32_t(plat::Ram::kBootArea - payload.size());
    const std::pair<std::string, uint32_t> streams[] = {{z, kZlib}, {lz, kLzma}, {unknown, kLzma}};
    // Output that ends right at the boot area is fine.
    for (const auto& [stream, flag] : streams)
        expectStarted(launch(imageAround(stream, flag, exact)), payload, exact);
    struct Case {
        std::string image;
        const char* before;  // what the console shows before the error, if checked
    } cases[] = {
        {imageAround("\x1f\x8b\x08" + std::string(7, '\0') + z.substr(2), kZlib), nullptr},
        {imageAround(with(z, z.size() / 2, z[z.size() / 2] ^ 0x55), kZlib), nullptr},
        {withCodeSize(imageAround(z, kZlib), uint32_t(z.size() + 1)), nullptr},
        {withCodeSize(imageAround(z, kZlib), 0xFFFFFFF0u), nullptr},
        {withCodeSize(imageAround(z, kZlib), 0), nullptr},
        {imageAround(with(lz, 0, char(225)), kLzma), "LzmaDecodeProperties returned ERROR\n"},
        {imageAround(with(lz, 0, char(8 + 9 * 4)), kLzma), nullptr},  // lc 8 + lp 4
        {imageAround(lz.substr(0, lz.size() / 2), kLzma), nullptr},
        {imageAround(unknown.substr(0, lz.size() / 2), kLzma), nullptr},
        {imageAround(lz.substr(0, 9), kLzma), nullptr},
        {imageAround(unknown.substr(0, 100) + std::string(40, '\xa5') + unknown.substr(140), kLzma),
         nullptr},
        {"", "\n\nOperational Code Date: \nUncompressing.....\n\n"},  // no image at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        if (c.image.empty()) std::strcpy(activeImageFileName, "image2");
        expectResetAfterError(launch(c.image), c.before);
    }
    std::strcpy(activeImageFileName, "image1");
    for (const auto& [stream, flag] : streams) {
        for (uint32_t load : {exact + 1, uint32_t(plat::Ram::kBootArea), 0xFFFFFF00u})
            expectResetAfterError(launch(imageAround(stream, flag, load)));
    }
}

// Streams made by independent tools decode byte for byte.
TEST_F(LaunchTest, StreamsFromIndependentEncodersDecode) {
    const std::string dir = stktest::makeTempDir("stklaunch-streams-");
    const std::string text = stktest::randomBytes(2 << 20, 7, true);
    stktest::writeHostFile(dir + "/text", text);
    stktest::writeHostFile(dir + "/random", stktest::randomBytes(1 << 20, 11));
    const std::string py =
        "python3 -c \"import sys, zlib, lzma; d = open(sys.argv[1], 'rb').read(); ";
    const std::string lzma1 =
        "lzma.compress(d, format=lzma.FORMAT_ALONE, filters=[{'id': "
        "lzma.FILTER_LZMA1, ";
    struct Case {
        const char* input;
        std::string command;  // reads the input named last, writes the stream to stdout
        uint32_t flag;
    } cases[] = {
        {"text", py + "sys.stdout.buffer.write(zlib.compress(d, 1))\"", kZlib},
        {"random", py + "sys.stdout.buffer.write(zlib.compress(d, 9))\"", kZlib},
        {"text", "pigz -z -c -p 2", kZlib},
        {"random", "pigz -z -c -p 2", kZlib},
        {"text", "xz --format=lzma -T1 -c -6", kLzma},
        {"random", "xz --format=lzma -T1 -c -0", kLzma},
        {"text", "xz --format=lzma -T1 -c --lzma1=preset=1,dict=64KiB,lc=0,lp=2,pb=0", kLzma},
        {"text", "xz --format=lzma -T1 -c --lzma1=dict=1MiB,lc=4,lp=0,pb=4", kLzma},
        {"text",
         py + "sys.stdout.buffer.write(" + lzma1 +
             "'dict_size': 1 << 22, 'lc': 1, 'lp': 3, 'pb': 1}]))\"",
         kLzma},
        {"random",
         py + "sys.stdout.buffer.write(" + lzma1 + "'preset': 9 | lzma.PRESET_EXTREME}]))\"",
         kLzma},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const std::string in = dir + "/" + c.input, out = dir + "/stream";
        ASSERT_EQ(std::system((c.command + " " + in + " > " + out).c_str()), 0);
        expectStarted(launch(imageAround(stktest::readHostFile(out), c.flag)),
                      stktest::readHostFile(in));
    }
    // A size in the header bounds the output, with or without the end marker.
    ASSERT_EQ(
        std::system(("xz --format=lzma -T1 -c " + dir + "/text > " + dir + "/stream").c_str()), 0);
    std::string stream = stktest::readHostFile(dir + "/stream");
    for (uint32_t size : {uint32_t(text.size()), 1000001u}) {
        for (int i = 0; i < 8; ++i) stream[5 + i] = char(i < 4 ? size >> (8 * i) : 0);
        expectStarted(launch(imageAround(stream, kLzma)), text.substr(0, size));
    }
    stktest::removeTree(dir);
}

class Stkimage : public LaunchTest {
  protected:
    // The programs' input is a pipe that stays open and idle, so that a
    // console waiting for input only times out.
    Stkimage() : dir_(stktest::makeTempDir("stklaunch-tool-")) {
        ::mkfifo((dir_ + ".in").c_str(), 0600);
    }
    ~Stkimage() override {
        stktest::removeTree(dir_);
        std::remove((dir_ + ".out").c_str());
        std::remove((dir_ + ".in").c_str());
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Runs a built program with the given (shell-quoted) arguments and its
    // input at its end; returns its exit status and keeps its output in out_.
    int run(const std::string& program, const std::string& args) {
        int rc = std::system(("timeout 60 " STK_BINARY_DIR "/" + program + " " + args + " > " +
                              dir_ + ".out 2>&1 0<>" + dir_ + ".in")
                                 .c_str());
        out_ = stktest::readHostFile(dir_ + ".out");
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    int tool(const std::string& args) { return run("stkimage", args); }

    std::string dir_, out_;
};

TEST_F(Stkimage, CreatedImagesHaveTheRequestedFieldsVerifyAndStart) {
    const std::string firmware = stktest::randomBytes(300000, 21, true);
    const std::string boot = stktest::randomBytes(4000, 22);
    stktest::writeHostFile(path("fw"), firmware);
    stktest::writeHostFile(path("boot"), boot);
    for (const char* compression : {"zlib", "lzma"}) {
        ASSERT_EQ(
            tool("create " + path("fw") + " -o " + path("img") + " --compression " + compression +
                 " --load-address 0x00200000 --version 3.1.4.1 --timestamp "
                 "'Wed Mar  2' --file-text fw.bin --boot-code " +
                 path("boot") + " --boot-code-version 7"),
            0)
            << out_;
        EXPECT_EQ(tool("verify " + path("img")), 0) << out_;
        const std::string img = stktest::readHostFile(path("img"));
        tb.writeFile("img", img);
        OprHeader h;
        ASSERT_EQ(bspapiOprHeaderRead("img", &h), 0);
        const OprComponent &c = h.components[0], &b = h.components[1];
        EXPECT_EQ(std::vector<uint32_t>({h.size, h.numComponents, h.rel, h.build_num,
                                         c.compressionFlag, b.version, b.offset}),
                  std::vector<uint32_t>(
                      {uint32_t(img.size()), 2, 3, 1, compression[0] == 'z' ? 1u : 2u, 7, c.size}));
        EXPECT_EQ(h.timestamp + std::string(":") + h.file, "Wed Mar  2:fw.bin");
        EXPECT_EQ(img.substr(1220 + b.offset, b.size), boot);  // stored as given
        EXPECT_EQ(bspapiCheckCfDCRC(b.crc, boot.data(), uint16_t(boot.size())), 0);
        EXPECT_EQ(bspapiValidateImage("img", 1), 0);
        expectStarted(launch(img), firmware, 0x00200000);
    }
}

TEST_F(Stkimage, BundlesStartTheirOwnRecordAndInfoShowsTheBootMenuDisplay) {
    const std::string mine = stktest::randomBytes(50000, 31, true);
    stktest::writeHostFile(path("mine"), mine);
    ASSERT_EQ(tool("create " + path("mine") + " -o " + path("a") + " --target 0x00501234"), 0);
    ASSERT_EQ(tool("create " + path("mine") + " -o " + path("b")), 0);
    ASSERT_EQ(tool("create " + path("mine") + " -o " + path("wrapped") + " --stk"), 0);
    ASSERT_EQ(tool("bundle " + path("a") + " " + path("b") + " -o " + path("ab")), 0) << out_;
    for (const char* name : {"ab", "wrapped"}) {
        EXPECT_EQ(tool("verify " + path(name)), 0) << out_;
        expectStarted(launch(stktest::readHostFile(path(name))), mine);
    }
    ASSERT_EQ(tool("info " STK_SOURCE_DIR "/tests/image/golden.stk"), 0);
    tb.writeFile("image1", stktest::readHostFile(STK_SOURCE_DIR "/tests/image/golden.stk"));
    con().clearOutput();
    print_vpd_in_flash();
    EXPECT_TRUE(out_.starts_with("STK file header\n")) << out_;
    EXPECT_NE(out_.find(con().output().substr(con().output().find("CRC..."))), std::string::npos)
        << out_;
}

TEST_F(Stkimage, BadInputGetsAOneLineReasonAndLeavesNoFile) {
    stktest::writeHostFile(path("fw"), "firmware");
    ASSERT_EQ(tool("create " + path("fw") + " -o " + path("img") + " --stk"), 0);
    std::string img = stktest::readHostFile(path("img"));
    stktest::writeHostFile(path("cut"), img.substr(0, img.size() - 10));
    stktest::writeHostFile(path("crc"), img.replace(500, 1, 1, img[500] ^ 1));
    img[88 + 7] = 0x42;  // the record's target device
    stktest::restoreCrc(img);
    stktest::writeHostFile(path("foreign"), img);
    const std::string create = "create " + path("fw") + " -o " + path("out") + " ";
    const std::pair<std::string, std::string> cases[] = {
        {"verify " + path("crc"), "the file CRC does not match (validation code 3)"},
        {"verify " + path("cut"), "shorter than the total length"},
        {"verify " + path("foreign"), "no image record for target device 0x00508541"},
        {create + "--target 0x100000000", "not a 32-bit number"},
        {create + "--version 1.2.3.256", "not a version"},
        {create + "--load-address 0x0F000000", "does not fit in memory"},
        {create + "--timestamp " + std::string(32, 'x'), "longer than 31"},
        {"create " + path("fw") + " -o " + path("no-such-dir/out"), "cannot write"},
    };
    for (const auto& [args, reason] : cases) {
        EXPECT_NE(tool(args), 0) << args;
        EXPECT_TRUE(!args.starts_with("verify") || std::count(out_.begin(), out_.end(), '\n') == 1);
        EXPECT_NE(out_.find(reason), std::string::npos) << out_;
    }
    EXPECT_FALSE(std::filesystem::exists(path("out")));
    EXPECT_EQ(stktest::readHostFile(path("foreign")), img) << "verify changed the file";
}

TEST_F(Stkimage, StkbootRunsTheFirmwareOnlyWhenAsked) {
    // An empty board is seeded with the demo firmware, which runs.
    EXPECT_EQ(run("stkboot", "--board " + path("board") + " --demo"), 0) << out_;
    EXPECT_NE(out_.find(std::string(51, '|') + "\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("Start type: 1"), std::string::npos) << out_;
    stktest::writeHostFile(path("fw.sh"), "#!/bin/sh\ntouch " + path("ran") + "\n");
    ASSERT_EQ(tool("create " + path("fw.sh") + " -o " + path("board/DskVol/files/image1")), 0);
    EXPECT_EQ(run("stkboot", "--board " + path("board")), 0) << out_;
    EXPECT_NE(out_.find("hand-off to entry 0x00010000 with start type 1"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path("ran")));
}

}  // namespace
