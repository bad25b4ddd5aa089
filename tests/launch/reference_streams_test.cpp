// Streams made by independent tools (python's zlib and lzma modules, pigz,
// xz) decode byte for byte through the launcher.
#include <gtest/gtest.h>

#include "launch_support.h"

namespace launchtest {
namespace {

class ReferenceStreams : public LaunchTest {
  protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(stktest::makeTempDir("stklaunch-interop-"));
        writeFile(path("text"), firmwareText(4 << 20, 7));
        writeFile(path("random"), randomBytes(3 << 20, 11));
        writeFile(path("small"), firmwareText(2 << 20, 3));
    }
    static void TearDownTestSuite() {
        stktest::removeTree(*dir_);
        delete dir_;
    }
    static std::string path(const std::string& name) { return *dir_ + "/" + name; }

    // Runs a python snippet with IN and OUT bound to file paths.
    static bool python(const std::string& in, const std::string& out, const std::string& code) {
        std::string script = "import zlib, lzma\nIN=" + quote(path(in)) +
                             "\nOUT=" + quote(path(out)) + "\ndata=open(IN,'rb').read()\n" + code +
                             "\n";
        writeFile(path("gen.py"), script);
        return shell("python3 " + quote(path("gen.py")));
    }

    void expectDecodes(const std::string& payload, const std::string& stream, uint32_t flag) {
        auto stop = launch(imageAround(stream, flag));
        expectStarted(stop, payload);
    }

    static std::string* dir_;
};
std::string* ReferenceStreams::dir_ = nullptr;

TEST_F(ReferenceStreams, ZlibStreamsFromPythonAtSeveralLevels) {
    for (const char* in : {"text", "random"}) {
        for (int level : {1, 6, 9}) {
            SCOPED_TRACE(std::string(in) + " level " + std::to_string(level));
            ASSERT_TRUE(
                python(in, "z",
                       "open(OUT,'wb').write(zlib.compress(data," + std::to_string(level) + "))"));
            expectDecodes(readFile(path(in)), readFile(path("z")), kZlib);
        }
    }
}

TEST_F(ReferenceStreams, ZlibStreamsFromPigz) {
    for (const char* in : {"text", "random"}) {
        SCOPED_TRACE(in);
        ASSERT_TRUE(shell("pigz -z -c -p 2 " + quote(path(in)) + " > " + quote(path("pz"))));
        std::string stream = readFile(path("pz"));
        ASSERT_EQ(uint8_t(stream[0]) & 0x0f, 8) << "pigz -z should write a zlib header";
        expectDecodes(readFile(path(in)), stream, kZlib);
    }
}

TEST_F(ReferenceStreams, LzmaAloneStreamsFromXz) {
    struct Case {
        const char* input;
        const char* options;
    } cases[] = {
        {"text", "-6"},
        {"random", "-0"},
        {"text", "--lzma1=preset=1,dict=64KiB,lc=0,lp=2,pb=0"},
        {"text", "--lzma1=dict=1MiB,lc=4,lp=0,pb=4"},
        {"small", "--lzma1=preset=9e,dict=8MiB,lc=1,lp=1,pb=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " " + c.options);
        ASSERT_TRUE(shell(std::string("xz --format=lzma -T1 -c ") + c.options + " " +
                          quote(path(c.input)) + " > " + quote(path("x.lzma"))));
        expectDecodes(readFile(path(c.input)), readFile(path("x.lzma")), kLzma);
    }
}

TEST_F(ReferenceStreams, LzmaAloneStreamsFromPython) {
    struct Case {
        const char* input;
        const char* filters;
    } cases[] = {
        {"text", "[{'id': lzma.FILTER_LZMA1, 'dict_size': 1 << 16, 'lc': 3, 'lp': 0, 'pb': 2}]"},
        {"text", "[{'id': lzma.FILTER_LZMA1, 'dict_size': 1 << 22, 'lc': 1, 'lp': 3, 'pb': 1}]"},
        {"random", "[{'id': lzma.FILTER_LZMA1, 'preset': 9 | lzma.PRESET_EXTREME}]"},
        {"small", "[{'id': lzma.FILTER_LZMA1, 'dict_size': 1 << 26, 'lc': 0, 'lp': 0, 'pb': 0}]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " " + c.filters);
        ASSERT_TRUE(python(c.input, "p.lzma",
                           std::string("open(OUT,'wb').write(lzma.compress(data, "
                                       "format=lzma.FORMAT_ALONE, filters=") +
                               c.filters + "))"));
        expectDecodes(readFile(path(c.input)), readFile(path("p.lzma")), kLzma);
    }
}

TEST_F(ReferenceStreams, LzmaWithKnownSizeStopsThere) {
    // The header's size bounds the output, with or without the end marker.
    ASSERT_TRUE(shell("xz --format=lzma -T1 -c -6 " + quote(path("small")) + " > " +
                      quote(path("k.lzma"))));
    std::string payload = readFile(path("small"));
    std::string stream = readFile(path("k.lzma"));
    for (int i = 0; i < 8; ++i) stream[5 + i] = char((uint64_t(payload.size()) >> (8 * i)) & 0xff);
    expectDecodes(payload, stream, kLzma);

    // A size below the real one yields exactly that prefix.
    const uint32_t cut = 1000001;
    for (int i = 0; i < 8; ++i) stream[5 + i] = char((uint64_t(cut) >> (8 * i)) & 0xff);
    expectDecodes(payload.substr(0, cut), stream, kLzma);
}

}  // namespace
}  // namespace launchtest
