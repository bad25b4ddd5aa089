// The board selftest: checks of the platform below the interface, run on
// QEMU's ppce500 machine, each printing "ok   NAME" or "FAIL NAME: DETAIL".
#pragma once

#include "platform/ppce500/uart.h"

namespace selftest {

// Counts and prints one check's verdict.
void check(bool ok, const char* name, const char* detail = "");
int failures();
int checks();

void checkBoard();
void checkFormats();
void checkConversions();
void checkHeap();
void checkContainers();
void checkDecoders();
void checkLine(ppce::UartLine& line);
void checkProcessor();
void checkBus();

}  // namespace selftest
