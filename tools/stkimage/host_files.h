// Files of the host that stkimage reads and writes.
#pragma once

#include <string>
#include <vector>

#include "image_build.h"

namespace stkimage {

// The whole file at `path` (`what` names it in errors); throws BuildError.
Bytes readInput(const std::string& path, const char* what);
// Writes under a temporary name next to the target and renames it into place,
// so a failed run never leaves a half-written file. A link is written through
// to its target, an existing file keeps its permissions, and a device, a
// folder or one of the input files is refused. Throws BuildError.
void writeOutput(const std::string& path, const Bytes& data,
                 const std::vector<std::string>& inputs);

}  // namespace stkimage
