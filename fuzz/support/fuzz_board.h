// The board every fuzz input runs on: the tests' scripted console and virtual
// clock on one board per process whose flash disk is emptied and whose
// process-wide records are reset (the board's reset hooks) before each input,
// so an input never sees what an earlier one left behind and no time-out takes
// real time. The virtual clock runs on from input to input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"
#include "support/scripted_console.h"

namespace stkfuzz {

// Readies the board for the next input (all reset hooks run, a new scripted
// console, working directory "/DskVol/files" and empty) and returns its
// console. The board folder lives as long as the process.
plat::ScriptedConsole& freshBoard();
plat::VirtualClock& clock();

// Writes a file of the flash disk (a board name, relative to "/DskVol/files").
void writeFile(const char* name, const uint8_t* data, size_t size);
// Reads one; empty when missing.
std::string readFile(const char* name);

// Runs fn until it returns or the board stops (reset, hand-off, end of the
// console input): every one of these is a normal end of an input. With
// STKFUZZ_TRACE set in the environment, the console output is shown after it.
void runOnBoard(const std::function<void()>& fn);

// A property of the code under test that must hold: reports and aborts, so
// that libFuzzer keeps the input as a crash.
[[noreturn]] void propertyFailed(const char* what, const char* file, int line);

}  // namespace stkfuzz

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::stkfuzz::propertyFailed(#cond, __FILE__, __LINE__))
