// What C++ needs beyond the compiler on a board without exceptions: the
// allocation operators over malloc (a failed plain new prints and halts, as
// it cannot throw), the library's error paths, which print and halt, and
// registration of static destructors, which never run here.
#include <bits/functexcept.h>
#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/ppce500/board_control.h"
#include "platform/ppce500/uart.h"

using namespace ppce;

namespace {

[[noreturn]] void stop(const char* what, const char* detail = nullptr) {
    uart::putText("\nppce500: ");
    uart::putText(what);
    if (detail) {
        uart::putText(": ");
        uart::putText(detail);
    }
    uart::putText("\n");
    boardHalt();
}

void* allocate(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) {
        uart::putText("\nppce500: out of memory: new of 0x");
        uart::putHex(uint32_t(size), 8);
        uart::putText(" bytes\n");
        boardHalt();
    }
    return p;
}

void* allocateAligned(std::size_t size, std::align_val_t align) {
    void* p = memalign(std::size_t(align), size ? size : 1);
    if (!p) stop("out of memory in aligned new");
    return p;
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void* operator new(std::size_t size, std::align_val_t align) {
    return allocateAligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return allocateAligned(size, align);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace std {
void __throw_bad_alloc() {
    stop("std::bad_alloc");
}
void __throw_bad_array_new_length() {
    stop("std::bad_array_new_length");
}
void __throw_length_error(const char* what) {
    stop("std::length_error", what);
}
void __throw_out_of_range(const char* what) {
    stop("std::out_of_range", what);
}
void __throw_out_of_range_fmt(const char* what, ...) {
    stop("std::out_of_range", what);
}
void __throw_logic_error(const char* what) {
    stop("std::logic_error", what);
}
void __throw_invalid_argument(const char* what) {
    stop("std::invalid_argument", what);
}
void __throw_bad_function_call() {
    stop("std::bad_function_call");
}
}  // namespace std

extern "C" {
void* __dso_handle = nullptr;
int __cxa_atexit(void (*)(void*), void*, void*) {
    return 0;  // the board never runs static destructors
}
void __cxa_pure_virtual() {
    stop("pure virtual function called");
}
}
