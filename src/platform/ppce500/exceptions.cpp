#include "platform/ppce500/exceptions.h"

#include <cstdint>

#include "platform/ppce500/board_control.h"
#include "platform/ppce500/cpu.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/uart.h"

// The registers at the interrupt, stored by the vectors: r0-r31, LR, CR, CTR,
// XER and the vector number.
enum FaultFrameSlot : unsigned { kSlotLr = 32, kSlotCr, kSlotCtr, kSlotXer, kSlotVector, kSlots };
extern "C" {
uint32_t ppceFaultFrame[kSlots];
[[noreturn]] void ppceExceptionReport(const uint32_t* frame);
// The vector table and its stubs, one per IVOR number.
extern const char ppceVectorTable[], ppceVector0[], ppceVector1[], ppceVector2[], ppceVector3[],
    ppceVector4[], ppceVector5[], ppceVector6[], ppceVector7[], ppceVector8[], ppceVector9[],
    ppceVector10[], ppceVector11[], ppceVector12[], ppceVector13[], ppceVector14[], ppceVector15[],
    ppceVector32[], ppceVector33[], ppceVector34[], ppceVector35[];
}

namespace ppce {

namespace {

volatile bool reporting = false;

template <unsigned Ivor>
void setIvor(const char* stub) {
    spr::set<Ivor>(uint32_t(reinterpret_cast<uintptr_t>(stub)) & 0xFFF0u);
}

void putPair(const char* name, uint32_t value) {
    uart::putText(name);
    uart::putHex(value, 8);
}

}  // namespace

const char* exceptionName(unsigned vector) {
    static const char* const kNames[16] = {"critical input",
                                           "machine check",
                                           "data storage",
                                           "instruction storage",
                                           "external input",
                                           "alignment",
                                           "program",
                                           "floating-point unavailable",
                                           "system call",
                                           "auxiliary processor unavailable",
                                           "decrementer",
                                           "fixed-interval timer",
                                           "watchdog timer",
                                           "data TLB error",
                                           "instruction TLB error",
                                           "debug"};
    static const char* const kSpe[4] = {"SPE unavailable", "SPE floating-point data",
                                        "SPE floating-point round", "performance monitor"};
    if (vector < 16) return kNames[vector];
    if (vector >= 32 && vector < 36) return kSpe[vector - 32];
    return "unknown interrupt";
}

void installVectors() {
    spr::set<spr::kIvpr>(uint32_t(reinterpret_cast<uintptr_t>(ppceVectorTable)) & 0xFFFF0000u);
    setIvor<spr::kIvor0 + 0>(ppceVector0);
    setIvor<spr::kIvor0 + 1>(ppceVector1);
    setIvor<spr::kIvor0 + 2>(ppceVector2);
    setIvor<spr::kIvor0 + 3>(ppceVector3);
    setIvor<spr::kIvor0 + 4>(ppceVector4);
    setIvor<spr::kIvor0 + 5>(ppceVector5);
    setIvor<spr::kIvor0 + 6>(ppceVector6);
    setIvor<spr::kIvor0 + 7>(ppceVector7);
    setIvor<spr::kIvor0 + 8>(ppceVector8);
    setIvor<spr::kIvor0 + 9>(ppceVector9);
    setIvor<spr::kIvor0 + 10>(ppceVector10);
    setIvor<spr::kIvor0 + 11>(ppceVector11);
    setIvor<spr::kIvor0 + 12>(ppceVector12);
    setIvor<spr::kIvor0 + 13>(ppceVector13);
    setIvor<spr::kIvor0 + 14>(ppceVector14);
    setIvor<spr::kIvor0 + 15>(ppceVector15);
    setIvor<spr::kIvor32 + 0>(ppceVector32);
    setIvor<spr::kIvor32 + 1>(ppceVector33);
    setIvor<spr::kIvor32 + 2>(ppceVector34);
    setIvor<spr::kIvor32 + 3>(ppceVector35);
    __asm__ volatile("isync" : : : "memory");
}

void faultForTest() {
    *reinterpret_cast<volatile uint32_t*>(uintptr_t(kUnmappedAddress)) = 0xDEADBEEFu;
}

}  // namespace ppce

using namespace ppce;

extern "C" void ppceExceptionReport(const uint32_t* frame) {
    if (reporting) boardHalt();  // a fault while reporting one: nothing more to say safely
    reporting = true;
    unsigned vector = frame[kSlotVector];
    bool critical = vector == 0 || vector == 12 || vector == 15;
    bool machineCheck = vector == 1;
    uint32_t pc = machineCheck ? spr::get<spr::kMcsrr0>()
                  : critical   ? spr::get<spr::kCsrr0>()
                               : spr::get<spr::kSrr0>();
    uint32_t msr = machineCheck ? spr::get<spr::kMcsrr1>()
                   : critical   ? spr::get<spr::kCsrr1>()
                                : spr::get<spr::kSrr1>();
    uart::putText("\n\n*** exception: ");
    uart::putText(exceptionName(vector));
    uart::putText(" (vector ");
    uart::putByte(uint8_t('0' + vector / 10));
    uart::putByte(uint8_t('0' + vector % 10));
    uart::putText(")\n");
    putPair(machineCheck ? "MCSRR0 " : critical ? "CSRR0 " : "SRR0 ", pc);
    putPair(machineCheck ? "  MCSRR1 " : critical ? "  CSRR1 " : "  SRR1 ", msr);
    if (machineCheck) {
        putPair("  MCSR ", spr::get<spr::kMcsr>());
        putPair("  MCAR ", spr::get<spr::kMcar>());
    } else {
        putPair("  DEAR ", spr::get<spr::kDear>());
        putPair("  ESR ", spr::get<spr::kEsr>());
    }
    putPair("\nLR ", frame[kSlotLr]);
    putPair("  CR ", frame[kSlotCr]);
    putPair("  CTR ", frame[kSlotCtr]);
    putPair("  XER ", frame[kSlotXer]);
    for (unsigned r = 0; r < 32; ++r) {
        uart::putText(r % 4 == 0 ? "\n" : "  ");
        uart::putByte('r');
        if (r >= 10) uart::putByte(uint8_t('0' + r / 10));
        uart::putByte(uint8_t('0' + r % 10));
        uart::putText(r < 10 ? "  " : " ");
        uart::putHex(frame[r], 8);
    }
    uart::putText("\n*** halted\n");
    boardHalt();
}
