// The selftest's checks, each against a value worked out independently
// (by hand, by python's zlib and xz for the streams, by the device tree QEMU
// builds for -m 128M).
#include <errno.h>
#include <malloc.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LzmaDec.h"
#include "platform/bus.h"
#include "platform/ppce500/cpu.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/mpic.h"
#include "platform/ppce500/timebase.h"
#include "ppce500_selftest.h"
#include "selftest_streams.h"
#include "zlib.h"

namespace selftest {

namespace {

bool constructed = false;
struct Constructed {
    Constructed() { constructed = true; }
} constructedAtStart;

// Checks that snprintf(format, value) gives `want`.
template <typename T>
void checkFormat(const char* format, T value, const char* want) {
    char got[64], name[96];
    std::snprintf(got, sizeof got, format, value);
    std::snprintf(name, sizeof name, "snprintf \"%s\" gives \"%s\"", format, want);
    check(std::strcmp(got, want) == 0, name, got);
}

void* lzmaAlloc(void*, size_t size) {
    return std::malloc(size);
}
void lzmaFree(void*, void* p) {
    std::free(p);
}

}  // namespace

void checkBoard() {
    const ppce::BoardInfo& b = ppce::boardInfo();
    std::printf(
        "device tree at %p, time base %lu Hz, MPIC timer %lu Hz, SDRAM %lu MiB, "
        "heap %08lx-%08lx\n",
        b.deviceTree, static_cast<unsigned long>(b.timebaseHz),
        static_cast<unsigned long>(ppce::mpicTimerHz()),
        static_cast<unsigned long>(b.sdramSize >> 20),
        static_cast<unsigned long>(ppce::heapStart()), static_cast<unsigned long>(ppce::heapEnd()));
    check(constructed, "static constructors ran");
    check(b.timebaseFromTree && b.timebaseHz == 400000000u, "time base frequency from the tree");
    check(b.sdramFromTree && b.sdramSize == (128u << 20), "128 MiB of SDRAM from the tree");
    check(b.uartClockHz == 400000000u, "UART clock from the tree");
}

void checkFormats() {
    checkFormat("%08x", 0x1234u, "00001234");
    checkFormat("%-20s|", "image1", "image1              |");
    checkFormat("%20s|", "image1", "              image1|");
    checkFormat("%llu", 18446744073709551615ull, "18446744073709551615");
    checkFormat("%lld", -9223372036854775807ll - 1, "-9223372036854775808");
    checkFormat("%ld", -2147483647l - 1, "-2147483648");
    checkFormat("%lu", 4294967295ul, "4294967295");
    checkFormat("%p", reinterpret_cast<void*>(0x1234), "0x1234");
    checkFormat("%zu", size_t(16u << 20), "16777216");
    checkFormat("%5d|", -42, "  -42|");
    checkFormat("%-5u|", 42u, "42   |");
    checkFormat("0x%X", 0xABCDEFu, "0xABCDEF");
    checkFormat("%c%%", 'x', "x%");
    checkFormat("%.3s", "abcdef", "abc");
    checkFormat("%02d", 7, "07");
    char got[32];
    std::snprintf(got, sizeof got, "[%5.1f]", 3.25);
    std::printf("info %%5.1f prints \"%s\" (no floating point in formatted output)\n", got);
    char small[5];
    const char* volatile text = "truncated";  // not known to the compiler's format check
    int len = std::snprintf(small, sizeof small, "%s", text);
    check(len == 9 && std::strcmp(small, "trun") == 0, "snprintf truncates and counts", small);
}

void checkConversions() {
    int d = 0;
    unsigned x = 0;
    char word[8] = {};
    int n = std::sscanf("12 0x1f abc", "%d %x %7s", &d, &x, word);
    check(n == 3 && d == 12 && x == 0x1F && std::strcmp(word, "abc") == 0, "sscanf");
    check(std::strtoul("0xFFFFFFFF", nullptr, 16) == 0xFFFFFFFFul, "strtoul hexadecimal");
    errno = 0;
    unsigned long big = std::strtoul("4294967296", nullptr, 10);
    check(big == ULONG_MAX && errno == ERANGE, "strtoul out of range");
    check(std::atoi("  -17x") == -17, "atoi");
    std::tm tm{};
    tm.tm_year = 110, tm.tm_mon = 2, tm.tm_mday = 5, tm.tm_hour = 14, tm.tm_min = 30;
    tm.tm_isdst = 0;
    std::time_t t = std::mktime(&tm);
    check(t == 1267799400, "mktime 2010-03-05 14:30:00 UTC");
    check(tm.tm_wday == 5 && tm.tm_yday == 63, "mktime fills weekday and day of year");
    std::tm back{};
    std::time_t fixed = 1114156800;  // 2005-04-22 08:00:00
    check(gmtime_r(&fixed, &back) != nullptr && back.tm_year == 105 && back.tm_mon == 3 &&
              back.tm_mday == 22 && back.tm_hour == 8 && back.tm_wday == 5,
          "gmtime_r 2005-04-22 08:00:00");
}

void checkHeap() {
    constexpr size_t kBig = 16u << 20;
    auto* p = static_cast<uint8_t*>(std::malloc(kBig));
    bool ok = p != nullptr;
    for (size_t i = 0; ok && i < kBig; i += 4096) p[i] = uint8_t(i >> 12);
    for (size_t i = 0; ok && i < kBig; i += 4096) ok = p[i] == uint8_t(i >> 12);
    check(ok, "malloc of 16 MiB, written and read back");
    std::free(p);
    char* q = new char[kBig];
    q[0] = 1, q[kBig - 1] = 2;
    check(q[0] + q[kBig - 1] == 3, "new of 16 MiB");
    delete[] q;
    void* again = std::malloc(kBig);
    check(again != nullptr, "16 MiB again after free");
    std::free(again);
    errno = 0;
    void* huge = std::malloc(size_t(1) << 30);
    check(huge == nullptr && errno == ENOMEM, "malloc beyond the heap fails with ENOMEM");
    auto* nothrow = new (std::nothrow) char[size_t(1) << 30];
    check(nothrow == nullptr, "nothrow new beyond the heap gives null");
    void* small = std::malloc(100);
    check(small != nullptr, "malloc still works after a refusal");
    std::free(small);
}

void checkContainers() {
    std::map<std::string, int> byName;
    for (int i = 0; i < 1000; ++i) byName["image" + std::to_string(i)] = i;
    bool ok = byName.size() == 1000;
    for (int i = 0; ok && i < 1000; i += 7) ok = byName.at("image" + std::to_string(i)) == i;
    check(ok, "std::map<std::string, int> of 1000 entries");
    check(byName.find("image1000") == byName.end(), "std::map misses what is not there");
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < 100000; ++i) v.push_back(i * 3);
    check(v.size() == 100000 && v[99999] == 299997, "std::vector of 100000");
    std::string s = "Boot Menu ";
    s += "Version: 12 Dec 2010";
    check(s.find("12 Dec") == 19 && s.substr(0, 4) == "Boot", "std::string");
    auto owned = std::make_unique<std::vector<int>>(10, 7);
    check(owned->at(9) == 7, "std::unique_ptr");
}

