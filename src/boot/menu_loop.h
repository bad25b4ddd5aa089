// The Boot Menu as start-up enters it: the verdicts that the head of
// wait_for_input established, handed to the menu loop.
#pragma once

enum class Verdict { Unknown, Valid, Invalid };

struct MenuVerdicts {
    Verdict opr = Verdict::Unknown;   // operational code
    Verdict diag = Verdict::Unknown;  // diagnostics image
};

// The Boot Menu loop; never returns.
[[noreturn]] void bootMenuLoop(MenuVerdicts verdicts);
