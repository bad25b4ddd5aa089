// The C++ library's threads layer, single-threaded: the board runs one task,
// so locks are no-ops and nothing waits for another thread.
#pragma once

#include <bits/gthr-single.h>
