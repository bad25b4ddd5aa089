// The image list: boot.dim of arbitrary bytes read at start-up, then the list
// changed the way the Boot Menu and the board API change it.
#include <cstring>
#include <string>
#include <vector>

#include "board/identity.h"
#include "bspapi/bspapi.h"
#include "image/dim.h"
#include "image/stkimage.h"
#include "support/fuzz_board.h"

namespace {

// A smallest image that passes validation, or one that fails it.
std::vector<uint8_t> imageFile(bool valid) {
    std::vector<uint8_t> bytes(stk::kOprHeaderSize);
    stk::OprHeader header;
    header.targetDevice = kTargetDevice;
    header.size = uint32_t(bytes.size());
    stk::encodeOprHeader(header, bytes.data());
    stk::fileCrcStore(bytes.data(), bytes.size());
    if (!valid) bytes[100] ^= 1;
    return bytes;
}

bool terminated(const char* field, size_t width) {
    return std::memchr(field, '\0', width + 1) != nullptr;
}

// The used slots, in order, as text.
std::vector<std::string> listed() {
    std::vector<std::string> out;
    int used = 0;
    for (int i = 0; i < kDimMaxImages; ++i) {
        const DimImageEntry& e = dimImageTable()[i];
        FUZZ_CHECK(terminated(e.currState, kDimStateWidth));
        FUZZ_CHECK(terminated(e.nextState, kDimStateWidth));
        FUZZ_CHECK(terminated(e.fileName, kDimFileNameWidth));
        FUZZ_CHECK(terminated(e.tag, kDimTagWidth));
        FUZZ_CHECK(terminated(e.description, kDimDescriptionWidth));
        if (e.fileName[0] == '\0') continue;
        ++used;
        out.push_back(std::string(e.currState) + '|' + e.nextState + '|' + e.fileName + '|' +
                      e.tag + '|' + e.description);
    }
    FUZZ_CHECK(dimImageCount() == used);
    FUZZ_CHECK(terminated(activeImageFileName, kDimFileNameWidth));
    return out;
}

}  // namespace

// First byte: bit 0 and 1 create "image1" and "image2", bit 2 makes them
// valid, bit 3 activates the backup and starts again. The rest is boot.dim.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    stkfuzz::freshBoard();
    std::vector<uint8_t> image = imageFile(flags & 4);
    if (flags & 1) stkfuzz::writeFile("image1", image.data(), image.size());
    if (flags & 2) stkfuzz::writeFile("image2", image.data(), image.size());
    stkfuzz::writeFile(kDimFileName, data + 1, size - 1);
    stkfuzz::runOnBoard([&] {
        dimInitialize();
        listed();
        dimShowBootCfg();
        // The list as written is the list as read: after a second start (the
        // first may rebuild the list without validating the backup) a third
        // changes nothing.
        dimInitialize();
        std::vector<std::string> settled = listed();
        dimInitialize();
        FUZZ_CHECK(listed() == settled);

        char name[kBspImageNameBufSize] = {};
        char description[kDimDescriptionWidth + 1] = {};
        int result = 0;
        if (dimBackupImageFileNameGet(name) == 0) {
            dimIsAnImage(name, &result);
            dimImageDescrGet(name, description);
            dimImageDescrSet(name, "described");
            if (flags & 8) {
                dimImageActivate(name);
                dimIsBackupImageActivated();
                dimInitialize();
                listed();
            }
        }
        if (dimActiveImageFileNameGet(name) == 0) {
            int rc = dimImageDelete(name);
            FUZZ_CHECK(rc == kBspRefused || rc == kBspNotFound);
        }
        dimImageAdd("image1", "image2");
        listed();
    });
    return 0;
}
