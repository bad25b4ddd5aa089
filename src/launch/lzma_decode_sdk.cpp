// The bounded LZMA decode by the LZMA SDK's raw decoder (LzmaDec.c from
// Debian's lzma-dev): the decoder of the PowerPC target, which needs nothing
// of a C library but memory. It decodes straight into the output window,
// which is its dictionary, so memory stays bounded by the output whatever
// dictionary size the header names. Its answers are those of the host's
// decoder (lzma_decode_xz.cpp), which the host tests hold it to.
#include <LzmaDec.h>

#include "launch/lzma_decode.h"
#include "platform/kernel.h"

namespace {

void* allocate(void*, size_t size) {
    return plat::malloc(size);
}
void release(void*, void* address) {
    plat::free(address);
}
ISzAlloc allocator = {allocate, release};

}  // namespace

bool lzmaDecodeWindow(const CLzmaProperties& p, const unsigned char* inStream, size_t inSize,
                      size_t* inUsed, unsigned char* outStream, size_t outSize, bool mayGoOn,
                      size_t* outUsed) {
    Byte props[LZMA_PROPS_SIZE] = {
        Byte((p.pb * 5 + p.lp) * 9 + p.lc), Byte(p.DictionarySize),
        Byte(p.DictionarySize >> 8),        Byte(p.DictionarySize >> 16),
        Byte(p.DictionarySize >> 24),
    };
    CLzmaDec dec;
    LzmaDec_Construct(&dec);
    if (LzmaDec_AllocateProbs(&dec, props, LZMA_PROPS_SIZE, &allocator) != SZ_OK) return false;
    dec.dic = outStream;
    dec.dicBufSize = outSize;
    LzmaDec_Init(&dec);

    SizeT used = inSize;
    ELzmaStatus status;
    SRes res = LzmaDec_DecodeToDic(&dec, outSize, inStream, &used, LZMA_FINISH_ANY, &status);
    bool ok = res == SZ_OK && (status == LZMA_STATUS_FINISHED_WITH_MARK || dec.dicPos == outSize);
    if (ok && status != LZMA_STATUS_FINISHED_WITH_MARK && mayGoOn) {
        // The window is full but the stream may go on: it fits only when its
        // end marker follows at once.
        SizeT more = inSize - used;
        res = LzmaDec_DecodeToDic(&dec, outSize, inStream + used, &more, LZMA_FINISH_END, &status);
        used += more;
        ok = res == SZ_OK && status == LZMA_STATUS_FINISHED_WITH_MARK;
    }
    *inUsed = size_t(used);
    *outUsed = size_t(dec.dicPos);
    LzmaDec_FreeProbs(&dec, &allocator);
    return ok;
}
