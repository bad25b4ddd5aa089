// The bounded LZMA decode by liblzma (the host's decoder).
#include <lzma.h>

#include <algorithm>

#include "launch/lzma_decode.h"

namespace {

// liblzma raises a smaller window to this.
constexpr uint32_t kMinWindow = 4096;

// Runs the decoder until the output is full, the end marker is seen or the
// input is exhausted. Returns the liblzma status of the last call.
lzma_ret runDecoder(lzma_stream& strm, unsigned char* out, size_t outSize) {
    strm.next_out = out;
    strm.avail_out = outSize;
    for (;;) {
        lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
        if (ret != LZMA_OK) return ret;
        if (strm.avail_out == 0) return LZMA_OK;
        // LZMA_OK with output room left and no input left cannot progress.
        if (strm.avail_in == 0) return LZMA_BUF_ERROR;
    }
}

}  // namespace

bool lzmaDecodeWindow(const CLzmaProperties& p, const unsigned char* inStream, size_t inSize,
                      size_t* inUsed, unsigned char* outStream, size_t outSize, bool mayGoOn,
                      size_t* outUsed) {
    lzma_options_lzma opts{};
    // Matches never reach further back than the output produced, so a window
    // of the output's size is enough whatever the header asks for.
    uint64_t window = std::min<uint64_t>(p.DictionarySize, outSize);
    opts.dict_size = uint32_t(std::max<uint64_t>(window, kMinWindow));
    opts.lc = uint32_t(p.lc);
    opts.lp = uint32_t(p.lp);
    opts.pb = uint32_t(p.pb);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opts}, {LZMA_VLI_UNKNOWN, nullptr}};

    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&strm, filters) != LZMA_OK) {
        lzma_end(&strm);
        return false;
    }
    strm.next_in = inStream;
    strm.avail_in = inSize;
    lzma_ret ret = runDecoder(strm, outStream, outSize);
    bool ok = ret == LZMA_STREAM_END || ret == LZMA_OK;
    if (ret == LZMA_OK && mayGoOn) {
        // The window is full but the stream may go on: it fits only when its
        // end marker follows at once.
        unsigned char probe;
        size_t before = strm.total_out;
        ret = runDecoder(strm, &probe, 1);
        ok = ret == LZMA_STREAM_END && strm.total_out == before;
    }
    *inUsed = size_t(strm.total_in);
    *outUsed = std::min<size_t>(size_t(strm.total_out), outSize);
    lzma_end(&strm);
    return ok;
}
