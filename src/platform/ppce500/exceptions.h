// Interrupts of the e500 core: every one is a fault that prints what happened
// on the console and halts (the idle wait's decrementer aside).
#pragma once

namespace ppce {

// Points IVPR and every IVOR at the vectors (the start of the program).
void installVectors();
// The name of an interrupt by its IVOR number ("data TLB error").
const char* exceptionName(unsigned vector);
// For tests: a store to an address no TLB entry maps (0xE0000000), which
// raises a data TLB error; address 0 would not do, it is SDRAM here.
void faultForTest();

}  // namespace ppce
