// Everything the boot routines use of the kernel and the board.
#pragma once

#include "platform/board_description.h"
#include "platform/board_map.h"
#include "platform/bus.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/services.h"
#include "platform/tffs.h"
#include "platform/volume.h"
