// State handed from the head of wait_for_input to the Boot Menu loop.
#pragma once

enum class Verdict { Unknown, Valid, Invalid };

struct MenuVerdicts {
    Verdict opr = Verdict::Unknown;   // operational code
    Verdict diag = Verdict::Unknown;  // diagnostics image
};

// The Boot Menu loop; never returns.
[[noreturn]] void bootMenuLoop(MenuVerdicts verdicts);

