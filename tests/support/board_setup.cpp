#include "support/board_setup.h"

#include "bootflash/bootflash.h"
#include "platform/platform.h"

namespace stktest {

bool formatAndEnterFiles() {
    Flash_Init();
    if (plat::tffsDevFormat(0, nullptr) != 0 || plat::usrTffsConfig(0, 0, "/DskVol/") != 0)
        return false;
    plat::mkdir("/DskVol/files");
    return plat::chdir("/DskVol/files") == 0;
}

}  // namespace stktest
