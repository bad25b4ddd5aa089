#include "launch/handoff.h"

#include "platform/platform.h"

void launchHandoff(uint32_t entry, int startType, uint32_t loadedBytes) {
    uint32_t msr = plat::vxMsrGet();
    plat::vxMsrSet(msr & ~(kMsrExternalIntEnable | kMsrCriticalIntEnable));

    plat::fflush();
    plat::taskDelay(plat::sysClkRateGet());

    plat::intLock();

    // Drop every instruction fetched before the image was written.
    uint32_t csr = plat::vxL1CSR1Get();
    plat::sysL1Csr1Set(csr & ~kL1Csr1FlashInvalidate);
    csr = plat::vxL1CSR1Get();
    plat::sysL1Csr1Set(csr | kL1Csr1FlashInvalidate);

    plat::vxHid0Set(0);

    plat::handoff(entry, startType, loadedBytes);
}
