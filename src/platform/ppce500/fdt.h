// A reader of the flattened device tree that QEMU hands the program in r3:
// finds one property by path, with every offset and length checked against
// the blob's own header, so a damaged tree gives "not found", never a stray
// read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ppce {

struct FdtProperty {
    const uint8_t* data = nullptr;
    uint32_t len = 0;
};

// Size limit of a tree we accept (QEMU reserves 8 MiB for it).
constexpr uint32_t kFdtMaxSize = 8u << 20;

// The property `name` of the node at `path` ("/memory", "/cpus/*"). A path
// component without a unit address matches "name@unit" too, and "*" matches
// any node: the first node along the path that has the property is taken.
bool fdtProperty(const void* blob, const char* path, const char* name, FdtProperty* out);

// The property's value as one big-endian cell, or as a number of `cells`
// cells (1 or 2) taken from byte offset `at`.
bool fdtCell(const FdtProperty& p, uint32_t* value);
bool fdtCells(const FdtProperty& p, uint32_t at, uint32_t cells, uint64_t* value);

// The size of the memory that /memory's first "reg" entry describes.
bool fdtMemorySize(const void* blob, uint64_t* size);

}  // namespace ppce
