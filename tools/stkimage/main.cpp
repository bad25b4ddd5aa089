// stkimage: builds, shows and checks STK image files on the host, with the
// same codec and CRC routines as the boot program.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host_files.h"
#include "image/stk_format.h"
#include "image_build.h"
#include "image_show.h"
#include "volume.h"

namespace fs = std::filesystem;
using stkimage::BuildError;
using stkimage::Bytes;
using stkimage::readInput;
using stkimage::writeOutput;

namespace {

// Exit statuses, as command-line tools have them.
constexpr int kFailed = 1;      // a file could not be used, or an image is not valid
constexpr int kUsageError = 2;  // the command line itself is wrong

// The boot flash window 0xFFF00000-0xFFFFFFFF as the board's NOR chip holds
// it: norflash.bin keeps the chip's bytes in address order from 0xFE000000,
// and whatever lies past the file's end is erased flash (0xFF).
Bytes readBootFlashWindow(const std::string& boardDir) {
    constexpr uint64_t kWindowOffset = 0x1F00000;
    constexpr size_t kWindowSize = 0x100000;
    std::string path = boardDir + "/norflash.bin";
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw BuildError{"no NOR flash chip in " + boardDir + " (" + path + " missing)"};
    Bytes window(kWindowSize, 0xFF);
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(kWindowOffset));
    if (in) in.read(reinterpret_cast<char*>(window.data()), std::streamsize(kWindowSize));
    if (in.bad()) throw BuildError{"cannot read " + path};
    return window;
}

// Build time as the boot program shows it, e.g. "Sun Dec  6 19:20:56 2026" (UTC;
// SOURCE_DATE_EPOCH gives reproducible images).
std::string defaultTimestamp() {
    std::time_t t = std::time(nullptr);
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        uint32_t v;
        if (stkimage::parseU32(epoch, v)) t = std::time_t(v);
    }
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &tm);
    return buf;
}

