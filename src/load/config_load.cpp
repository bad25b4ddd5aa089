// Boot Menu option 5 (configuration file over XMODEM) and the prom file load
// with its MAC address check.
#include <cstdint>
#include <cstdio>

#include "board/identity.h"
#include "image/stkimage.h"
#include "load/load.h"
#include "platform/platform.h"
#include "xmodem/xmodem.h"

namespace {

constexpr const char* kConfigFile = "tempcfg.bin";
constexpr const char* kPromFile = "VPDprom.txt";
constexpr size_t kPromSize = 256;
constexpr size_t kRecordsStart = 2;
constexpr uint8_t kRecordEnd = 0x00;
constexpr uint8_t kRecordMac = 0xA0;
constexpr uint8_t kRecordA2 = 0xA2;
constexpr size_t kMacSize = 6;
constexpr size_t kA2Size = 2;

// Receives one file by name; false when the transfer failed.
bool receive(const char* name) {
    plat::printf("Ready to receive the file with XMODEM/CRC....\n");
    char args[64];
    std::snprintf(args, sizeof(args), "-cbrke %s", name);
    if (xmodem(args) == -1) {
        plat::printf("Error while receiving file with XMODEM.\n");
        return false;
    }
    plat::printf("\n\nXMODEM transfer complete, checking CRC....\n");
    return true;
}

void fileFailure(const char* what, int line) {
    plat::printf("%s:%d: %s failed\n", kBootConfigSource, line, what);
}

bool deletePromFile() {
    if (plat::unlink(kPromFile) != 0) {
        fileFailure("unlink", 460);
        return false;
    }
    return true;
}

enum class MacCheck { Good, Corrupt };

// Walks the records after the CRC, each skipped by its length. A record
// whose data would reach past the 256 bytes is not read, and a length of 0
// (which would not advance) ends the walk.
MacCheck walkRecords(const uint8_t* prom) {
    uint8_t mac[kMacSize] = {};
    uint8_t a2Data[kA2Size] = {};
    size_t pos = kRecordsStart;
    while (pos + 2 <= kPromSize) {
        size_t length = prom[pos];
        uint8_t type = prom[pos + 1];
        if (type == kRecordEnd || length == 0) break;
        if (type == kRecordMac) {
            if (pos + 2 + kMacSize > kPromSize) break;
            for (size_t i = 0; i < kMacSize; ++i) mac[i] = prom[pos + 2 + i];
            if (sysEnetAddrGet("bc", 0, mac) == -1) return MacCheck::Corrupt;
        } else if (type == kRecordA2) {
            if (pos + 2 + kA2Size > kPromSize) break;
            for (size_t i = 0; i < kA2Size; ++i) a2Data[i] = prom[pos + 2 + i];
        }
        pos += length;
    }
    (void)a2Data;
    return MacCheck::Good;
}

}  // namespace

int load_configuration() {
    plat::unlink(kConfigFile);
    return receive(kConfigFile) ? 0 : 1;
}

int sysEnetAddrGet(const char* device, int unit, uint8_t* enetAddr) {
    if (device == nullptr || enetAddr == nullptr || unit != 0 || device[0] != 'b' ||
        device[1] != 'c' || device[2] != '\0')
        return -1;
    bool allZero = true;
    bool allOnes = true;
    for (size_t i = 0; i < kMacSize; ++i) {
        if (enetAddr[i] != 0x00) allZero = false;
        if (enetAddr[i] != 0xFF) allOnes = false;
    }
    return allZero || allOnes ? -1 : 0;
}

void ConfigDataLoadNVRAM() {
    if (!receive(kPromFile)) {
        if (plat::unlink(kPromFile) != 0) fileFailure("unlink", 359);
        return;
    }

    uint8_t prom[kPromSize] = {};
    int fd = plat::open(kPromFile, plat::kOpenReadWrite);
    if (fd < 0) {
        fileFailure("open", 374);
        return;
    }
    // A short file would be written back padded: it counts as a read failure.
    if (plat::read(fd, prom, kPromSize) != long(kPromSize)) {
        plat::close(fd);
        fileFailure("read", 380);
        return;
    }
    if (plat::close(fd) != 0) {
        fileFailure("close", 385);
        return;
    }

    uint16_t storedCrc = stk::getBe16(prom);
    if (file_crc_compute(kPromFile, kPromSize) != storedCrc) {
        plat::printf("ERROR: Computed CRC does not equal CRC in prom file!\n");
        deletePromFile();
        return;
    }

    if (walkRecords(prom) == MacCheck::Corrupt) {
        plat::printf("The mac address in this VPD file seems corrupt.\nVPD not stored.\n\n");
        return;
    }

    fd = plat::open(kPromFile, plat::kOpenReadWrite | plat::kOpenCreate | plat::kOpenTrunc);
    if (fd < 0) {
        fileFailure("open", 428);
        return;
    }
    if (plat::write(fd, prom, kPromSize) != long(kPromSize)) {
        plat::close(fd);
        fileFailure("write", 436);
        return;
    }
    if (plat::close(fd) != 0) {
        fileFailure("close", 441);
        return;
    }

    if (file_crc_compute(kPromFile, kPromSize) == storedCrc)
        plat::printf("Write with Read Verify complete...\n\n");
    else
        plat::printf("Write with Read Verify failed...\n\n");
    deletePromFile();
}
