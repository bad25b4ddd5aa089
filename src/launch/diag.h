// The diagnostics image and the active-image selector.
#pragma once

#include <cstdint>

int fellActiveImageGet();
int fellActiveImageSet(int value);
int fellDiagImageCrcCheck();
int fellDiagImageLoad(uint32_t targetDevice);
int fellDiagImageRun();
