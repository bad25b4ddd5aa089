#include "board/board_devices.h"

#include "platform/platform.h"

void attachBoardDevices(plat::Board&) {
    // Device models are attached here as they are built.
}
