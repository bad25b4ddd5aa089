// The two decompression paths of the launcher, on their own so that they can
// be measured and tested apart from the image file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace launch {

// File buffer for the whole image, and the zlib chunk sizes.
constexpr size_t kFileBufferSize = 0x1000000;
constexpr size_t kInflateInputChunk = 1024;
constexpr size_t kInflateOutputChunk = 3072;
// Bytes of the LZMA-alone header in front of the compressed data.
constexpr size_t kLzmaHeaderSize = 13;

// Memory that a load at `loadAddress` may fill: simulated SDRAM from the load
// address up to the boot program's own area. Empty when the address lies in
// or beyond that area.
struct LoadWindow {
    uint8_t* base = nullptr;
    size_t capacity = 0;
};
LoadWindow loadWindow(uint32_t loadAddress);

// Inflates a zlib component of `size` bytes to `loadAddress`, drawing the
// progress bar. Returns false on any failure; *produced is the count of
// bytes written.
bool inflateComponent(const uint8_t* component, uint32_t size, uint32_t loadAddress,
                      uint32_t* produced);

// Decodes an LZMA-alone component of `size` bytes to `loadAddress`.
bool unlzmaComponent(const uint8_t* component, uint32_t size, uint32_t loadAddress,
                     uint32_t* produced);

}  // namespace launch
