// Helpers for crafting and patching image files in the image store tests.
#pragma once

#include <cstdint>
#include <string>

#include "image/stk_format.h"

namespace imagetest {

inline uint8_t* bytes(std::string& s) {
    return reinterpret_cast<uint8_t*>(s.data());
}

inline void setBe32(std::string& s, size_t at, uint32_t v) {
    stk::putBe32(bytes(s) + at, v);
}
inline uint32_t be32(const std::string& s, size_t at) {
    return stk::getBe32(reinterpret_cast<const uint8_t*>(s.data()) + at);
}

// Recomputes the stored file CRC over bytes 2 .. length-1.
inline void restoreCrc(std::string& s, size_t length) {
    stk::fileCrcStore(bytes(s), length);
}
inline void restoreCrc(std::string& s) {
    restoreCrc(s, s.size());
}

}  // namespace imagetest
