// Transfers through the processor's controller. The transactions are written
// against seven controller operations (start, send byte, stop, receive mode,
// acknowledge on/off, wait done, read data); only those touch the registers.
#include "board/i2c.h"

#include <cstdarg>

#include "platform/platform.h"

const I2cDeviceEntry i2cDevices[9] = {
    {0xFF, ""},
    {0xAE, "SODIMM"},
    {0x5C, "ADT7460_SENSOR"},
    {0xD0, "DS1338_RTC"},
    {0xA2, "AT24c02_EPPROM_MB"},
    {0xA4, "AT24c02_EPPROM_DB"},
    {0xA0, "AT24c02_EPPROM_RPSU1"},
    {0xA8, "AT24c02_EPPROM_RPSU2"},
    {0x40, "PCA9555_EXPANDER"},
};

namespace {

constexpr const char* kSource = "../../../../bsp/cpu/tb8541/vxworks/mpc85xx/i2cLib";

// Controller registers in the configuration space.
constexpr uint32_t kAddressReg = 0x3000, kDividerReg = 0x3004, kControlReg = 0x3008,
                   kStatusReg = 0x300C, kDataReg = 0x3010, kFilterReg = 0x3014;
constexpr uint32_t kEnable = 0x80, kMaster = 0x20, kTransmit = 0x10, kNoAck = 0x08,
                   kRepeatStart = 0x04;
constexpr uint32_t kBusBusy = 0x20, kDone = 0x02, kNoAckReceived = 0x01;

// The controller answers within a byte time; a controller that never does
// ends the transfer after this many status polls instead of hanging the task.
constexpr int kMaxPolls = 100000;
constexpr int kWritePolls = 150;
// The register offset is a 32-bit number: it has no more bytes to send.
constexpr int kMaxAddressBytes = 4;

plat::SEM_ID busSemaphore = nullptr;
uint32_t traceFlags = 0;

STK_RESET_HOOK {
    if (busSemaphore) plat::semDelete(busSemaphore);
    busSemaphore = nullptr;
    traceFlags = 0;
}

bool tracing() {
    return traceFlags & kI2cTraceOn;
}

uint32_t reg(uint32_t offset) {
    return sysCCSBARRead(offset) & 0xFF;
}
void setReg(uint32_t offset, uint32_t value) {
    sysCCSBARWrite(offset, value);
}

// --- Controller operations ---------------------------------------------------------

// Waits for the transfer-done flag and clears the status; the status read, or
// -1 when the controller never finished.
int waitDone() {
    for (int i = 0; i < kMaxPolls; ++i) {
        uint32_t status = reg(kStatusReg);
        if (status & kDone) {
            setReg(kStatusReg, 0);
            return int(status);
        }
    }
    return -1;
}

int sendByte(uint8_t value) {
    setReg(kDataReg, value);
    int status = waitDone();
    return status < 0 || (status & kNoAckReceived) ? -1 : 0;
}

int i2cStart(uint8_t address, bool read, bool repeated) {
    int rc = 0;
    if (!repeated) {
        int polls = 0;
        while ((reg(kStatusReg) & kBusBusy) && polls < kMaxPolls) ++polls;
        if (polls == kMaxPolls) rc = -1;
        if (rc == 0) setReg(kControlReg, reg(kControlReg) | kMaster);
    } else {
        setReg(kControlReg, reg(kControlReg) | kRepeatStart);
    }
    if (rc == 0) {
        setReg(kControlReg, reg(kControlReg) | kTransmit);
        rc = sendByte(read ? uint8_t(address | 1) : uint8_t(address & ~1));
    }
    if (rc != 0 && tracing()) i2cTrace(kSource, "i2cStart", 194, "-1 return\n");
    return rc;
}

void i2cStop() {
    setReg(kControlReg, reg(kControlReg) & ~kMaster);
}
void receiveMode() {
    setReg(kControlReg, reg(kControlReg) & ~kTransmit);
}
void acknowledge(bool on) {
    uint32_t control = reg(kControlReg);
    setReg(kControlReg, on ? control & ~kNoAck : control | kNoAck);
}
uint8_t readData() {
    return uint8_t(reg(kDataReg));
}

// --- Transactions ------------------------------------------------------------------

bool validDevice(int device) {
    return device >= 1 && device <= 8;
}
bool validAddressBytes(int adrsBytes) {
    return adrsBytes >= 0 && adrsBytes <= kMaxAddressBytes;
}

int giveAndReturn(int rc) {
    plat::semGive(busSemaphore);
    return rc;
}

// Sends the low adrsBytes bytes of offset, most significant first; their
// acknowledges are not looked at.
int sendOffset(int offset, int adrsBytes) {
    for (int i = adrsBytes - 1; i >= 0; --i) {
        setReg(kDataReg, uint8_t(uint32_t(offset) >> (8 * i)));
        if (waitDone() < 0) return -1;
    }
    return 0;
}

// The reception after the address: one byte answered with no-acknowledge, or
// count bytes with the last one so answered. -1 when the controller hangs.
int receive(uint8_t* buffer, int count) {
    if (count == 1) {
        acknowledge(false);
        readData();  // starts the reception
        int done = waitDone();
        i2cStop();
        buffer[0] = readData();
        return done < 0 ? -1 : 0;
    }
    readData();  // starts the reception
    for (int i = 0; i < count; ++i) {
        if (waitDone() < 0) {
            i2cStop();
            return -1;
        }
        if (i == count - 1) i2cStop();
        if (i == count - 2) acknowledge(false);
        buffer[i] = readData();
    }
    return 0;
}

// Polls the device's address until it answers again after its internal write.
int waitWriteCycle(uint8_t address) {
    for (int i = 0; i < kWritePolls; ++i) {
        int rc = i2cStart(address, false, false);
        i2cStop();
        if (rc == 0) return 0;
    }
    return -1;
}

}  // namespace

