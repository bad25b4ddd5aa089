// The I2C bus driver: a fixed table of devices, random and current-address
// transfers through the processor's controller, reads of the power supply
// and expander devices through the communications module's controller, a bus
// semaphore and a trace switch.
#pragma once

#include <cstdint>

struct I2cDeviceEntry {
    uint8_t address;  // 7-bit address shifted left, direction bit 0
    char name[40];
};
// Indexed by device number; only 1 to 8 are devices.
extern const I2cDeviceEntry i2cDevices[9];

// Trace bit of the driver's progress messages.
constexpr uint32_t kI2cTraceOn = 0x08;

int i2cInit(int ownAddress, int digitalFilter, int frequencyDivider);
int i2cRandomRead(int bus, int device, int offset, int adrsBytes, uint8_t* buffer, int count);
int i2cRandomWrite(int bus, int device, int offset, int adrsBytes, const uint8_t* buffer,
                   int count);
int i2cRead(int bus, int device, uint8_t* buffer, int count);
int i2cWrite(int bus, int device, const uint8_t* buffer, int count);
void i2cSetFreqDiv(int a, int b);
void i2cTraceSet(uint32_t flags);
uint32_t i2cTraceGet();

// The communications module's controller: count on success, 0 on failure.
int cpm_iic_read(uint8_t address, uint8_t* buffer, int offset, int count);
int cpm_iic_write(uint8_t address, const uint8_t* data, int offset, int count);
void cpm_iic_init();
void cpm_iic_show();

// The board's configuration-space accessors: 32-bit, byte-reversed, so an
// 8-bit register's value is the low byte.
uint32_t sysCCSBARRead(uint32_t offset);
void sysCCSBARWrite(uint32_t offset, uint32_t value);

// Shared by the two controllers' files.
void i2cTrace(const char* source, const char* function, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
