// The board support displays of the utilities menu. What they show is the
// running board's own: each target implements them (the host its simulated
// board's PCI bus and nominal clocks, the board build the processor's
// identification registers, its PCI controller's configuration space and the
// clocks the firmware handed over).
#pragma once

// The PCI bus: one line per function found, or with details its
// configuration header.
int syspciShow(int details);
// The processor: identification, machine state, level-1 and level-2 caches,
// core, bus, PCI and communications module frequencies.
void coreShow();
