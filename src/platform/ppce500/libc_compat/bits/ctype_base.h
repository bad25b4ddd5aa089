// Character classes of the C++ library's ctype facet. The glibc version
// takes glibc's class bits, which newlib does not have; these are bits of
// their own. The board's program uses no locale facets: this only lets
// headers such as <memory> (which reach <ostream>) compile.
namespace std _GLIBCXX_VISIBILITY(default) {
_GLIBCXX_BEGIN_NAMESPACE_VERSION

struct ctype_base {
    typedef const int* __to_type;
    typedef unsigned short mask;
    static const mask upper = 1 << 0;
    static const mask lower = 1 << 1;
    static const mask alpha = 1 << 2;
    static const mask digit = 1 << 3;
    static const mask xdigit = 1 << 4;
    static const mask space = 1 << 5;
    static const mask print = 1 << 6;
    static const mask graph = (1 << 2) | (1 << 3) | (1 << 9);
    static const mask cntrl = 1 << 8;
    static const mask punct = 1 << 9;
    static const mask alnum = (1 << 2) | (1 << 3);
    static const mask blank = 1 << 10;
};

_GLIBCXX_END_NAMESPACE_VERSION
}  // namespace std
