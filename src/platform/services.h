// What a target installs under the platform interface before the boot
// program runs: the console device, the clock and the flash disk's driver.
// The target-neutral calls (console, time, files) reach them only through
// here, so this tier never depends on one target's code.
#pragma once

#include <cstdint>
#include <vector>

namespace plat {

class ConsoleDevice;
class Clock;
class FlashDiskDriver;

struct Services {
    ConsoleDevice* console = nullptr;
    Clock* clock = nullptr;
    FlashDiskDriver* flashDisk = nullptr;
};

// The installed services (all null until a target installs them).
Services& services();

// Routines that clear one module's process-wide state, run at every power-on
// of the board (a reset starts the boot program's records afresh).
inline std::vector<void (*)()>& resetHooks() {
    static std::vector<void (*)()> hooks;
    return hooks;
}
struct ResetHook {
    explicit ResetHook(void (*fn)()) { resetHooks().push_back(fn); }
};
inline void resetProcessState() {
    for (auto fn : resetHooks()) fn();
}

}  // namespace plat

// Declares a reset hook in a source file: STK_RESET_HOOK { state = {}; }
#define STK_RESET_HOOK_CAT2(a, b) a##b
#define STK_RESET_HOOK_CAT(a, b) STK_RESET_HOOK_CAT2(a, b)
#define STK_RESET_HOOK                                                       \
    static void STK_RESET_HOOK_CAT(stkResetFn_, __LINE__)();                 \
    static ::plat::ResetHook STK_RESET_HOOK_CAT(                             \
        stkResetHook_, __LINE__)(STK_RESET_HOOK_CAT(stkResetFn_, __LINE__)); \
    static void STK_RESET_HOOK_CAT(stkResetFn_, __LINE__)()
