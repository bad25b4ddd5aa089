#include "launch/handoff.h"

#include "platform/platform.h"

void launchHandoff(uint32_t entry, int startType, uint32_t loadedBytes) {
    uint32_t msr = plat::vxMsrGet();
    plat::vxMsrSet(msr & ~(kMsrExternalIntEnable | kMsrCriticalIntEnable));

    plat::fflush();
    plat::taskDelay(plat::sysClkRateGet());

    plat::intLock();

    // The image was written as data: on the board's core the data cache can
    // still hold bytes the instruction fetch would miss in memory, so they are
    // written back over the loaded range before the instruction cache is
    // invalidated (a step the hand-off needs on this processor).
    plat::cacheFlush(entry, loadedBytes);

    // Drop every instruction fetched before the image was written.
    uint32_t csr = plat::vxL1CSR1Get();
    plat::sysL1Csr1Set(csr & ~kL1Csr1FlashInvalidate);
    csr = plat::vxL1CSR1Get();
    plat::sysL1Csr1Set(csr | kL1Csr1FlashInvalidate);

    plat::vxHid0Set(0);

    plat::handoff(entry, startType, loadedBytes);
}
