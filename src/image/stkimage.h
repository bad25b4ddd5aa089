// STK image files: the image header, its components, the optional STK file
// header, the two 16-bit CRCs, validation and the version routines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/stk_format.h"

using stk::OprComponent;
using stk::OprHeader;
using stk::StkFileHeader;
using stk::StkImageRecord;

// An image's version: valid is 1 once filled in; compared by the four bytes,
// most significant first.
struct ImageVersion {
    uint32_t valid = 0;
    uint8_t rel = 0;
    uint8_t ver = 0;
    uint8_t maint_lvl = 0;
    uint8_t build_num = 0;
};

// Codes of bspapiValidateImage.
constexpr int kValidateOk = 0;
constexpr int kValidateCannotReopen = 1;
constexpr int kValidateCannotOpen = 2;
constexpr int kValidateShortOrBadCrc = 3;
constexpr int kValidateNoStatus = 4;
constexpr int kValidateTooShort = 5;
constexpr int kValidateBadHeader = 6;
constexpr int kValidateNoRecords = 7;
constexpr int kValidateNoImageForBoard = 8;
constexpr int kValidateBadVersion = 14;

// Blocks of file_crc_compute and the pause it takes every kCrcPauseBlocks.
constexpr size_t kCrcFileBlock = 4096;
constexpr unsigned kCrcPauseBlocks = 1000;
// bspapiCalcCrc yields the processor every this many bytes.
constexpr uint32_t kCrcYieldBytes = 65536;

// STK CRC-16 of a buffer, register from 0; builds the shared table.
uint16_t bspapiCalcCrc(const void* buffer, uint32_t length);
// 0 when the CRC of the buffer equals `expected`, 2 otherwise. algorithm 0 is
// the STK CRC-16, 1 CRC-16/KERMIT.
int crcBufferCheck(uint16_t expected, const void* buffer, uint16_t length, int algorithm);
int bspapiCheckCfDCRC(uint16_t expected, const void* buffer, uint16_t length);
int bspapiCheckCfDCRCITT(uint16_t expected, const void* buffer, uint16_t length);
// STK CRC-16 of the file's bytes 2 .. length-1 (or to its end); 0 when the
// file cannot be opened.
uint16_t file_crc_compute(const char* fileName, uint32_t length);

// Finds and reads the image header for this board: 0, 1 (short, empty, no
// image for this board, unacceptable header) or 5 (cannot be opened).
// Component offsets are made relative to the file.
int bspapiOprHeaderRead(const char* fileName, OprHeader* header);
// A validation code (kValidate...); the file CRC is checked when checkCrc is 1.
int bspapiValidateImage(const char* fileName, int checkCrc);

// The file CRC of the active image: 0 when valid, 1 otherwise (prints its own messages).
int check_oprcrc_in_flash();
// Prints the active image's header on the console.
void print_vpd_in_flash();

int bspapiImageVersionGet(const char* fileName, ImageVersion* version);
int bspapiImageVersionGreaterCheck(const ImageVersion* a, const ImageVersion* b);
int bspapiImageVersionEqualIs(const ImageVersion* a, const ImageVersion* b);
int bspapiValidateImageVersion(const char* fileName);
uint32_t bspapiCpuGetLowestImageVersion();
