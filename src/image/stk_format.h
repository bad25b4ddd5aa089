// Byte layout of STK image files: the optional STK file header with its image
// records, the 1220-byte image header with its ten components, and the two
// 16-bit CRCs. All multi-byte fields are big-endian; decode and encode work
// byte by byte so the structs never alias file bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stk {

// Sizes and limits of the file format.
constexpr size_t kOprHeaderSize = 1220;  // 0x4C4
constexpr size_t kOprComponentSize = 48;
constexpr size_t kOprComponentCount = 10;
constexpr size_t kOprComponentsOffset = 16;
constexpr size_t kOprVpdOffset = 784;  // rel, ver, maint_lvl, build_num, Timestamp, File
constexpr size_t kOprTimestampOffset = 788;
constexpr size_t kOprTimestampSize = 32;
constexpr size_t kOprFileOffset = 820;
constexpr size_t kOprFileSize = 256;
constexpr size_t kOprVpdEnd = 1076;

constexpr size_t kStkFileHeaderFixedSize = 88;  // up to the first image record
constexpr size_t kStkImageRecordSize = 28;
constexpr uint32_t kStkMaxRecords = 10;
constexpr uint32_t kStkMaxHeaderLength = 368;  // 88 + 28 * 10
constexpr uint16_t kStkMarker = 0xAA55;
constexpr uint32_t kStkMagic = 0x2288BB66;

constexpr uint32_t kImageMinSize = kOprHeaderSize;  // 1220
constexpr uint32_t kImageMaxSize = 0x1000000;       // 16 MiB
constexpr size_t kFileCrcPrefix = 16;               // bytes needed to find the CRC length

constexpr uint32_t kCompressionGzip = 1;
constexpr uint32_t kCompressionLzma = 2;

// Component index of the operational code and of the boot code.
constexpr size_t kComponentOpCode = 0;
constexpr size_t kComponentBootCode = 1;

struct OprComponent {
    uint16_t crc = 0;
    uint16_t reserved0 = 0;
    uint32_t reserved1 = 0;
    uint32_t version = 0;
    uint32_t size = 0;
    uint32_t offset = 0;  // relative to the end of the image header
    uint32_t loadAddress = 0;
    uint32_t compressionFlag = 0;
    uint32_t flashFlag = 0;
    uint8_t reserved2[16] = {};
};

struct OprHeader {
    uint16_t crc = 0;
    uint16_t reserved0 = 0;
    uint32_t targetDevice = 0;
    uint32_t size = 0;
    uint32_t numComponents = 0;
    OprComponent components[kOprComponentCount] = {};
    uint8_t reserved1[288] = {};
    uint8_t rel = 0;
    uint8_t ver = 0;
    uint8_t maint_lvl = 0;
    uint8_t build_num = 0;
    char timestamp[kOprTimestampSize] = {};
    char file[kOprFileSize] = {};
    uint8_t reserved2[144] = {};
};

struct StkImageRecord {
    uint32_t imageOffset = 0;
    uint32_t targetDevice = 0;
    uint32_t recordFlag = 0;
    uint8_t reserved[16] = {};
};

struct StkFileHeader {
    uint16_t crc = 0;
    uint16_t marker = 0;
    uint32_t magic = 0;
    uint32_t recordCount = 0;
    uint32_t totalLength = 0;
    uint8_t rel = 0;
    uint8_t ver = 0;
    uint8_t maint_lvl = 0;
    uint8_t build_num = 0;
    uint32_t headerLength = 0;
    uint8_t reserved[64] = {};
    StkImageRecord records[kStkMaxRecords] = {};
};

// Big-endian field access.
uint16_t getBe16(const uint8_t* p);
uint32_t getBe32(const uint8_t* p);
void putBe16(uint8_t* p, uint16_t v);
void putBe32(uint8_t* p, uint32_t v);

