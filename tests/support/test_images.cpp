#include "support/test_images.h"

#include <lzma.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "image/stk_format.h"

namespace stktest {

std::string zlibCompress(const std::string& data) {
    uLongf len = compressBound(uLong(data.size()));
    std::string out(len, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &len,
                  reinterpret_cast<const Bytef*>(data.data()), uLong(data.size()), 9) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(len);
    return out;
}

std::string lzmaAloneCompress(const std::string& data) {
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 6);
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&strm, &opt) != LZMA_OK) throw std::runtime_error("lzma init");
    std::string out(data.size() + data.size() / 2 + 4096, '\0');
    strm.next_in = reinterpret_cast<const uint8_t*>(data.data());
    strm.avail_in = data.size();
    strm.next_out = reinterpret_cast<uint8_t*>(out.data());
    strm.avail_out = out.size();
    lzma_ret r = lzma_code(&strm, LZMA_FINISH);
    if (r != LZMA_STREAM_END) throw std::runtime_error("lzma encode");
    out.resize(out.size() - strm.avail_out);
    lzma_end(&strm);
    // The alone encoder writes an unknown size; the boot program needs it.
    for (int i = 0; i < 8; ++i) out[5 + i] = char((uint64_t(data.size()) >> (8 * i)) & 0xff);
    return out;
}

std::string makeImage(const ImageSpec& spec) {
    std::string code =
        spec.compression == 2 ? lzmaAloneCompress(spec.payload) : zlibCompress(spec.payload);
    stk::OprHeader h;
    h.targetDevice = spec.targetDevice;
    h.numComponents = spec.bootCode.empty() ? 1 : 2;
    stk::OprComponent& c = h.components[stk::kComponentOpCode];
    c.size = uint32_t(code.size());
    c.offset = 0;
    c.loadAddress = spec.loadAddress;
    c.compressionFlag = spec.compression;
    c.flashFlag = 1;
    c.crc = stk::stkCrc16(reinterpret_cast<const uint8_t*>(code.data()), code.size());
    if (!spec.bootCode.empty()) {
        stk::OprComponent& b = h.components[stk::kComponentBootCode];
        b.size = uint32_t(spec.bootCode.size());
        b.offset = uint32_t(code.size());
        b.version = 1;
        b.crc = stk::stkCrc16(reinterpret_cast<const uint8_t*>(spec.bootCode.data()),
                              spec.bootCode.size());
    }
    h.rel = spec.rel;
    h.ver = spec.ver;
    h.maint_lvl = spec.maint;
    h.build_num = spec.build;
    std::strncpy(h.timestamp, spec.timestamp.c_str(), sizeof h.timestamp - 1);
    std::strncpy(h.file, spec.file.c_str(), sizeof h.file - 1);
    h.size = uint32_t(stk::kOprHeaderSize + code.size() + spec.bootCode.size());
    std::vector<uint8_t> file(h.size);
    stk::encodeOprHeader(h, file.data());
    std::memcpy(file.data() + stk::kOprHeaderSize, code.data(), code.size());
    if (!spec.bootCode.empty())
        std::memcpy(file.data() + stk::kOprHeaderSize + code.size(), spec.bootCode.data(),
                    spec.bootCode.size());
    stk::fileCrcStore(file.data(), file.size());
    return std::string(file.begin(), file.end());
}

std::string makeStkFile(const ImageSpec& spec, const uint32_t* targets, int count) {
    if (count < 0 || count > int(stk::kStkMaxRecords)) throw std::runtime_error("record count");
    stk::StkFileHeader fh;
    fh.marker = stk::kStkMarker;
    fh.magic = stk::kStkMagic;
    fh.recordCount = uint32_t(count);
    fh.headerLength = uint32_t(stk::kStkFileHeaderFixedSize + stk::kStkImageRecordSize * count);
    fh.rel = spec.rel;
    fh.ver = spec.ver;
    fh.maint_lvl = spec.maint;
    fh.build_num = spec.build;
    std::string images;
    for (int i = 0; i < count; ++i) {
        ImageSpec s = spec;
        s.targetDevice = targets[i];
        fh.records[i].imageOffset = uint32_t(fh.headerLength + images.size());
        fh.records[i].targetDevice = targets[i];
        fh.records[i].recordFlag = 1;
        images += makeImage(s);
    }
    fh.totalLength = uint32_t(fh.headerLength + images.size());
    std::vector<uint8_t> file(fh.totalLength);
    stk::encodeStkFileHeader(fh, file.data(), file.size());
    std::memcpy(file.data() + fh.headerLength, images.data(), images.size());
    stk::fileCrcStore(file.data(), file.size());
    return std::string(file.begin(), file.end());
}

}  // namespace stktest
