// Board devices on the I2C bus: the controller, the real-time clock.
#pragma once

#include <cstdint>

int i2cInit(int ownAddress, int digitalFilter, int frequencyDivider);
int tarnRtcInit();
int tarnRtcGet(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
               uint32_t* second);
// The board's calendar clock as the operational code reads it.
int sysTodGet(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
              uint32_t* second);
