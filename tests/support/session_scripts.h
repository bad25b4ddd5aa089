// Terminal sessions kept as scripts in tests/boot/terminal_sessions.txt (its
// head explains the steps): which sessions run on a target, their steps there,
// and the files of the peer folder they share.
#pragma once

#include <string>
#include <vector>

namespace stktest {

// The sessions that run on `target` ("host" or "ppce500"): those whose first
// line after the comments, "{host ppce500}", names it; a session without that
// line is the host's.
std::vector<std::string> sessionNames(const std::string& target);
// A session's steps on `target`, "\r", "\n" and "\b" written out; a step
// "{t}..." is the target t's only (kept without the prefix), a step "flash:..."
// or "folder:..." only for a board whose flash disk is (or is not) a flash volume.
std::vector<std::string> sessionSteps(const std::string& name, const std::string& target,
                                      bool flashVolume);
// The peer folder's files that are the same on every target: firmware.bin
// (random bytes, no image) and images whose load must fail (xcrcbad.bin, a
// wrong file CRC) or whose start must fail (xzbad.bin, a damaged zlib stream;
// xlbad.bin, a cut LZMA stream), both with right file CRCs.
void writeSharedPeerFiles(const std::string& dir);
// "file=text": the peer folder's file is an event log in whole kilobytes
// holding text.
void expectEventLog(const std::string& dir, const std::string& arg);

}  // namespace stktest
