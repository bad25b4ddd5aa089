// The displays on the board: the processor's PCI controller scanned through
// its configuration registers, and the core's own identification, state and
// cache registers with the clocks the firmware's device tree named.
#include "platform/board_show.h"

#include <cstdint>

#include "platform/bus.h"
#include "platform/console.h"
#include "platform/ppce500/cpu.h"
#include "platform/ppce500/memory_map.h"

namespace {

using ppce::kPciBase;

// The controller's configuration access: the address register is big-endian,
// the data register carries the little-endian PCI word.
constexpr uint32_t kCfgAddr = kPciBase + 0x0, kCfgData = kPciBase + 0x4;
constexpr uint32_t kCfgEnable = 0x80000000u;
constexpr int kDevices = 32, kFunctions = 8;

uint32_t configRead(int device, int function, int reg) {
    plat::busWrite32(kCfgAddr, kCfgEnable | uint32_t(device) << 11 | uint32_t(function) << 8 |
                                   (uint32_t(reg) & 0xFC));
    uint32_t word = 0xFFFFFFFF;
    if (!plat::busRead32(kCfgData, &word)) return 0xFFFFFFFF;
    return __builtin_bswap32(word);
}

struct Header {
    int device, function;
    uint16_t vendor, deviceId, command, status;
    uint32_t classCode;  // base class, subclass, programming interface
    uint8_t revision, headerType, interruptLine, interruptPin;
    uint32_t bar0;
};

bool readHeader(int device, int function, Header* h) {
    uint32_t id = configRead(device, function, 0x00);
    if ((id & 0xFFFF) == 0xFFFF || (id & 0xFFFF) == 0) return false;
    uint32_t commandStatus = configRead(device, function, 0x04);
    uint32_t classRev = configRead(device, function, 0x08);
    uint32_t misc = configRead(device, function, 0x0C);
    uint32_t interrupt = configRead(device, function, 0x3C);
    *h = Header{device,
                function,
                uint16_t(id),
                uint16_t(id >> 16),
                uint16_t(commandStatus),
                uint16_t(commandStatus >> 16),
                classRev >> 8,
                uint8_t(classRev),
                uint8_t(misc >> 16),
                uint8_t(interrupt),
                uint8_t(interrupt >> 8),
                configRead(device, function, 0x10)};
    return true;
}

const char* className(uint32_t classCode) {
    switch (classCode >> 16) {
        case 0x02:
            return "network controller";
        case 0x06:
            return "bridge";
        case 0x0B:
            return "processor (host bridge)";
        default:
            return "other";
    }
}

// Every function on bus 0, in device order; the count found.
int scanBus(Header* found, int room) {
    int n = 0;
    for (int d = 0; d < kDevices; ++d) {
        for (int f = 0; f < kFunctions && n < room; ++f) {
            if (!readHeader(d, f, &found[n])) {
                if (f == 0) break;
                continue;
            }
            bool multiFunction = found[n].headerType & 0x80;
            ++n;
            if (f == 0 && !multiFunction) break;
        }
    }
    return n;
}

void showDetails(const Header& h) {
    plat::printf("\nbus 0 device %d function %d: %s\n", h.device, h.function,
                 className(h.classCode));
    plat::printf("  vendor ID          0x%04x\n", h.vendor);
    plat::printf("  device ID          0x%04x\n", h.deviceId);
    plat::printf("  command            0x%04x\n", h.command);
    plat::printf("  status             0x%04x\n", h.status);
    plat::printf("  revision ID        0x%02x\n", h.revision);
    plat::printf("  class code         0x%06x\n", unsigned(h.classCode));
    plat::printf("  header type        0x%02x\n", h.headerType);
    plat::printf("  base address 0     0x%08x\n", unsigned(h.bar0));
    if (h.interruptPin)
        plat::printf("  interrupt          line %d, pin INT%c#\n", h.interruptLine,
                     'A' + (h.interruptPin - 1) % 4);
    else
        plat::printf("  interrupt          none\n");
}

void showClock(const char* label, uint32_t hz) {
    if (hz == 0)
        plat::printf("%s not named by the firmware\n", label);
    else
        plat::printf("%s %u MHz (%u Hz)\n", label, unsigned(hz / 1000000), unsigned(hz));
}

}  // namespace

int syspciShow(int details) {
    Header found[kDevices];
    int count = scanBus(found, kDevices);
    plat::printf("\nPCI bus 0 (processor PCI controller at 0x%08x), %d function(s)\n",
                 unsigned(kPciBase), count);
    if (!details) {
        plat::printf("bus dev fn  vendor device class    rev  role\n");
        for (int i = 0; i < count; ++i)
            plat::printf("%3d %3d %2d  0x%04x 0x%04x 0x%06x 0x%02x %s\n", 0, found[i].device,
                         found[i].function, found[i].vendor, found[i].deviceId,
                         unsigned(found[i].classCode), found[i].revision,
                         className(found[i].classCode));
        return 0;
    }
    for (int i = 0; i < count; ++i) showDetails(found[i]);
    return 0;
}

void coreShow() {
    namespace spr = ppce::spr;
    uint32_t pvr = spr::get<spr::kPvr>();
    uint32_t msr = ppce::msrGet();
    uint32_t l1cfg0 = spr::get<spr::kL1cfg0>(), l1cfg1 = spr::get<spr::kL1cfg1>();
    uint32_t l2ctl = 0;
    plat::busRead32(ppce::kL2Ctl, &l2ctl);
    const ppce::BoardInfo& info = ppce::boardInfo();
    plat::printf("\nProcessor:                PVR 0x%08x (version 0x%04x, revision 0x%04x)\n",
                 unsigned(pvr), unsigned(pvr >> 16), unsigned(pvr & 0xFFFF));
    plat::printf("System version:           SVR 0x%08x\n", unsigned(spr::get<spr::kSvr>()));
    plat::printf("Machine state register:   0x%08x (external interrupts %s)\n", unsigned(msr),
                 (msr & ppce::kMsrEe) ? "enabled" : "disabled");
    // The configuration registers give each cache's size in KiB in their low bits.
    plat::printf("L1 instruction cache:     %u KiB, %s\n", unsigned(l1cfg1 & 0x7FF),
                 (ppce::l1csr1Get() & 1) ? "enabled" : "disabled");
    plat::printf("L1 data cache:            %u KiB, %s\n", unsigned(l1cfg0 & 0x7FF),
                 (ppce::l1csr0Get() & 1) ? "enabled" : "disabled");
    plat::printf("L2 cache:                 %s (L2CTL 0x%08x)\n",
                 (l2ctl & 0x80000000u) ? "enabled" : "not enabled", unsigned(l2ctl));
    showClock("Core frequency:          ", info.coreClockHz);
    showClock("Time base frequency:     ", info.timebaseHz);
    showClock("Bus (CCB) frequency:     ", info.busClockHz);
    showClock("PCI frequency:           ", info.pciClockHz);
    plat::printf("CPM frequency:            no communications module on this board\n");
}
