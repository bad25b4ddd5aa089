// The persistent event log log2.bin.
#pragma once

#include <cstdint>

using LogNotifyFn = void (*)(void);
int Log_Init(uint32_t size, LogNotifyFn notify, uint32_t mode, uint32_t a, uint32_t b);
