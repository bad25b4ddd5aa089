// Real time of the host: its monotonic clock, and its calendar until the
// boot program sets the board's.
#pragma once

#include "platform/clock.h"

namespace plat {

class HostClock : public Clock {
  public:
    uint64_t nowUs() override;
    void sleepUs(uint64_t us) override;
    bool isVirtual() const override { return false; }
    std::time_t calendarSeconds() override;
};

}  // namespace plat