void i2cTrace(const char* source, const char* function, int line, const char* fmt, ...) {
    plat::printf("%s : %s  %d :", source, function, line);
    va_list ap;
    va_start(ap, fmt);
    plat::vprintf(fmt, ap);
    va_end(ap);
}

uint32_t sysCCSBARRead(uint32_t offset) {
    uint32_t word = 0;
    if (!plat::busRead32(plat::kCcsrBase + offset, &word)) return 0;
    return __builtin_bswap32(word);
}

void sysCCSBARWrite(uint32_t offset, uint32_t value) {
    plat::busWrite32(plat::kCcsrBase + offset, __builtin_bswap32(value));
}

void i2cTraceSet(uint32_t flags) {
    traceFlags = flags;
}
uint32_t i2cTraceGet() {
    return traceFlags;
}

int i2cInit(int ownAddress, int digitalFilter, int frequencyDivider) {
    if (busSemaphore) plat::semDelete(busSemaphore);
    busSemaphore = plat::semBCreate(plat::SEM_Q_FIFO, plat::SEM_FULL);
    setReg(kDividerReg, uint32_t(frequencyDivider));
    setReg(kFilterReg, uint32_t(digitalFilter));
    setReg(kAddressReg, uint32_t(ownAddress));
    setReg(kControlReg, kTransmit);
    setReg(kControlReg, reg(kControlReg) | kEnable);
    return 0;
}

void i2cSetFreqDiv(int a, int b) {
    setReg(kDividerReg, uint32_t((a << 8) | b) & 0x3F3F);
}

