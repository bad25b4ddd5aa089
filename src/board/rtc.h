// The DS1338 real-time clock (device 3): the year in full is the clock's two
// digits plus 100 times the century kept in its RAM byte 8.
#pragma once

#include <cstdint>

int tarnRtcInit();
int tarnRtcGet(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
               uint32_t* second);
int tarnRtcSet(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
               int32_t second);
int tarnRtcShow();

// The board's time-of-day entry points.
int sysTodInit();
int sysTodGet(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
              uint32_t* second);
int sysTodSet(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
              int32_t second);

// The operator dialog that sets the clock chip: 0 when set, -1 otherwise.
int tod_set();
