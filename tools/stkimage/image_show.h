// Showing and checking STK image files from the host.
#pragma once

#include <cstdio>
#include <string>

#include "image_build.h"

namespace stkimage {

// Prints the header(s) of an image file with the labels of the Boot Menu's
// display; an STK file also gets its file header and records. Returns false
// (with a reason) when the bytes hold no readable header.
bool showImage(const std::string& name, const Bytes& file, std::FILE* out, std::string& reason);

// Checks a file as the boot program does before it accepts an image. Returns
// false with a one-line reason on any failure.
bool verifyImage(const std::string& path, std::string& reason, std::string& summary);

}  // namespace stkimage
