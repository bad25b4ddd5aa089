// The LZMA-alone properties and the one-call decode, the same on every
// target; the bounded decode itself is the target's decoder library's
// (lzma_decode_xz.cpp: liblzma; lzma_decode_sdk.cpp: the LZMA SDK's decoder).
#include "launch/lzma_decode.h"

#include <algorithm>

int LzmaDecodeProperties(CLzmaProperties* props, const unsigned char* propsData, int size) {
    if (!props || !propsData || size < LZMA_PROPERTIES_SIZE) return LZMA_RESULT_DATA_ERROR;
    unsigned prop0 = propsData[0];
    if (prop0 >= 9 * 5 * 5) return LZMA_RESULT_DATA_ERROR;
    props->pb = int(prop0 / 45);
    prop0 %= 45;
    props->lp = int(prop0 / 9);
    props->lc = int(prop0 % 9);
    props->DictionarySize = uint32_t(propsData[1]) | uint32_t(propsData[2]) << 8 |
                            uint32_t(propsData[3]) << 16 | uint32_t(propsData[4]) << 24;
    return LZMA_RESULT_OK;
}

int LzmaDecodeBounded(CLzmaDecoderState* state, const unsigned char* inStream, size_t inSize,
                      size_t* inSizeProcessed, unsigned char* outStream, size_t capacity,
                      uint64_t wanted, size_t* outSizeProcessed) {
    size_t inUsed = 0, outUsed = 0;
    if (inSizeProcessed) *inSizeProcessed = 0;
    if (outSizeProcessed) *outSizeProcessed = 0;
    if (!state || (!inStream && inSize) || (!outStream && capacity)) return LZMA_RESULT_DATA_ERROR;
    // liblzma refuses lc + lp above 4; every target's decoder does, so that
    // an image decodes on every target or on none.
    const CLzmaProperties& p = state->Properties;
    if (p.lc < 0 || p.lp < 0 || p.lc + p.lp > 4 || p.pb < 0 || p.pb > 4)
        return LZMA_RESULT_DATA_ERROR;
    size_t outSize = size_t(std::min<uint64_t>(capacity, wanted));
    if (outSize == 0) return LZMA_RESULT_OK;
    bool ok = lzmaDecodeWindow(p, inStream, inSize, &inUsed, outStream, outSize, outSize < wanted,
                               &outUsed);
    if (inSizeProcessed) *inSizeProcessed = inUsed;
    if (outSizeProcessed) *outSizeProcessed = outUsed;
    return ok ? LZMA_RESULT_OK : LZMA_RESULT_DATA_ERROR;
}

int LzmaDecode(CLzmaDecoderState* state, const unsigned char* inStream, size_t inSize,
               size_t* inSizeProcessed, unsigned char* outStream, size_t outSize,
               size_t* outSizeProcessed) {
    return LzmaDecodeBounded(state, inStream, inSize, inSizeProcessed, outStream, outSize, outSize,
                             outSizeProcessed);
}