void checkDecoders() {
    static uint8_t out[sizeof kPlainText + 64];
    z_stream strm{};
    strm.zalloc = Z_NULL, strm.zfree = Z_NULL, strm.opaque = Z_NULL;
    strm.next_in = const_cast<Bytef*>(kZlibStream);
    strm.avail_in = sizeof kZlibStream;
    strm.next_out = out;
    strm.avail_out = sizeof out;
    int rc = inflateInit_(&strm, zlibVersion(), int(sizeof(z_stream)));
    if (rc == Z_OK) rc = inflate(&strm, Z_NO_FLUSH);
    inflateEnd(&strm);
    check(rc == Z_STREAM_END && strm.total_out == sizeof kPlainText &&
              std::memcmp(out, kPlainText, sizeof kPlainText) == 0,
          "zlib inflate of python's stream (default allocator)");

    ISzAlloc alloc = {lzmaAlloc, lzmaFree};
    SizeT outLen = sizeof out, inLen = sizeof kLzmaStream - LZMA_PROPS_SIZE - 8;
    ELzmaStatus status;
    std::memset(out, 0, sizeof out);
    SRes res = LzmaDecode(out, &outLen, kLzmaStream + LZMA_PROPS_SIZE + 8, &inLen, kLzmaStream,
                          LZMA_PROPS_SIZE, LZMA_FINISH_END, &status, &alloc);
    check(res == SZ_OK && status == LZMA_STATUS_FINISHED_WITH_MARK && outLen == sizeof kPlainText &&
              std::memcmp(out, kPlainText, sizeof kPlainText) == 0,
          "LzmaDec of xz's LZMA-alone stream");
}

