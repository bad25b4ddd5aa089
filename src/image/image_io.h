// Small file helpers of the image store.
#pragma once

#include <cstddef>

namespace imageio {

// Reads until n bytes arrived, the file ended or a read failed. Returns the
// bytes read, or -1 when the first read failed.
long readFully(int fd, void* buffer, size_t n);
// Writes all n bytes; returns the bytes written, or -1 when the first write failed.
long writeFully(int fd, const void* buffer, size_t n);
// Bounded copy of a text: at most width characters, always terminated
// (dst holds width + 1 bytes).
void copyField(char* dst, const char* src, size_t width);

}  // namespace imageio
