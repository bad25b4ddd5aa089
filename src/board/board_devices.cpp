#include "board/board_devices.h"

#include <memory>

#include "board/i2c_models.h"
#include "board/nor_chip.h"
#include "platform/platform.h"

void attachBoardDevices(plat::Board& board) {
    board::attachI2cDevices(board);
    board.map().attachOwned(plat::kNorBase, plat::kNorSize,
                            std::make_unique<NorChip>(board.clock(), board.dir() + "/norflash.bin"),
                            "NOR flash");
}
