// Everything the boot routines use of the kernel and the board.
#pragma once

#include "platform/address_map.h"
#include "platform/bus.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/flashdisk.h"
#include "platform/kernel.h"