void checkLine(ppce::UartLine& line) {
    int bps = 0;
    check(line.getBaud(&bps) == 0 && bps == 115200, "line speed 115200 as set");
    check(line.setBaud(9600) == 0 && line.getBaud(&bps) == 0 && bps == 9600, "line speed 9600");
    check(line.setBaud(3125000) == 0, "line speed 3125000 (divisor 8)");
    check(line.setBaud(300) == -1, "line speed 300 refused (divisor above 65535)");
    check(line.setBaud(20000000) == -1, "line speed 20000000 refused (25 % off)");
    check(line.setBaud(0) == -1, "line speed 0 refused");
    check(line.setBaud(115200) == 0 && line.getBaud(&bps) == 0 && bps == 115200,
          "line speed back to 115200");
    check(ppce::uart::divisorFor(400000000u, 9600) == 2604, "divisor for 9600 is 2604");
}

void checkProcessor() {
    uint32_t msr = ppce::msrGet();
    std::printf("MSR %08lx HID0 %08lx L1CSR0 %08lx L1CSR1 %08lx PVR %08lx SVR %08lx\n",
                static_cast<unsigned long>(msr), static_cast<unsigned long>(ppce::hid0Get()),
                static_cast<unsigned long>(ppce::l1csr0Get()),
                static_cast<unsigned long>(ppce::l1csr1Get()),
                static_cast<unsigned long>(ppce::spr::get<ppce::spr::kPvr>()),
                static_cast<unsigned long>(ppce::spr::get<ppce::spr::kSvr>()));
    check((msr & ppce::kMsrEe) == 0, "interrupts off outside the idle wait");
    ppce::l1csr1Set(ppce::l1csr1Get());
    ppce::hid0Set(ppce::hid0Get());
    check(ppce::msrGet() == msr, "MSR unchanged by HID0 and L1CSR1 writes");
    // Code written as data, flushed, then called at its absolute address:
    // "addi r3, r3, 1; blr".
    auto* code = static_cast<uint32_t*>(std::malloc(64));
    code[0] = 0x38630001u;
    code[1] = 0x4E800020u;
    ppce::cacheFlushRange(code, 8);
    int result = ppce::callAbsolute(uint32_t(reinterpret_cast<uintptr_t>(code)), 41);
    check(result == 42, "call of code written to the heap, after a cache flush");
    std::free(code);
    // The hand-off's reset of the interrupt controller, then the tick again.
    ppce::mpicReset();
    ppce::timebaseInit(ppce::timebaseHz());
    uint64_t t0 = ppce::timeBase(), t1 = ppce::timeBase();
    check(t1 >= t0 && t0 != 0, "time base runs");
}

void checkBus() {
    uint32_t v = 0x12345678;
    check(!plat::busRead32(ppce::kUnmappedAddress, &v) && v == 0x12345678,
          "bus read of an unmapped address is refused");
    static uint32_t word = 0;
    uint32_t addr = uint32_t(reinterpret_cast<uintptr_t>(&word));
    check(plat::busWrite32(addr, 0xCAFEF00D) && word == 0xCAFEF00D, "bus write to SDRAM");
    uint16_t half = 0;
    check(plat::busRead16(addr, &half) && half == 0xCAFE, "bus is big-endian");
    uint8_t lsr = 0;
    check(plat::busRead8(ppce::kUartBase + 5, &lsr) && (lsr & 0x20), "bus read of the UART's LSR");
    check(!plat::busRead32(addr + 1, &v), "misaligned bus cycle refused");
    check(plat::busMemory(0x00010000, 16u << 20) != nullptr, "load area is plain memory");
    check(plat::busMemory(ppce::kFlashBase, 4) == nullptr, "flash is not plain memory");
    // What the flash file holds at offsets 0 and 0x1F00000 (the boot flash
    // window), for the test on the host to compare with the file.
    std::printf("flash");
    for (uint32_t at : {ppce::kFlashBase, 0xFFF00000u}) {
        std::printf(" %08lx:", static_cast<unsigned long>(at));
        for (uint32_t i = 0; i < 4; ++i) {
            uint8_t b = 0;
            plat::busRead8(at + i, &b);
            std::printf(" %02x", b);
        }
    }
    std::printf("\n");
}

}  // namespace selftest
