// Loading operational code and configuration over the console.
#pragma once

#include <cstdint>

int load_operational_code(uint32_t targetDevice);
int load_configuration();