// CLI11 validators that keep the tool's own number rules.
CLI::Validator u32Validator() {
    return CLI::Validator(
        [](std::string& s) {
            uint32_t v;
            return stkimage::parseU32(s, v)
                       ? std::string()
                       : "'" + s + "' is not a 32-bit number (decimal or 0x hex)";
        },
        "");
}
CLI::Validator versionValidator() {
    return CLI::Validator(
        [](std::string& s) {
            uint8_t v[4];
            return stkimage::parseVersion(s, v)
                       ? std::string()
                       : "'" + s + "' is not a version rel.ver.maint.build (each 0-255)";
        },
        "");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"stkimage - builds, shows and checks STK image files"};
    app.name("stkimage");
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 when the command did its work, 1 when it failed (a file that cannot be "
        "read or written, an image that is not valid), 2 when the command line is wrong.");

    // create
    CLI::App* create = app.add_subcommand("create", "build an image file from a firmware file");
    char thisBoard[16];
    std::snprintf(thisBoard, sizeof thisBoard, "0x%08x", kTargetDevice);
    std::string firmwarePath, outputPath, target = thisBoard, load = "0x00010000";
    std::string compression = "lzma", version = "1.0.0.0", timestamp, fileText, bootCodePath;
    std::string bootCodeVersion = "1";
    int level = -1;
    bool wrap = false;
    create->add_option("firmware", firmwarePath, "firmware file (the operational code)")
        ->type_name("FILE")
        ->required();
    create->add_option("-o,--output", outputPath, "image file to write")
        ->type_name("FILE")
        ->required();
    create->add_option("--target", target, "target device code")
        ->type_name("NUMBER")
        ->check(u32Validator())
        ->capture_default_str();
    create->add_option("--load-address", load, "load and entry address of the firmware")
        ->type_name("NUMBER")
        ->check(u32Validator())
        ->capture_default_str();
    create->add_option("--compression", compression, "zlib or lzma")
        ->type_name("KIND")
        ->check(CLI::IsMember({"zlib", "lzma"}).description(""))
        ->capture_default_str();
    create->add_option("--level", level, "compression level, 0 to 9")
        ->type_name("N")
        ->check(CLI::Range(0, 9).description(""));
    create->add_option("--version", version, "image version rel.ver.maint.build")
        ->type_name("R.V.M.B")
        ->check(versionValidator())
        ->capture_default_str();
    create->add_option("--timestamp", timestamp, "Timestamp text (default: the build time, UTC)")
        ->type_name("TEXT");
    create->add_option("--file-text", fileText, "File text (default: the firmware's file name)");
    create->add_option("--boot-code", bootCodePath, "boot code file, stored uncompressed")
        ->type_name("FILE");
    create->add_option("--boot-code-version", bootCodeVersion, "version of the boot code")
        ->type_name("NUMBER")
        ->check(u32Validator())
        ->capture_default_str();
    create->add_flag("--stk", wrap, "wrap the image in an STK file header");

    // bundle
    CLI::App* bundle =
        app.add_subcommand("bundle", "wrap images for different target devices in one STK file");
    std::vector<std::string> bundleInputs;
    std::string bundleOutput, bundleVersion;
    bundle->add_option("images", bundleInputs, "image files made by 'create'")
        ->type_name("FILE")
        ->required();
    bundle->add_option("-o,--output", bundleOutput, "STK file to write")
        ->type_name("FILE")
        ->required();
    bundle
        ->add_option("--version", bundleVersion,
                     "version of the file rel.ver.maint.build (default: the first image's)")
        ->type_name("R.V.M.B")
        ->check(versionValidator());

    // info
    CLI::App* info = app.add_subcommand("info", "show an image file's header");
    std::string infoPath;
    info->add_option("file", infoPath, "image file")->type_name("FILE")->required();

    // verify
    CLI::App* verify = app.add_subcommand("verify", "check an image file as the boot program does");
    std::string verifyPath;
    verify->add_option("file", verifyPath, "image file")->type_name("FILE")->required();

    // bootflash
    CLI::App* bootflash = app.add_subcommand(
        "bootflash",
        "copy the boot flash window (the chip's last MiB) of a board folder to a file");
    std::string boardDir, bootflashOutput;
    bootflash->add_option("board", boardDir, "board folder (stkboot --board)")
        ->type_name("DIR")
        ->required();
    bootflash->add_option("-o,--output", bootflashOutput, "output file")
        ->type_name("FILE")
        ->required();

    // volume
    CLI::App* volume = app.add_subcommand(
        "volume",
        "the flash volume of a board folder started with --volume flash, or of a ppce500 "
        "board folder (scripts/run-ppce500.sh): " +
            std::string(stkimage::kVolumeVerbs));
    std::string volumeBoard, volumeVerb;
    std::vector<std::string> volumeArgs;
    volume
        ->add_option("board", volumeBoard, "board folder (stkboot --board, run-ppce500.sh --board)")
        ->type_name("DIR")
        ->required();
    volume->add_option("verb", volumeVerb, "ls, get, put, rm, export or import")
        ->type_name("VERB")
        ->required();
    volume->add_option("args", volumeArgs, "the verb's paths and files")->type_name("ARG");

    app.set_version_flag("--version", "stkimage " STK_VERSION);
    // CLI11 says "A subcommand is required" for both of these.
    if (argc > 1) {
        std::string first = argv[1];
        bool known = false;
        for (const CLI::App* sub : app.get_subcommands({}))
            known = known || sub->get_name() == first;
        if (!known && first.rfind("-", 0) != 0) {
            std::fprintf(stderr,
                         "stkimage: unknown subcommand '%s' (create, bundle, info, verify, "
                         "bootflash, volume)\n",
                         first.c_str());
            return kUsageError;
        }
        if (!known && first != "-h" && first != "--help" && first != "--version") {
            std::fprintf(stderr, "stkimage: unknown option '%s' (try --help)\n", first.c_str());
            return kUsageError;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, with status 0.
        return app.exit(e) == 0 ? 0 : kUsageError;
    }

    try {
        if (*create) {
            stkimage::CreateOptions opt;
            stkimage::parseU32(target, opt.targetDevice);
            stkimage::parseU32(load, opt.loadAddress);
            stkimage::parseVersion(version, opt.version);
            stkimage::parseU32(bootCodeVersion, opt.bootCodeVersion);
            opt.compression =
                compression == "zlib" ? stkimage::Compression::Zlib : stkimage::Compression::Lzma;
            opt.level = level;
            opt.timestamp = timestamp.empty() ? defaultTimestamp() : timestamp;
            opt.fileText = create->count("--file-text")
                               ? fileText
                               : fs::path(firmwarePath).filename().string();
            Bytes firmware = readInput(firmwarePath, "firmware");
            if (!bootCodePath.empty()) opt.bootCode = readInput(bootCodePath, "boot code");
            Bytes image = stkimage::buildImage(firmware, opt);
            if (wrap) image = stkimage::buildStkFile({image}, opt.version);
            writeOutput(outputPath, image, {firmwarePath, bootCodePath});
            std::printf("%s: %zu bytes, %s image of %zu bytes of firmware for 0x%08x\n",
                        outputPath.c_str(), image.size(), compression.c_str(), firmware.size(),
                        opt.targetDevice);
        } else if (*bundle) {
            std::vector<Bytes> images;
            for (const std::string& p : bundleInputs) images.push_back(readInput(p, "image"));
            uint8_t v[4] = {0, 0, 0, 0};
            if (!bundleVersion.empty()) {
                stkimage::parseVersion(bundleVersion, v);
            } else if (images[0].size() >= stk::kOprHeaderSize) {
                for (int i = 0; i < 4; ++i) v[i] = images[0][stk::kOprVpdOffset + i];
            }
            // Two images for one target device are named with their files.
            for (size_t i = 0; i < images.size(); ++i) {
                for (size_t j = 0; j < i; ++j) {
                    uint32_t a = images[i].size() >= 8 ? stk::getBe32(images[i].data() + 4) : 0;
                    uint32_t b = images[j].size() >= 8 ? stk::getBe32(images[j].data() + 4) : 1;
                    if (a != b) continue;
                    char buf[40];
                    std::snprintf(buf, sizeof buf, "0x%08x", a);
                    throw BuildError{std::string("two images for target device ") + buf + ": " +
                                     bundleInputs[j] + " and " + bundleInputs[i]};
                }
            }
            Bytes file = stkimage::buildStkFile(images, v);
            writeOutput(bundleOutput, file, bundleInputs);
            std::printf("%s: %zu bytes, %zu image%s\n", bundleOutput.c_str(), file.size(),
                        images.size(), images.size() == 1 ? "" : "s");
        } else if (*info) {
            Bytes file = readInput(infoPath, "image");
            std::string reason;
            if (!stkimage::showImage(fs::path(infoPath).filename().string(), file, stdout, reason))
                throw BuildError{infoPath + ": " + reason};
        } else if (*verify) {
            std::string reason, summary;
            readInput(verifyPath, "image");  // the same words as info for a missing file
            if (!stkimage::verifyImage(verifyPath, reason, summary))
                throw BuildError{verifyPath + ": " + reason};
            std::printf("%s: %s\n", verifyPath.c_str(), summary.c_str());
        } else if (*volume) {
            return stkimage::volumeCommand(volumeBoard, volumeVerb, volumeArgs);
        } else if (*bootflash) {
            Bytes window = readBootFlashWindow(boardDir);
            writeOutput(bootflashOutput, window, {});
            std::printf("%s: boot flash window of %s, %zu bytes\n", bootflashOutput.c_str(),
                        boardDir.c_str(), window.size());
        }
    } catch (const BuildError& e) {
        std::fprintf(stderr, "stkimage: %s\n", e.reason.c_str());
        return kFailed;
    }
    return 0;
}
