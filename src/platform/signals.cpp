// The task's signal mask: bookkeeping only, the same on every target (the
// boot program runs as one task and nothing delivers a masked signal later).
#include "platform/kernel.h"
#include "platform/services.h"

namespace plat {

namespace {
SigSet taskSignalMask = 0;
STK_RESET_HOOK {
    taskSignalMask = 0;
}
}  // namespace

int sigprocmask(int how, const SigSet* set, SigSet* old) {
    if (how != kSigBlock && how != kSigUnblock && how != kSigSetMask) return -1;
    if (old) *old = taskSignalMask;
    if (set)
        taskSignalMask = how == kSigBlock     ? taskSignalMask | *set
                         : how == kSigUnblock ? taskSignalMask & ~*set
                                              : *set;
    return 0;
}

}  // namespace plat
