// The one-call LZMA decoder of the launcher: the properties of an LZMA-alone
// header and a decode of the whole compressed payload into a buffer of known
// size. The decoding itself is done by the target's decoder library.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int LZMA_RESULT_OK = 0;
constexpr int LZMA_RESULT_DATA_ERROR = 1;

// Bytes of the properties: the lc/lp/pb byte and the dictionary size.
constexpr int LZMA_PROPERTIES_SIZE = 5;

struct CLzmaProperties {
    int lc = 0;  // literal context bits
    int lp = 0;  // literal position bits
    int pb = 0;  // position bits
    uint32_t DictionarySize = 0;
};

struct CLzmaDecoderState {
    CLzmaProperties Properties;
    // liblzma keeps its own probability model; the field stays for callers
    // that size one by LzmaGetNumProbs.
    uint16_t* Probs = nullptr;
};

// Entries of the probability model for the given properties.
inline uint32_t LzmaGetNumProbs(const CLzmaProperties& p) {
    return 1846u + (768u << (p.lc + p.lp));
}

// Decodes the 5 property bytes; LZMA_RESULT_OK, or LZMA_RESULT_DATA_ERROR when
// the lc/lp/pb byte is above 224 or fewer than 5 bytes are given.
int LzmaDecodeProperties(CLzmaProperties* props, const unsigned char* propsData, int size);

// Decodes inStream (the compressed data after the 13-byte header) into
// outStream. Decoding ends at the end marker or when outSize bytes have been
// produced; running out of input first, corrupt data, or a literal context
// liblzma does not support (lc + lp above 4) is LZMA_RESULT_DATA_ERROR.
// The history window never exceeds outSize, so memory stays bounded by the
// output whatever dictionary size the header names.
int LzmaDecode(CLzmaDecoderState* state, const unsigned char* inStream, size_t inSize,
               size_t* inSizeProcessed, unsigned char* outStream, size_t outSize,
               size_t* outSizeProcessed);

// The target's decoder library: decodes into [outStream, outStream+outSize)
// until the window is full or the end marker comes; with mayGoOn (the stream
// may produce more than the window) a full window is right only when the end
// marker follows at once. Running out of input or corrupt data: false.
bool lzmaDecodeWindow(const CLzmaProperties& p, const unsigned char* inStream, size_t inSize,
                      size_t* inUsed, unsigned char* outStream, size_t outSize, bool mayGoOn,
                      size_t* outUsed);

// LzmaDecode into a window of `capacity` bytes for a stream that may produce
// up to `wanted` bytes: when the stream would produce more than `capacity`
// (capacity < wanted), that is LZMA_RESULT_DATA_ERROR rather than a silent cut.
int LzmaDecodeBounded(CLzmaDecoderState* state, const unsigned char* inStream, size_t inSize,
                      size_t* inSizeProcessed, unsigned char* outStream, size_t capacity,
                      uint64_t wanted, size_t* outSizeProcessed);
