#include "launch/host_run.h"

#include <cstdio>

#include "platform/platform.h"

namespace stkhost {

void powerCycle() {
    plat::board().regs() = plat::CpuRegisters{};
    plat::board().disk().powerCycle();
    plat::resetProcessState();
}

int runHandedOffImage(const plat::BoardStop& stop) {
    plat::hostNote("hand-off to entry 0x%08x with start type %d (%u bytes loaded)", stop.entry,
                   stop.startType, stop.loadedBytes);
    return 0;
}

bool seedDemoBoard() {
    plat::hostNote("no demo firmware in this build");
    return false;
}

}  // namespace stkhost
