// Board support displays of the utilities menu: the PCI bus and the
// processor core. The host board has no real PCI bus or core: the bus is the
// simulated one below (the processor's host bridge and the switch device) and
// the core figures are the board's nominal clocks with the processor state
// the simulation keeps.
#pragma once

#include <cstdint>

namespace board {

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

// The functions found on bus 0, in device order.
const PciFunction* pciFunctions(int* count);

// Nominal clocks of this board, in hertz.
constexpr uint32_t kCoreClockHz = 825000000;
constexpr uint32_t kBusClockHz = 330000000;  // the core complex bus
constexpr uint32_t kPciClockHz = 66000000;
constexpr uint32_t kCpmClockHz = 330000000;  // the communications module runs on the bus clock

}  // namespace board

// The PCI bus: one line per function, or with details its configuration header.
int syspciShow(int details);
// The processor: machine state, level-1 and level-2 caches, core, bus, PCI and
// communications module frequencies.
void coreShow();
