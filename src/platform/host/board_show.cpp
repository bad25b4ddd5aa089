// The displays on the simulated board: it has no real PCI bus or core, so the
// bus is the simulated one below (the processor's host bridge and the switch
// device) and the core figures are the board's nominal clocks with the
// processor state the simulation keeps.
#include "platform/board_show.h"

#include <cstdint>

#include "platform/platform.h"

namespace {

// One function on the simulated PCI bus 0, with its configuration header.
struct PciFunction {
    const char* role;
    uint8_t device;
    uint8_t function;
    uint16_t vendorId;
    uint16_t deviceId;
    uint32_t classCode;  // base class, subclass, programming interface
    uint8_t revision;
    uint16_t command;
    uint16_t status;
    uint32_t bar0;
    uint32_t bar0Size;
    uint8_t interruptLine;
    uint8_t interruptPin;  // 0 none, 1 INTA#
};

// Nominal clocks of this board, in hertz.
constexpr uint32_t kCoreClockHz = 825000000;
constexpr uint32_t kBusClockHz = 330000000;  // the core complex bus
constexpr uint32_t kPciClockHz = 66000000;
constexpr uint32_t kCpmClockHz = 330000000;  // the communications module runs on the bus clock

// The processor's own PCI controller as host bridge, and the Ethernet switch
// device behind it. The identifiers are the simulation's.
constexpr PciFunction kBus0[] = {
    {"host bridge (processor PCI controller)", 0, 0, 0x5354, 0x8541, 0x0B2000, 0x11, 0x0006, 0x22B0,
     0x00000000, 0, 0, 0},
    {"Ethernet switch", 18, 0, 0x5354, 0xB541, 0x020000, 0x02, 0x0146, 0x0290, 0x80000000,
     0x00400000, 38, 1},
};

}  // namespace

int syspciShow(int details) {
    constexpr int count = int(sizeof kBus0 / sizeof kBus0[0]);
    const PciFunction* f = kBus0;
    plat::printf("\nPCI bus 0 (simulated), %d function(s)\n", count);
    if (!details) {
        plat::printf("bus dev fn  vendor device class    rev  role\n");
        for (int i = 0; i < count; ++i)
            plat::printf("%3d %3d %2d  0x%04x 0x%04x 0x%06x 0x%02x %s\n", 0, f[i].device,
                         f[i].function, f[i].vendorId, f[i].deviceId, unsigned(f[i].classCode),
                         f[i].revision, f[i].role);
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        plat::printf("\nbus 0 device %d function %d: %s\n", f[i].device, f[i].function, f[i].role);
        plat::printf("  vendor ID          0x%04x\n", f[i].vendorId);
        plat::printf("  device ID          0x%04x\n", f[i].deviceId);
        plat::printf("  command            0x%04x\n", f[i].command);
        plat::printf("  status             0x%04x\n", f[i].status);
        plat::printf("  revision ID        0x%02x\n", f[i].revision);
        plat::printf("  class code         0x%06x\n", unsigned(f[i].classCode));
        if (f[i].bar0Size)
            plat::printf("  base address 0     0x%08x (memory, %u KiB)\n", unsigned(f[i].bar0),
                         unsigned(f[i].bar0Size >> 10));
        else
            plat::printf("  base address 0     not used\n");
        if (f[i].interruptPin)
            plat::printf("  interrupt          line %d, pin INT%c#\n", f[i].interruptLine,
                         'A' + f[i].interruptPin - 1);
        else
            plat::printf("  interrupt          none\n");
    }
    return 0;
}

void coreShow() {
    uint32_t msr = plat::vxMsrGet();
    uint32_t l1csr1 = plat::vxL1CSR1Get();
    plat::printf("\nMachine state register:   0x%08x (external interrupts %s)\n", unsigned(msr),
                 (msr & 0x8000) ? "enabled" : "disabled");
    plat::printf("L1 instruction cache:     32 KiB, %s\n", (l1csr1 & 1) ? "enabled" : "disabled");
    plat::printf("L1 data cache:            32 KiB, enabled\n");
    plat::printf("L2 cache:                 256 KiB, enabled, not used as SRAM\n");
    plat::printf("Core frequency:           %u MHz\n", unsigned(kCoreClockHz / 1000000));
    plat::printf("Bus (CCB) frequency:      %u MHz\n", unsigned(kBusClockHz / 1000000));
    plat::printf("PCI frequency:            %u MHz\n", unsigned(kPciClockHz / 1000000));
    plat::printf("CPM frequency:            %u MHz\n", unsigned(kCpmClockHz / 1000000));
}
