#include "board/board_devices.h"

#include "board/i2c_models.h"
#include "platform/platform.h"

void attachBoardDevices(plat::Board& board) {
    board::attachI2cDevices(board);
}
