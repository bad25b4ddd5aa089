// The vital product data in the main board's AT24C02 EEPROM (device 4):
// after any leading bytes, the signature 0xFF 0x01 0xE0, then fields of type,
// length and value: 1 Product Name, 2 Part Number, 3 Serial Number, 4 MAC,
// 5 Mfg Year / Week, 6 Card Type, 7 Hardware Revision (ends the record).
#pragma once

#include <cstdint>

constexpr int kVpdSize = 256;
constexpr int kVpdMaxSerial = 20;

int tarnEepromGet(int offset, uint8_t* buffer, int length);
int tarnEepromSet(int offset, const uint8_t* buffer, int length);

// Shows 256 bytes read from `offset` on (a hex dump, then the fields).
int fellEepromDump(int offset, int length);

// Where the Serial Number's value and the MAC's value lie in a 256-byte
// record, and the serial's length: 0, or -1 when the record has no signature
// or those fields do not lie within the 256 bytes.
int getCFDFieldOffset(const uint8_t* record, int* serialOffset, int* serialLength, int* macOffset);

// The record with a new serial number (at most 20 characters) and MAC: the
// bytes up to the serial field kept, the fields after the MAC moved by the
// change in length, bytes beyond 256 dropped, freed bytes at the end 0.
// -1 when the old record has no serial and MAC to replace.
int vpdRecordReplace(const uint8_t* oldRecord, const char* serial, const uint8_t* mac,
                     uint8_t* newRecord);

// 12 hexadecimal characters to 6 bytes: 0, or 2 for a character that is not
// a hexadecimal digit.
int make_mac(const char* text, uint8_t* mac);
void print_mac(const uint8_t* mac);
