// Lives with the menus rather than with the EEPROM routines because it asks
// its yes/no questions with the menus' confirmation reader.
#include "boot/vpd_generate.h"

#include <cctype>
#include <cstring>

#include "board/i2c.h"
#include "board/vpd.h"
#include "boot/boot.h"
#include "platform/platform.h"

namespace {

bool yes(int answer) {
    return answer == 'y' || answer == 'Y';
}

// Reads a line of at most size - 1 characters; line ends are not kept.
void readLine(char* line, size_t size) {
    std::memset(line, 0, size);
    if (!plat::gets(line, size)) line[0] = '\0';
    line[std::strcspn(line, "\r")] = '\0';
    line[std::strcspn(line, "\n")] = '\0';
}

void askMac(const uint8_t* current, uint8_t* mac) {
    plat::printf(
        "\n\nDo you wish to input a MAC address?\nIf you choose no, the currently stored\nMAC "
        "address ( ");
    print_mac(current);
    plat::printf(") will be used. (y/n): ");
    std::memcpy(mac, current, 6);
    if (!yes(get_confirmation())) return;
    for (;;) {
        plat::fflush();
        plat::printf("\n\nEnter the six byte starting MAC address (example: 000629328140)\n-> ");
        char line[20];
        readLine(line, sizeof line);
        size_t length = std::strlen(line);
        if (length == 12 && make_mac(line, mac) == 0) break;
        plat::printf(length == 12 ? "ERROR: Invalid characters in the MAC address.\n\n"
                                  : "ERROR: Invalid MAC address length.\n\n");
    }
    plat::printf("Entered MAC: ");
    print_mac(mac);
    plat::printf("\n");
}

void askSerial(const char* current, char* serial) {
    plat::printf(
        "\n\nDo you wish to input a serial number?\nIf you choose no, the currently stored\nserial "
        "number ( %s",
        current);
    plat::printf(") will be used. (y/n): ");
    std::strcpy(serial, current);
    if (!yes(get_confirmation())) return;
    for (;;) {
        plat::printf("\nEnter a serial number to place in the VPD -> ");
        char line[kVpdMaxSerial + 1];
        readLine(line, sizeof line);
        const char* bad = line;
        while (*bad && std::isalnum(static_cast<unsigned char>(*bad))) ++bad;
        if (*bad == '\0') {
            std::strcpy(serial, line);
            return;
        }
        plat::printf("\nIllegal char %c in input.\n\n", *bad);
    }
}

}  // namespace

int BootVPDFileGenerate() {
    uint8_t oldRecord[kVpdSize] = {};
    uint8_t newRecord[kVpdSize] = {};
    int serialOffset, serialLength, macOffset;
    // Without a readable record there is nothing to carry over: refuse rather
    // than write a record made of guesses.
    if (tarnEepromGet(0, oldRecord, kVpdSize) != 0) {
        plat::printf("\nThe VPD EEPROM cannot be read. Nothing written.\n");
        return -1;
    }
    if (getCFDFieldOffset(oldRecord, &serialOffset, &serialLength, &macOffset) != 0) {
        plat::printf("\nNo VPD record found in the EEPROM. Nothing written.\n");
        return -1;
    }
    uint8_t currentMac[6];
    std::memcpy(currentMac, oldRecord + macOffset, 6);
    char currentSerial[kVpdMaxSerial + 1] = {};
    int keep = serialLength < kVpdMaxSerial ? serialLength : kVpdMaxSerial;
    std::memcpy(currentSerial, oldRecord + serialOffset, size_t(keep));

    uint8_t mac[6];
    char serial[kVpdMaxSerial + 1] = {};
    askMac(currentMac, mac);
    askSerial(currentSerial, serial);

    vpdRecordReplace(oldRecord, serial, mac, newRecord);
    int rc = 0;
    for (int i = 0; i < kVpdSize; ++i)
        if (tarnEepromSet(i, &newRecord[i], 1) != 0) rc = -1;
    return rc;
}
