// Verification runs the boot program's own routines on a copy of the file,
// placed on a private simulated board (the routines may truncate a file with
// trailing bytes; the original is never touched).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "board/board_devices.h"
#include "bootflash/bootflash.h"
#include "image/stk_format.h"
#include "image/stkimage.h"
#include "image_show.h"
#include "platform/platform.h"
#include "platform/scripted_console.h"

namespace stkimage {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kThisBoard = 0x00508541;
constexpr const char* kCopyName = "verify.stk";

const char* validationReason(int code, uint64_t fileSize) {
    switch (code) {
        case kValidateCannotReopen:
            return "the file cannot be reopened for the CRC check";
        case kValidateCannotOpen:
            return "the file cannot be opened";
        case kValidateShortOrBadCrc:
            return fileSize < stk::kStkFileHeaderFixedSize ? "the file is shorter than 88 bytes"
                                                           : "the file CRC does not match";
        case kValidateNoStatus:
            return "the file's status cannot be read";
        case kValidateTooShort:
            return "the file is shorter than the total length of its STK file header";
        case kValidateBadHeader:
            return "the STK file header has more than 10 records or is longer than 368 bytes";
        case kValidateNoRecords:
            return "the STK file header lists no image";
        case kValidateNoImageForBoard:
            return "no image record for target device 0x00508541 with record flag 1";
        case kValidateBadVersion:
            return "the image version is not accepted";
        default:
            return "the image is not valid";
    }
}

// A board of its own for the check, removed again when done.
class ScratchBoard {
  public:
    ScratchBoard() {
        std::string tmpl = (fs::temp_directory_path() / "stkimage-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) return;
        dir_ = tmpl;
        auto clock = std::make_unique<plat::VirtualClock>();
        auto console = std::make_unique<plat::ScriptedConsole>(*clock);
        plat::installBoard(
            std::make_unique<plat::Board>(std::move(console), std::move(clock), dir_));
        attachBoardDevices(plat::board());
        ok_ = Flash_Init() == 0 && plat::board().disk().format(nullptr) == 0 &&
              plat::board().disk().mount() == 0 && plat::mkdir("/DskVol/files") == 0 &&
              plat::chdir("/DskVol/files") == 0;
    }
    ~ScratchBoard() {
        if (plat::boardInstalled()) plat::uninstallBoard();
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    bool ok() const { return ok_; }
    std::string hostPath(const char* name) const { return dir_ + "/DskVol/files/" + name; }

  private:
    std::string dir_;
    bool ok_ = false;
};

}  // namespace

bool verifyImage(const std::string& path, std::string& reason, std::string& summary) {
    std::error_code ec;
    uint64_t size = fs::file_size(path, ec);
    if (ec) {
        reason = "cannot read " + path + ": " + ec.message();
        return false;
    }
    ScratchBoard board;
    if (!board.ok()) {
        reason = "cannot set up a scratch board for the check";
        return false;
    }
    if (!fs::copy_file(path, board.hostPath(kCopyName), fs::copy_options::overwrite_existing, ec)) {
        reason = "cannot read " + path + ": " + ec.message();
        return false;
    }
    int code = bspapiValidateImage(kCopyName, 1);
    if (code != kValidateOk) {
        reason = std::string(validationReason(code, size)) + " (validation code " +
                 std::to_string(code) + ")";
        return false;
    }
    OprHeader h;
    if (bspapiOprHeaderRead(kCopyName, &h) != 0) {
        reason = "no readable image header for target device 0x00508541";
        return false;
    }
    if (h.targetDevice != kThisBoard) {
        char buf[120];
        std::snprintf(buf, sizeof buf, "the image is for target device 0x%08x, not 0x%08x",
                      h.targetDevice, kThisBoard);
        reason = buf;
        return false;
    }
    const OprComponent& c = h.components[stk::kComponentOpCode];
    uint64_t copySize = fs::file_size(board.hostPath(kCopyName), ec);
    if (c.size == 0 || uint64_t(c.offset) + stk::kOprHeaderSize + c.size > copySize) {
        reason = "the operational code component is empty or lies outside the file";
        return false;
    }
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "valid: target device 0x%08x, %s operational code of %u bytes at load address "
                  "0x%08x, file CRC correct",
                  h.targetDevice, c.compressionFlag == stk::kCompressionGzip ? "zlib" : "lzma",
                  c.size, c.loadAddress);
    summary = buf;
    return true;
}

}  // namespace stkimage
