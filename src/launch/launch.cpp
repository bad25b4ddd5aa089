#include "launch/launch.h"

#include <zlib.h>

#include <cstring>
#include <memory>

#include "image/dim.h"
#include "image/stk_format.h"
#include "image/stkimage.h"
#include "launch/handoff.h"
#include "launch/launch_paths.h"
#include "launch/lzma_decode.h"
#include "platform/platform.h"

namespace launch {

namespace {
// zlib's memory comes from the board's heap (a library built without a C
// library, as on the PowerPC board, has no allocator of its own).
voidpf zlibAlloc(voidpf, uInt items, uInt size) {
    return plat::malloc(size_t(items) * size);
}
void zlibFree(voidpf, voidpf address) {
    plat::free(address);
}
}  // namespace

LoadWindow loadWindow(uint32_t loadAddress) {
    LoadWindow w;
    if (loadAddress >= plat::bootAreaStart()) return w;
    size_t capacity = size_t(plat::bootAreaStart() - loadAddress);
    w.base = plat::busMemory(loadAddress, uint32_t(capacity));
    if (w.base) w.capacity = capacity;
    return w;
}

bool inflateComponent(const uint8_t* component, uint32_t size, uint32_t loadAddress,
                      uint32_t* produced) {
    *produced = 0;
    LoadWindow out = loadWindow(loadAddress);
    if (!out.base) return false;

    z_stream strm{};
    strm.next_in = const_cast<Bytef*>(component);
    strm.avail_in = 0;
    strm.next_out = out.base;
    strm.zalloc = zlibAlloc;
    strm.zfree = zlibFree;
    strm.opaque = Z_NULL;
    if (inflateInit_(&strm, zlibVersion(), int(sizeof(z_stream))) != Z_OK) return false;

    plat::printf("                       50%%                     100%%\n");
    bool ok = true;
    unsigned lastBar = 1;
    while (strm.total_in < size) {
        uLong remainingIn = size - strm.total_in;
        strm.avail_in = uInt(remainingIn < kInflateInputChunk ? remainingIn : kInflateInputChunk);
        // The output never runs into the boot program's own area: a stream
        // that needs more room fails instead.
        size_t room = out.capacity - size_t(strm.next_out - out.base);
        strm.avail_out = uInt(room < kInflateOutputChunk ? room : kInflateOutputChunk);
        int rc = inflate(&strm, Z_NO_FLUSH);
        unsigned percent = unsigned(uint64_t(strm.total_in) * 100 / size);
        if (percent % 2 == 0 && percent != lastBar) {
            plat::printf("|");
            lastBar = percent;
        }
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK) {
            ok = false;
            break;
        }
    }
    *produced = uint32_t(strm.next_out - out.base);
    // inflateEnd always runs to free the stream; its own failure is reported
    // only after the line feed and the pause, as on success.
    bool endOk = inflateEnd(&strm) == Z_OK;
    if (!ok) return false;
    plat::printf("\n");
    plat::nanosleep(1, 0);
    return endOk;
}

bool unlzmaComponent(const uint8_t* component, uint32_t size, uint32_t loadAddress,
                     uint32_t* produced) {
    *produced = 0;
    CLzmaDecoderState state{};
    if (size < LZMA_PROPERTIES_SIZE ||
        LzmaDecodeProperties(&state.Properties, component, LZMA_PROPERTIES_SIZE) !=
            LZMA_RESULT_OK) {
        plat::printf("LzmaDecodeProperties returned ERROR\n");
        return false;
    }
    if (size < kLzmaHeaderSize) return false;
    uint32_t outSize = uint32_t(component[5]) | uint32_t(component[6]) << 8 |
                       uint32_t(component[7]) << 16 | uint32_t(component[8]) << 24;
    LoadWindow out = loadWindow(loadAddress);
    if (!out.base) return false;
    size_t consumed = 0;
    size_t written = 0;
    int rc = LzmaDecodeBounded(&state, component + kLzmaHeaderSize, size - kLzmaHeaderSize,
                               &consumed, out.base, out.capacity, outSize, &written);
    *produced = uint32_t(written);
    return rc == LZMA_RESULT_OK;
}

}  // namespace launch

namespace {

constexpr const char* kReceiveFiles[] = {"xcode.bin", "bootcode.bin"};

[[noreturn]] void decompressionFailed() {
    plat::printf("\n\nThere was an error during decompression... resetting the switch\n");
    plat::taskDelay(2 * plat::sysClkRateGet());
    plat::sysReboot();
}

struct BufferFree {
    void operator()(uint8_t* p) const { plat::free(p); }
};
using FileBuffer = std::unique_ptr<uint8_t, BufferFree>;

// Reads up to the buffer's size of the image with one read; the byte count,
// or -1 when the file cannot be opened or read.
long readImage(const char* name, uint8_t* buffer) {
    int fd = plat::open(name, plat::kOpenRead);
    if (fd < 0) return -1;
    long n = plat::read(fd, buffer, launch::kFileBufferSize);
    plat::close(fd);
    return n;
}

}  // namespace

int start_operational_code(int startType) {
    for (const char* name : kReceiveFiles) plat::unlink(name);

    stk::OprHeader header;
    bspapiOprHeaderRead(activeImageFileName, &header);
    const stk::OprComponent& code = header.components[stk::kComponentOpCode];
    uint32_t entry = code.loadAddress;

    plat::printf("\n\nOperational Code Date: %.*s\n", int(sizeof header.timestamp),
                 header.timestamp);
    plat::printf("Uncompressing.....\n\n");

    FileBuffer buffer(static_cast<uint8_t*>(plat::malloc(launch::kFileBufferSize)));
    if (!buffer) decompressionFailed();
    long fileBytes = readImage(activeImageFileName, buffer.get());
    if (code.size == 0 || fileBytes < 0) decompressionFailed();

    // The component must lie within what was read.
    uint64_t start = uint64_t(code.offset) + stk::kOprHeaderSize;
    if (start > uint64_t(fileBytes) || code.size > uint64_t(fileBytes) - start)
        decompressionFailed();
    const uint8_t* component = buffer.get() + start;

    uint32_t loaded = 0;
    bool ok = code.compressionFlag == stk::kCompressionGzip
                  ? launch::inflateComponent(component, code.size, entry, &loaded)
                  : launch::unlzmaComponent(component, code.size, entry, &loaded);
    buffer.reset();
    if (!ok) decompressionFailed();

    launchHandoff(entry, startType, loaded);
    return 0;
}
