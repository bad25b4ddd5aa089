#include "support/test_images.h"

#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>

#include <cstring>
#include <random>

#include "image/stk_format.h"

namespace stktest {

std::string zlibCompress(const std::string& data, int level) {
    uLongf len = compressBound(uLong(data.size()));
    std::string out(len, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &len,
              reinterpret_cast<const Bytef*>(data.data()), uLong(data.size()), level);
    out.resize(len);
    return out;
}

std::string lzmaAloneCompress(const std::string& data) {
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 6);
    lzma_stream strm = LZMA_STREAM_INIT;
    EXPECT_EQ(lzma_alone_encoder(&strm, &opt), LZMA_OK);
    std::string out(data.size() + data.size() / 2 + 4096, '\0');
    strm.next_in = reinterpret_cast<const uint8_t*>(data.data());
    strm.avail_in = data.size();
    strm.next_out = reinterpret_cast<uint8_t*>(out.data());
    strm.avail_out = out.size();
    EXPECT_EQ(lzma_code(&strm, LZMA_FINISH), LZMA_STREAM_END);
    out.resize(out.size() - strm.avail_out);
    lzma_end(&strm);
    // The alone encoder writes an unknown size; the boot program needs it.
    for (int i = 0; i < 8; ++i) out[5 + i] = char((uint64_t(data.size()) >> (8 * i)) & 0xff);
    return out;
}

std::string textBytes(size_t n, uint32_t seed) {
    static const char* const words[] = {"port ", "vlan ", "link\n", "frame ", "0x1f ", "queue "};
    std::mt19937 gen(seed);
    std::string s;
    while (s.size() < n) s.append(words[gen() % 6]);
    s.resize(n);
    return s;
}

uint32_t be32(const std::string& s, size_t at) {
    return stk::getBe32(reinterpret_cast<const uint8_t*>(s.data()) + at);
}
void restoreCrc(std::string& s, size_t length) {
    stk::fileCrcStore(reinterpret_cast<uint8_t*>(s.data()), std::min(length, s.size()));
}

std::string patched(std::string s, size_t at, uint32_t v, size_t crcLength) {
    stk::putBe32(reinterpret_cast<uint8_t*>(s.data()) + at, v);
    restoreCrc(s, crcLength);
    return s;
}

static uint16_t crcOf(const std::string& s) {
    return stk::stkCrc16(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string makeImage(const ImageSpec& spec) {
    const std::string code = spec.stream             ? *spec.stream
                             : spec.compression == 2 ? lzmaAloneCompress(spec.payload)
                                                     : zlibCompress(spec.payload);
    stk::OprHeader h;
    h.targetDevice = spec.targetDevice;
    h.size = uint32_t(stk::kOprHeaderSize + code.size() + spec.bootCode.size());
    h.numComponents = spec.bootCode.empty() ? 1 : 2;
    // Fields in order: CRC, two unused, version, Size, Offset, Load Address,
    // Compression flag, FLASH flag.
    h.components[0] = {crcOf(code),      0, 0, 0, uint32_t(code.size()), 0, spec.loadAddress,
                       spec.compression, 1, {}};
    if (!spec.bootCode.empty())
        h.components[1] = {crcOf(spec.bootCode),  0, 0, 1, uint32_t(spec.bootCode.size()),
                           uint32_t(code.size()), 0, 0, 0, {}};
    h.rel = spec.rel;
    h.ver = spec.ver;
    h.maint_lvl = spec.maint;
    h.build_num = spec.build;
    std::strncpy(h.timestamp, spec.timestamp.c_str(), sizeof h.timestamp - 1);
    std::strncpy(h.file, spec.file.c_str(), sizeof h.file - 1);
    std::string file(stk::kOprHeaderSize, '\0');
    stk::encodeOprHeader(h, reinterpret_cast<uint8_t*>(file.data()));
    file += code + spec.bootCode;
    restoreCrc(file);
    return file;
}

std::string makeStkFile(const ImageSpec& spec, const std::vector<uint32_t>& targets) {
    const int count = int(targets.size());
    const uint32_t headerLength = uint32_t(88 + 28 * count);
    // Fields in order: CRC, marker, magic, record count, total length, the
    // four version bytes, header length.
    stk::StkFileHeader fh{0,        stk::kStkMarker, stk::kStkMagic, uint32_t(count), 0,  spec.rel,
                          spec.ver, spec.maint,      spec.build,     headerLength,    {}, {}};
    std::string images;
    for (int i = 0; i < count; ++i) {
        ImageSpec s = spec;
        s.targetDevice = targets[i];
        fh.records[i] = {uint32_t(fh.headerLength + images.size()), targets[i], 1, {}};
        images += makeImage(s);
    }
    fh.totalLength = uint32_t(fh.headerLength + images.size());
    std::string file(fh.headerLength, '\0');
    stk::encodeStkFileHeader(fh, reinterpret_cast<uint8_t*>(file.data()), file.size());
    file += images;
    restoreCrc(file);
    return file;
}

}  // namespace stktest
