// Start-up after start.S: exception vectors, the board's translations, the
// console UART, the time base, then the C++ constructors. Runs on the
// program's own stack with the bss cleared; nothing here uses the heap.
#include <cstdint>

#include "platform/ppce500/board_control.h"
#include "platform/ppce500/cpu.h"
#include "platform/ppce500/exceptions.h"
#include "platform/ppce500/fdt.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/mmu.h"
#include "platform/ppce500/timebase.h"
#include "platform/ppce500/uart.h"

extern "C" {
extern char __heap_start[];
using Constructor = void (*)();
extern Constructor __init_array_start[], __init_array_end[];
void ppceStartup(const void* deviceTree);
}

namespace ppce {

namespace {

BoardInfo info;
constexpr int kConsoleStartBps = 9600;

// A one-cell property, or 0 when the tree has none.
uint32_t treeCell(const void* tree, const char* path, const char* name) {
    FdtProperty p;
    uint32_t value = 0;
    return fdtProperty(tree, path, name, &p) && fdtCell(p, &value) ? value : 0;
}

// What the device tree says, each value with its fallback. The tree lies in
// what becomes the heap: everything needed later is copied out here.
void readDeviceTree(const void* tree) {
    info.deviceTree = tree;
    FdtProperty p;
    if (fdtProperty(tree, "/chosen", "bootargs", &p)) {
        uint32_t n = p.len < sizeof info.bootArgs ? p.len : uint32_t(sizeof info.bootArgs - 1);
        for (uint32_t i = 0; i < n && p.data[i]; ++i) info.bootArgs[i] = char(p.data[i]);
    }
    uint32_t hz = 0;
    info.timebaseFromTree =
        fdtProperty(tree, "/cpus/*", "timebase-frequency", &p) && fdtCell(p, &hz) && hz != 0;
    info.timebaseHz = info.timebaseFromTree ? hz : kDefaultTimebaseHz;
    // The UART runs from the platform clock: the serial node names it.
    hz = 0;
    bool uartClock =
        fdtProperty(tree, "/soc/serial@4500", "clock-frequency", &p) && fdtCell(p, &hz) && hz != 0;
    info.uartClockHz = uartClock ? hz : info.timebaseHz;
    uint64_t size = 0;
    info.sdramFromTree = fdtMemorySize(tree, &size) && size != 0;
    if (!info.sdramFromTree) size = kSdramDefaultSize;
    info.sdramSize = size > kSdramMapLimit ? kSdramMapLimit : uint32_t(size);
    info.coreClockHz = treeCell(tree, "/cpus/*", "clock-frequency");
    info.busClockHz = treeCell(tree, "/cpus/*", "bus-frequency");
    if (info.busClockHz == 0) info.busClockHz = treeCell(tree, "/soc", "bus-frequency");
    info.pciClockHz = treeCell(tree, "/pci", "clock-frequency");
}

}  // namespace

const BoardInfo& boardInfo() {
    return info;
}

uintptr_t heapStart() {
    return reinterpret_cast<uintptr_t>(__heap_start);
}

uintptr_t heapEnd() {
    return info.sdramSize;
}

}  // namespace ppce

using namespace ppce;

extern "C" void ppceStartup(const void* deviceTree) {
    installVectors();
    // Machine checks are reported like any fault; with MSR[ME] clear (as the
    // program is entered) the core would stop without a word. (QEMU 7.2's
    // e500v2 keeps the bit at 0 whatever is written.)
    msrSet(msrGet() | kMsrMe);
    readDeviceTree(deviceTree);
    uint32_t mapped = mapBoard(info.sdramSize, uint32_t(heapStart()));
    uart::init(info.uartClockHz, kConsoleStartBps);
    timebaseInit(info.timebaseHz);
    if (mapped < heapStart() + (1u << 20)) {
        uart::putText("\nppce500: SDRAM ends at 0x");
        uart::putHex(mapped, 8);
        uart::putText(", below the program's end and heap; start QEMU with -m 128M\n");
        boardHalt();
    }
    info.sdramSize = mapped;
    if (!info.timebaseFromTree)
        uart::putText("\nppce500: no timebase-frequency in the device tree; using 400 MHz\n");
    if (!info.sdramFromTree)
        uart::putText("\nppce500: no memory size in the device tree; using 128 MiB\n");
    for (Constructor* c = __init_array_start; c != __init_array_end; ++c) (*c)();
}
