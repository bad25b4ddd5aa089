// Reads (and writes) through the communications module's I2C controller,
// driven by buffer descriptors in its dual-port RAM. On this board the
// transmit and receive buffers live in the dual-port RAM too; a read copies
// the received bytes out to the caller.
#include <cstring>

#include "board/i2c.h"
#include "platform/platform.h"

namespace {

constexpr const char* kSource = "../../../../bsp/cpu/tb8541/vxworks/mpc85xx/cpm_i2c";

// Module registers, from the module's base.
constexpr uint32_t kPortDir = 0x10D60, kPortAssign = 0x10D64, kPortOption = 0x10D68,
                   kPortOpenDrain = 0x10D6C, kPortPins = 0x30000;
constexpr uint32_t kParamPointer = 0x8AFC;
constexpr uint32_t kCommand = 0x119C0, kAfterCommand = 0x119C4;
constexpr uint32_t kMode = 0x11860, kOwnAddress = 0x11864, kBaudGen = 0x11868, kI2Com = 0x1186C,
                   kEvents = 0x11870, kEventMask = 0x11874;
// Parameter area (at dual-port RAM offset 0) and its fields.
constexpr uint32_t kParams = 0;
constexpr uint32_t kRbase = 0x00, kTbase = 0x02, kRfcr = 0x04, kTfcr = 0x05, kMrblr = 0x06,
                   kRstate = 0x08, kRptr = 0x0C, kRbptr = 0x10, kRcount = 0x12, kRtemp = 0x14,
                   kTstate = 0x18, kTptr = 0x1C, kTbptr = 0x20, kTcount = 0x22, kTtemp = 0x24,
                   kSdmaTemp = 0x28;
// Descriptors and buffers in the dual-port RAM.
constexpr uint32_t kRxBd = 0x810, kTxBd = 0x800, kTxBd2 = 0x808;
constexpr uint32_t kTxBuffer = 0x880;  // the address and offset bytes (16-byte aligned)
constexpr uint32_t kRxBuffer = 0x900;
constexpr uint32_t kDataBuffer = 0xB80;
constexpr int kMaxBuffer = 0x200;  // bytes a buffer area holds
constexpr uint16_t kReady = 0x8000, kNoAck = 0x0004;
constexpr int kMaxPolls = 100000;

uint32_t base() {
    return plat::vxImmrGet();
}
uint32_t get8(uint32_t off) {
    uint8_t v = 0;
    plat::busRead8(base() + off, &v);
    return v;
}
uint32_t get16(uint32_t off) {
    uint16_t v = 0;
    plat::busRead16(base() + off, &v);
    return v;
}
uint32_t get32(uint32_t off) {
    uint32_t v = 0;
    plat::busRead32(base() + off, &v);
    return v;
}
void set8(uint32_t off, uint32_t v) {
    plat::busWrite8(base() + off, uint8_t(v));
}
void set16(uint32_t off, uint32_t v) {
    plat::busWrite16(base() + off, uint16_t(v));
}
void set32(uint32_t off, uint32_t v) {
    plat::busWrite32(base() + off, v);
}

void setBd(uint32_t bd, uint32_t status, uint32_t length, uint32_t bufferOffset) {
    set16(bd + 2, length);
    set32(bd + 4, base() + bufferOffset);
    set16(bd, status);
}

// Issues a module command and waits for it to be taken; false when it never is.
bool moduleCommand(uint32_t value, uint32_t busyBits) {
    set32(kCommand, value);
    for (int i = 0; i < kMaxPolls; ++i)
        if (!(get32(kCommand) & busyBits)) return true;
    return false;
}

// Starts the ready descriptors as master.
void startTransfer() {
    set8(kEventMask, 0x13);
    set8(kEvents, 0);
    set8(kMode, get8(kMode) | 0x01);
    set8(kI2Com, 0x81);
}
// Waits (one tick per poll) until `bd` is taken; false when it is still ready
// after maxTicks.
bool waitTaken(uint32_t bd, int maxTicks) {
    for (int i = 0; i < maxTicks && (get16(bd) & kReady); ++i) plat::taskDelay(1);
    return !(get16(bd) & kReady);
}
void stopTransfer() {
    set8(kMode, get8(kMode) & ~0x01u);
}

void traceRead(int line, const char* fmt, unsigned a = 0, unsigned b = 0) {
    if (i2cTraceGet() & kI2cTraceOn) i2cTrace(kSource, "cpm_iic_read", line, fmt, a, b);
}

// A board without the communications module has no registers to program:
// its transfers end as with a controller that never takes a descriptor.
bool moduleAbsent() {
    return !plat::boardDescription().hasCommsI2cController;
}

}  // namespace

void cpm_iic_init() {
    if (moduleAbsent()) return;
    set32(kPortDir, get32(kPortDir) & ~kPortPins);
    set32(kPortAssign, get32(kPortAssign) | kPortPins);
    set32(kPortOption, get32(kPortOption) | kPortPins);
    set32(kPortOpenDrain, get32(kPortOpenDrain) | kPortPins);
    set16(kParamPointer, kParams);
    moduleCommand(0x80010000u, 0x80010000u);
    set32(kAfterCommand, 0);
    set32(kParams + kRstate, 0);
    set32(kParams + kTstate, 0);
    set16(kParams + kRbase, kRxBd);
    set16(kParams + kTbase, kTxBd);
    set8(kParams + kRfcr, 0x30);
    set8(kParams + kTfcr, 0x30);
    set16(kParams + kMrblr, 0x201);
    moduleCommand(0x29610000u, 0x10000u);
    set8(kOwnAddress, 0x34);
    set8(kBaudGen, 3);
    set8(kMode, 4);
    set8(kEventMask, 0);
    set8(kEvents, 0xFF);
}

