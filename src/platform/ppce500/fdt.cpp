#include "platform/ppce500/fdt.h"

#include <cstring>

namespace ppce {

namespace {

constexpr uint32_t kMagic = 0xD00DFEEDu;
constexpr uint32_t kBeginNode = 1, kEndNode = 2, kProp = 3, kNop = 4, kEnd = 9;
constexpr unsigned kMaxDepth = 16;

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The bounds of a checked tree: the structure block and the strings block.
struct Tree {
    const uint8_t* base;
    uint32_t structOff, structEnd, stringsOff, stringsSize;
};

bool openTree(const void* blob, Tree* t) {
    const auto* b = static_cast<const uint8_t*>(blob);
    if (!b || be32(b) != kMagic) return false;
    uint32_t total = be32(b + 4), structOff = be32(b + 8), stringsOff = be32(b + 12);
    uint32_t version = be32(b + 20), stringsSize = be32(b + 32), structSize = be32(b + 36);
    if (total < 40 || total > kFdtMaxSize || version < 17) return false;
    if (structOff > total || structSize > total - structOff || structOff % 4 != 0) return false;
    if (stringsOff > total || stringsSize > total - stringsOff) return false;
    *t = {b, structOff, structOff + structSize, stringsOff, stringsSize};
    return true;
}

// Length of the NUL-terminated text at off, if it ends before limit.
bool textLength(const uint8_t* base, uint32_t off, uint32_t limit, uint32_t* len) {
    const void* nul = std::memchr(base + off, 0, limit - off);
    if (!nul) return false;
    *len = uint32_t(static_cast<const uint8_t*>(nul) - (base + off));
    return true;
}

// Does the path component [comp, comp+compLen) name the node `node`?
bool nameMatches(const char* comp, size_t compLen, const char* node, uint32_t nodeLen) {
    if (compLen == 1 && comp[0] == '*') return true;
    if (compLen == nodeLen && std::memcmp(comp, node, compLen) == 0) return true;
    bool compHasUnit = std::memchr(comp, '@', compLen) != nullptr;
    return !compHasUnit && compLen < nodeLen && node[compLen] == '@' &&
           std::memcmp(comp, node, compLen) == 0;
}

}  // namespace

bool fdtProperty(const void* blob, const char* path, const char* name, FdtProperty* out) {
    Tree t;
    if (!path || path[0] != '/' || !openTree(blob, &t)) return false;
    // The components of the path, split at '/'.
    const char* comps[kMaxDepth];
    size_t compLens[kMaxDepth];
    unsigned n = 0;
    for (const char* p = path + 1; *p;) {
        const char* slash = std::strchr(p, '/');
        size_t len = slash ? size_t(slash - p) : std::strlen(p);
        if (len == 0 || n == kMaxDepth) return false;
        comps[n] = p;
        compLens[n++] = len;
        p += len + (slash ? 1 : 0);
    }
    // depth: nodes entered (the root is 1); matched: how many of them, from the
    // root down, follow the path (the root always does).
    unsigned depth = 0, matched = 0;
    for (uint32_t off = t.structOff; off + 4 <= t.structEnd;) {
        uint32_t token = be32(t.base + off);
        off += 4;
        if (token == kBeginNode) {
            uint32_t len;
            if (!textLength(t.base, off, t.structEnd, &len)) return false;
            const char* node = reinterpret_cast<const char*>(t.base + off);
            off += (len + 4) & ~3u;
            if (depth == 0 ? true
                           : matched == depth && depth <= n &&
                                 nameMatches(comps[depth - 1], compLens[depth - 1], node, len))
                matched = depth + 1;
            if (++depth > kMaxDepth + 1) return false;
        } else if (token == kEndNode) {
            if (depth == 0) return false;
            if (matched == depth) --matched;
            --depth;
        } else if (token == kProp) {
            if (off + 8 > t.structEnd) return false;
            uint32_t len = be32(t.base + off), nameOff = be32(t.base + off + 4);
            off += 8;
            if (len > t.structEnd - off) return false;
            uint32_t nameLen;
            if (nameOff >= t.stringsSize ||
                !textLength(t.base, t.stringsOff + nameOff, t.stringsOff + t.stringsSize, &nameLen))
                return false;
            const char* prop = reinterpret_cast<const char*>(t.base + t.stringsOff + nameOff);
            if (depth == n + 1 && matched == depth && std::strcmp(prop, name) == 0) {
                out->data = t.base + off;
                out->len = len;
                return true;
            }
            off += (len + 3) & ~3u;
        } else if (token == kEnd) {
            return false;
        } else if (token != kNop) {
            return false;
        }
    }
    return false;
}

bool fdtCells(const FdtProperty& p, uint32_t at, uint32_t cells, uint64_t* value) {
    if (cells < 1 || cells > 2 || at > p.len || p.len - at < 4 * cells) return false;
    uint64_t v = 0;
    for (uint32_t i = 0; i < cells; ++i) v = v << 32 | be32(p.data + at + 4 * i);
    *value = v;
    return true;
}

bool fdtCell(const FdtProperty& p, uint32_t* value) {
    uint64_t v;
    if (p.len != 4 || !fdtCells(p, 0, 1, &v)) return false;
    *value = uint32_t(v);
    return true;
}

bool fdtMemorySize(const void* blob, uint64_t* size) {
    FdtProperty p;
    uint32_t addressCells = 2, sizeCells = 1;  // the defaults when the root names none
    if (fdtProperty(blob, "/", "#address-cells", &p) && !fdtCell(p, &addressCells)) return false;
    if (fdtProperty(blob, "/", "#size-cells", &p) && !fdtCell(p, &sizeCells)) return false;
    if (addressCells < 1 || addressCells > 2) return false;
    return fdtProperty(blob, "/memory", "reg", &p) &&
           fdtCells(p, 4 * addressCells, sizeCells, size);
}

}  // namespace ppce
