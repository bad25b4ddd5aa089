// The state start-up leaves a board in, for tests, benchmarks and fuzz
// targets that start from there: the flash probed, the flash disk formatted
// and mounted, and the working directory "/DskVol/files".
#pragma once

namespace stktest {

// false when the flash disk cannot be formatted or mounted.
bool formatAndEnterFiles();

}  // namespace stktest
