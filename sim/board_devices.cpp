#include "sim/board_devices.h"

#include <memory>

#include "platform/board_map.h"
#include "platform/host/address_map.h"
#include "platform/host/board.h"
#include "sim/i2c_models.h"
#include "sim/nor_chip.h"
#include "sim/sdram.h"

void attachBoardDevices(plat::Board& board) {
    board.map().attachOwned(0, sim::Sdram::kSize, std::make_unique<sim::Sdram>(), "SDRAM");
    sim::attachI2cDevices(board);
    board.map().attachOwned(plat::kNorBase, plat::kNorSize,
                            std::make_unique<NorChip>(board.clock(), board.dir() + "/norflash.bin"),
                            "NOR flash");
}
