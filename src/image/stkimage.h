// STK image files: the image header, its components, the optional STK file
// header, the two 16-bit CRCs, validation and the version routines.
#pragma once

#include <cstddef>
#include <cstdint>

// The file CRC of the active image: 0 when valid, 1 otherwise (prints its own messages).
int check_oprcrc_in_flash();
// Prints the active image's header on the console.
void print_vpd_in_flash();