int cpm_iic_read(uint8_t address, uint8_t* buffer, int offset, int count) {
    // The receive buffer area bounds a read.
    if (count <= 0 || count > kMaxBuffer || !buffer) return 0;
    if (moduleAbsent()) {
        traceRead(308, "IIC read; no ack\n");
        return 0;
    }
    cpm_iic_init();
    plat::taskDelay(60);

    // Offset phase. The receive descriptor is marked not empty here, so that a
    // mark left by an earlier read cannot fail this one.
    set8(kTxBuffer, address & ~1u);
    set8(kTxBuffer + 1, uint32_t(offset) & 0xFF);
    set16(kRxBd, 0x3000);
    setBd(kTxBd, 0xBC00, 2, kTxBuffer);
    startTransfer();
    bool taken = waitTaken(kTxBd, 200);
    stopTransfer();
    if (!taken || (get16(kTxBd) & kNoAck)) {
        traceRead(308, "IIC read; no ack\n");
        return 0;
    }
    int result = count;
    if (get16(kRxBd) & kReady) {
        traceRead(314, "IIC read; complete but rbuf empty\n");
        traceRead(315, "tx sc %04x, rx sc %04x\n", get16(kTxBd), get16(kRxBd));
        traceRead(316, "Erroneous return\n");
        result = 0;
    }

    // Read phase.
    set8(kTxBuffer, address | 1u);
    set16(kRxBd + 2, uint32_t(count + 1));
    setBd(kTxBd, 0xBC00, uint32_t(count + 1), kTxBuffer);
    setBd(kRxBd, 0xB000, uint32_t(count + 1), kRxBuffer);
    startTransfer();
    taken = waitTaken(kTxBd, 200);
    stopTransfer();
    if (!taken || (get16(kTxBd) & kNoAck)) {
        traceRead(390, "IIC read; no ack\n");
        traceRead(391, "Erroneous return\n");
        return 0;
    }
    if (get16(kRxBd) & kReady) {
        traceRead(397, "IIC read; complete but rbuf empty\n");
        traceRead(398, "tx sc %04x, rx sc %04x\n", get16(kTxBd), get16(kRxBd));
        traceRead(399, "Erroneous return\n");
        return 0;
    }
    uint32_t received = get16(kRxBd + 2);
    traceRead(403, "read %d bytes\n", received);
    traceRead(404, "Successful return\n");
    for (uint32_t i = 0; i < uint32_t(count) && i < received; ++i)
        buffer[i] = uint8_t(get8(kRxBuffer + i));
    return result;
}

int cpm_iic_write(uint8_t address, const uint8_t* data, int offset, int count) {
    if (count <= 0 || count > kMaxBuffer || !data || moduleAbsent()) return 0;
    cpm_iic_init();
    plat::taskDelay(60);
    for (uint32_t i = 0; i < 128; ++i) set8(kRxBuffer + i, 0);
    setBd(kRxBd, 0xB000, 0, kRxBuffer);
    set8(kTxBuffer, address);
    set8(kTxBuffer + 1, uint32_t(offset) & 0xFF);
    for (int i = 0; i < count; ++i) set8(kDataBuffer + uint32_t(i), data[i]);
    setBd(kTxBd2, 0xB800, uint32_t(count), kDataBuffer);
    setBd(kTxBd, 0x8400, 2, kTxBuffer);
    startTransfer();
    bool first = waitTaken(kTxBd, 255);
    bool second = waitTaken(kTxBd2, 255);
    stopTransfer();
    if (!first || (get16(kTxBd) & kNoAck)) return 0;
    return second ? count : 0;
}

void cpm_iic_show() {
    plat::printf("\n\n");
    if (moduleAbsent()) {
        plat::printf("No communications module I2C controller on this board.\n\n");
        return;
    }
    plat::printf("I2MOD : 0x%02x\n", get8(kMode));
    plat::printf("I2ADD : 0x%02x\n", get8(kOwnAddress));
    plat::printf("I2BRG : 0x%02x\n", get8(kBaudGen));
    plat::printf("I2CER : 0x%02x\n", get8(kEvents));
    plat::printf("I2CMR : 0x%02x\n", get8(kEventMask));
    plat::printf("I2COM : 0x%02x\n\n", get8(kI2Com));
    uint32_t p = get16(kParamPointer);
    plat::printf("RBASE : 0x%08x\n", get16(p + kRbase));
    plat::printf("TBASE : 0x%08x\n", get16(p + kTbase));
    plat::printf("RFCR : 0x%08x\n", get8(p + kRfcr));
    plat::printf("TFCR : 0x%08x\n", get8(p + kTfcr));
    plat::printf("MRBLR : 0x%08x\n", get16(p + kMrblr));
    plat::printf("RSTATE : 0x%08x\n", get32(p + kRstate));
    plat::printf("RPTR : 0x%08x\n", get32(p + kRptr));
    plat::printf("RBPTR : 0x%08x\n", get16(p + kRbptr));
    plat::printf("RCOUNT : 0x%08x\n", get16(p + kRcount));
    plat::printf("RTEMP : 0x%08x\n", get32(p + kRtemp));
    plat::printf("TSTATE : 0x%08x\n", get32(p + kTstate));
    plat::printf("TPTR : 0x%08x\n", get32(p + kTptr));
    plat::printf("TBPTR : 0x%08x\n", get16(p + kTbptr));
    plat::printf("TCOUNT : 0x%08x\n", get16(p + kTcount));
    plat::printf("TTEMP : 0x%08x\n", get32(p + kTtemp));
    plat::printf("SDMATMP : 0x%08x\n\n", get32(p + kSdmaTemp));
}