int i2cRandomRead(int bus, int device, int offset, int adrsBytes, uint8_t* buffer, int count) {
    const char* fn = "i2cRandomRead";
    if (tracing())
        i2cTrace(kSource, fn, 564,
                 "Entering: Input: bus = %d, device = %d, offset = %d, adrsBytes = %d, &buffer= "
                 "%d, numbytes = %d\n",
                 bus, device, offset, adrsBytes, int(uint32_t(uintptr_t(buffer))), count);
    if (count == 0) {
        if (tracing()) i2cTrace(kSource, fn, 568, "Error return: numBytes == 0\n");
        return -1;
    }
    if (!validDevice(device)) {
        if (tracing()) i2cTrace(kSource, fn, 574, "Error return: erroneous device = %d\n", device);
        return -1;
    }
    if (count < 0 || !buffer || !validAddressBytes(adrsBytes) ||
        plat::semTake(busSemaphore, plat::WAIT_FOREVER) != 0)
        return -1;
    uint8_t address = i2cDevices[device].address;

    if (device >= 6) {
        if (cpm_iic_read(address, buffer, offset, count) == 0) {
            if (tracing())
                i2cTrace(kSource, fn, 587, "Error return: erroneous cpm_iic_read of zero\n");
            return giveAndReturn(-1);
        }
        plat::semGive(busSemaphore);
        if (tracing()) i2cTrace(kSource, fn, 717, "Normal return - end of routine\n");
        return 0;
    }

    acknowledge(true);
    if (i2cStart(address, false, false) != 0) {
        i2cStop();
        if (tracing()) i2cTrace(kSource, fn, 606, "Error return: erroneous i2cStart of nonzero\n");
        return giveAndReturn(-1);
    }
    if (sendOffset(offset, adrsBytes) != 0) {
        i2cStop();
        return giveAndReturn(-1);
    }
    i2cStart(address, true, true);
    receiveMode();
    if (receive(buffer, count) != 0) return giveAndReturn(-1);
    if (count == 1) {
        plat::semGive(busSemaphore);
        if (tracing()) i2cTrace(kSource, fn, 662, "Normal return\n");
        return 0;
    }
    acknowledge(false);
    plat::semGive(busSemaphore);
    if (tracing()) i2cTrace(kSource, fn, 717, "Normal return - end of routine\n");
    return 0;
}

// The data phase of a write after its start (and offset, rc 0 when that went
// well): the bytes, the stop, then the device's write cycle; frees the bus.
static int sendDataAndFinish(uint8_t address, const uint8_t* buffer, int count, int rc) {
    for (int i = 0; i < count && rc == 0; ++i) {
        setReg(kDataReg, buffer[i]);
        if (waitDone() < 0) rc = -1;
    }
    i2cStop();
    if (rc != 0) return giveAndReturn(-1);
    return giveAndReturn(waitWriteCycle(address));
}

int i2cRandomWrite(int, int device, int offset, int adrsBytes, const uint8_t* buffer, int count) {
    if (count <= 0 || !validDevice(device) || !buffer || !validAddressBytes(adrsBytes)) return -1;
    if (plat::semTake(busSemaphore, plat::WAIT_FOREVER) != 0) return -1;
    uint8_t address = i2cDevices[device].address;
    if (i2cStart(address, false, false) != 0) {
        i2cStop();
        return giveAndReturn(-1);
    }
    return sendDataAndFinish(address, buffer, count, sendOffset(offset, adrsBytes));
}

int i2cWrite(int, int device, const uint8_t* buffer, int count) {
    if (count <= 0 || !validDevice(device) || !buffer) return -1;
    if (plat::semTake(busSemaphore, plat::WAIT_FOREVER) != 0) return -1;
    uint8_t address = i2cDevices[device].address;
    i2cStart(address, false, false);
    return sendDataAndFinish(address, buffer, count, 0);
}

int i2cRead(int, int device, uint8_t* buffer, int count) {
    if (count <= 0 || !validDevice(device) || !buffer) return -1;
    if (plat::semTake(busSemaphore, plat::WAIT_FOREVER) != 0) return -1;
    acknowledge(true);
    i2cStart(i2cDevices[device].address, true, false);
    receiveMode();
    return giveAndReturn(receive(buffer, count));
}
