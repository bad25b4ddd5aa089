// The processor's interrupt controller (MPIC at CCSR+0x40000), used for one
// thing: a periodic timer whose interrupt wakes the core from a doze. The
// core's own timers cannot serve under QEMU 7.2: a decrementer written by the
// program reads back 0 and never expires, and the fixed-interval timer is
// never armed once its status bit is cleared.
#pragma once

#include <cstdint>

namespace ppce {

// Mixed mode, every priority accepted by the core; the timer's clock is
// measured against the time base (QEMU's runs at 25 MHz, a board's at the
// platform clock / 8).
void mpicInit(uint32_t timebaseHz);
// Global timer 0 interrupts the core every periodUs (external input).
void mpicStartTick(uint32_t periodUs);
void mpicStopTick();
// Puts the whole controller back into its reset state (every source masked,
// nothing pending): the last step before handing the processor to a loaded
// image, whose kernel sets the controller up itself. timebaseInit() starts
// the tick again for a program that carries on.
void mpicReset();

}  // namespace ppce