// Component: exactly kOprComponentSize bytes.
void decodeOprComponent(const uint8_t* bytes, OprComponent& out);
void encodeOprComponent(const OprComponent& in, uint8_t* bytes);
// Image header: exactly kOprHeaderSize bytes. Decoding keeps the text fields
// as stored (not forced to end in a NUL).
void decodeOprHeader(const uint8_t* bytes, OprHeader& out);
void encodeOprHeader(const OprHeader& in, uint8_t* bytes);

// Image record: exactly kStkImageRecordSize bytes.
void decodeStkImageRecord(const uint8_t* bytes, StkImageRecord& out);
void encodeStkImageRecord(const StkImageRecord& in, uint8_t* bytes);
// STK file header from `length` available bytes (at least the 88 fixed
// bytes). Records are decoded only as far as min(recordCount, 10) whole
// records lie within `length`; returns the number of records decoded, or -1
// when fewer than 88 bytes are available.
int decodeStkFileHeader(const uint8_t* bytes, size_t length, StkFileHeader& out);
// Writes the fixed part and min(recordCount, 10) records; returns the bytes
// written (88 + 28 * records). `capacity` must allow for that, else returns 0.
size_t encodeStkFileHeader(const StkFileHeader& in, uint8_t* bytes, size_t capacity);

// True when the first 8 bytes carry the STK file header marker and magic.
bool hasStkFileHeader(const uint8_t* bytes, size_t length);

// The file CRC rule: from the first 16 bytes of a file, the stored CRC and the
// length L that it covers (bytes 2 .. L-1). False when fewer than 16 bytes.
struct FileCrcSpan {
    uint16_t storedCrc = 0;
    uint32_t length = 0;
    bool stkFileHeader = false;
};
bool fileCrcSpan(const uint8_t* first16, size_t length, FileCrcSpan& out);

// STK CRC-16: polynomial 0xA097, MSB first, register from 0, data bytes
// shifted into the low end of the register (no xor into the top byte).
constexpr uint16_t kStkCrcPoly = 0xA097;
// CRC-16/KERMIT: reflected 0x1021 (0x8408), register from 0, no inversion.
constexpr uint16_t kKermitPoly = 0x8408;

// Table values, computed independently of the shared table.
uint16_t stkCrcTableEntry(uint8_t index);
uint16_t kermitTableEntry(uint8_t index);

// Whole-buffer CRCs that do not touch the shared table (safe to interleave).
// stkCrc16 uses a sliced table internally and equals the one-table method.
uint16_t stkCrc16(const uint8_t* data, size_t length, uint16_t crc = 0);
uint16_t stkCrc16Bytewise(const uint8_t* data, size_t length, uint16_t crc = 0);
uint16_t kermitCrc16(const uint8_t* data, size_t length, uint16_t crc = 0);

namespace detail {
// Internal ways of the STK CRC-16, each equal to the one-table method.
uint16_t stkCrc16Sliced(const uint8_t* data, size_t length, uint16_t crc);
// Carry-less folding where the processor has it; false when not used.
constexpr size_t kFoldMinLength = 256;
bool stkCrc16Folded(const uint8_t* data, size_t length, uint16_t crc, uint16_t* result);
// crc * x^(8 * bytes) mod P: the register after `bytes` zero bytes.
uint16_t stkCrc16Shift(uint16_t crc, uint64_t bytes);
uint16_t polyMulMod(uint16_t a, uint16_t b);
}  // namespace detail

// CRC of a whole image file held in memory by the file CRC rule: bytes 2..L-1.
// Returns false when the buffer is shorter than 16 bytes or than L.
bool fileCrcCheck(const uint8_t* file, size_t length, uint16_t* computed = nullptr);
// Stores the file CRC at offset 0 (bytes 2..length-1); length must be >= 2.
void fileCrcStore(uint8_t* file, size_t length);

}  // namespace stk

// The shared table: filled for one algorithm at a time; an update step is
// only valid right after its own table was built.
namespace stk {
extern uint16_t sharedCrcTable[256];
}
void GenCrcTable();
void UpdateCRC(uint8_t byte, uint16_t* crc);
void GenCrcCCITTable();
void UpdateCRCITT(uint8_t byte, uint16_t* crc);
