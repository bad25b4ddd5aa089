#include "board/vpd.h"

#include <cstring>

#include "board/i2c.h"
#include "platform/platform.h"

namespace {

constexpr int kBus = 1, kEepromDevice = 4;
constexpr int kSignatureEnd = 253;  // last offset the signature may start at

int findSignature(const uint8_t* record) {
    for (int s = 0; s <= kSignatureEnd; ++s)
        if (record[s] == 0xFF && record[s + 1] == 0x01 && record[s + 2] == 0xE0) return s;
    return -1;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// The AT24C02 takes one word address byte; a larger part on another board two.
int tarnEepromGet(int offset, uint8_t* buffer, int length) {
    return i2cRandomRead(kBus, kEepromDevice, offset,
                         plat::boardDescription().vpdEepromAddressBytes, buffer, length);
}

int tarnEepromSet(int offset, const uint8_t* buffer, int length) {
    return i2cRandomWrite(kBus, kEepromDevice, offset,
                          plat::boardDescription().vpdEepromAddressBytes, buffer, length);
}

int fellEepromDump(int offset, int length) {
    uint8_t rom[kVpdSize] = {};
    if (length > kVpdSize) length = kVpdSize;
    for (int i = 0; i < length; ++i)
        if (tarnEepromGet((offset + i) & 0xFF, &rom[i], 1) != 0) return -1;
    // Fields near the end may claim bytes beyond the 256: they read as 0.
    auto at = [&](int i) -> uint8_t { return i < kVpdSize ? rom[i] : 0; };

    char column[17] = {};
    for (int i = 0; i < kVpdSize; ++i) {
        if (i % 16 == 0) {
            if (i > 0) plat::printf("%s", column);
            std::memset(column, 0, sizeof column);
            plat::printf("\n%02x:", i);
        }
        plat::printf("%02x ", rom[i]);
        column[i % 16] = rom[i] >= 0x20 && rom[i] <= 0x7E ? char(rom[i]) : '-';
    }
    plat::printf("%s", column);
    plat::printf("\n");

    int p = findSignature(rom);
    if (p >= 0)
        plat::printf("%%VPD begins at offset %d \n", p);
    else
        p = kSignatureEnd + 1;
    while (p <= kVpdSize - 1) {
        int type = rom[p];
        int length = at(p + 1);
        char text[32] = {};
        for (int i = 0; i < length && i < 31; ++i) text[i] = char(at(p + 2 + i));
        const uint8_t v[6] = {at(p + 2), at(p + 3), at(p + 4), at(p + 5), at(p + 6), at(p + 7)};
        switch (type) {
            case 1:
                plat::printf("\nProduct Name:%s", text);
                break;
            case 2:
                plat::printf("\nPart Number:%s", text);
                break;
            case 3:
                plat::printf("\nSerial Number:%s", text);
                break;
            case 4:
                plat::printf("\nMAC: %02x-%02x-%02x-%02x-%02x-%02x", v[0], v[1], v[2], v[3], v[4],
                             v[5]);
                break;
            case 5:
                plat::printf("\nMfg Year: 20%02d Week: %d", v[0], v[1]);
                break;
            case 6:
                plat::printf("\nCard Type: 0x%02x%02x%02x%02x", v[0], v[1], v[2], v[3]);
                break;
            case 7:
                plat::printf("\nHardware Revision: 0x%02x", v[0]);
                return 0;
            default:
                break;
        }
        p += length + 2;
    }
    return 0;
}

int getCFDFieldOffset(const uint8_t* record, int* serialOffset, int* serialLength, int* macOffset) {
    int s = findSignature(record);
    if (s < 0) return -1;
    int p = s + 3;
    for (int skip = 0; skip < 2; ++skip) {
        if (p + 1 >= kVpdSize) return -1;
        p += record[p + 1] + 2;
    }
    if (p + 1 >= kVpdSize) return -1;
    int length = record[p + 1];
    int mac = p + 2 + length + 2;
    if (mac + 6 > kVpdSize) return -1;
    *serialOffset = p + 2;
    *serialLength = length;
    *macOffset = mac;
    return 0;
}

int vpdRecordReplace(const uint8_t* oldRecord, const char* serial, const uint8_t* mac,
                     uint8_t* newRecord) {
    int serialOffset, serialLength, macOffset;
    if (getCFDFieldOffset(oldRecord, &serialOffset, &serialLength, &macOffset) != 0) return -1;
    std::memset(newRecord, 0, kVpdSize);
    int at = 0;
    auto put = [&](uint8_t b) {
        if (at < kVpdSize) newRecord[at] = b;
        ++at;
    };
    // Everything up to the serial field: leading bytes, signature, name, part number.
    for (int i = 0; i < serialOffset - 2; ++i) put(oldRecord[i]);
    size_t length = 0;
    while (length < size_t(kVpdMaxSerial) && serial[length]) ++length;
    put(3);
    put(uint8_t(length));
    for (size_t i = 0; i < length; ++i) put(uint8_t(serial[i]));
    put(4);
    put(6);
    for (int i = 0; i < 6; ++i) put(mac[i]);
    for (int i = macOffset + 6; i < kVpdSize; ++i) put(oldRecord[i]);
    return 0;
}

int make_mac(const char* text, uint8_t* mac) {
    for (int i = 0; i < 6; ++i) {
        int high = hexDigit(text[2 * i]);
        int low = high < 0 ? -1 : hexDigit(text[2 * i + 1]);
        if (low < 0) return 2;
        mac[i] = uint8_t(high << 4 | low);
    }
    return 0;
}

void print_mac(const uint8_t* mac) {
    for (int i = 0; i < 6; ++i) plat::printf(i < 5 ? "%02X:" : "%02X ", mac[i]);
}
