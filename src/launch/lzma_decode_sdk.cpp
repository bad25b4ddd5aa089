// The bounded LZMA decode by the LZMA SDK's raw decoder (LzmaDec.c from
// Debian's lzma-dev): the decoder of the PowerPC target, which needs nothing
// of a C library but memory. It decodes straight into the output window,
// which is its dictionary, so memory stays bounded by the output whatever
// dictionary size the header names. Its answers are those of the host's
// decoder (lzma_decode_xz.cpp), which the host tests hold it to.
#include <LzmaDec.h>

#include <algorithm>

#include "launch/lzma_decode.h"
#include "platform/kernel.h"

namespace {

// The host's decoder refuses lc + lp above 4; so does this one, so that an
// image decodes on both targets or on neither.
constexpr int kMaxLcPlusLp = 4;

void* allocate(void*, size_t size) {
    return plat::malloc(size);
}
void release(void*, void* address) {
    plat::free(address);
}
ISzAlloc allocator = {allocate, release};

}  // namespace

int LzmaDecodeBounded(CLzmaDecoderState* state, const unsigned char* inStream, size_t inSize,
                      size_t* inSizeProcessed, unsigned char* outStream, size_t capacity,
                      uint64_t wanted, size_t* outSizeProcessed) {
    if (inSizeProcessed) *inSizeProcessed = 0;
    if (outSizeProcessed) *outSizeProcessed = 0;
    if (!state || (!inStream && inSize) || (!outStream && capacity)) return LZMA_RESULT_DATA_ERROR;
    const CLzmaProperties& p = state->Properties;
    if (p.lc < 0 || p.lp < 0 || p.lc + p.lp > kMaxLcPlusLp || p.pb < 0 || p.pb > 4)
        return LZMA_RESULT_DATA_ERROR;

    size_t outSize = size_t(std::min<uint64_t>(capacity, wanted));
    if (outSize == 0) return LZMA_RESULT_OK;

    Byte props[LZMA_PROPS_SIZE] = {
        Byte((p.pb * 5 + p.lp) * 9 + p.lc),   Byte(p.DictionarySize),
        Byte(p.DictionarySize >> 8),          Byte(p.DictionarySize >> 16),
        Byte(p.DictionarySize >> 24),
    };
    CLzmaDec dec;
    LzmaDec_Construct(&dec);
    if (LzmaDec_AllocateProbs(&dec, props, LZMA_PROPS_SIZE, &allocator) != SZ_OK)
        return LZMA_RESULT_DATA_ERROR;
    dec.dic = outStream;
    dec.dicBufSize = outSize;
    LzmaDec_Init(&dec);

    SizeT used = inSize;
    ELzmaStatus status;
    SRes res = LzmaDec_DecodeToDic(&dec, outSize, inStream, &used, LZMA_FINISH_ANY, &status);
    bool ok = res == SZ_OK && (status == LZMA_STATUS_FINISHED_WITH_MARK || dec.dicPos == outSize);
    if (ok && status != LZMA_STATUS_FINISHED_WITH_MARK && outSize < wanted) {
        // The window is full but the stream may go on: it fits only when its
        // end marker follows at once.
        SizeT more = inSize - used;
        res = LzmaDec_DecodeToDic(&dec, outSize, inStream + used, &more, LZMA_FINISH_END, &status);
        used += more;
        ok = res == SZ_OK && status == LZMA_STATUS_FINISHED_WITH_MARK;
    }
    if (inSizeProcessed) *inSizeProcessed = size_t(used);
    if (outSizeProcessed) *outSizeProcessed = size_t(dec.dicPos);
    LzmaDec_FreeProbs(&dec, &allocator);
    return ok ? LZMA_RESULT_OK : LZMA_RESULT_DATA_ERROR;
}
