// Rendering the event log as text and sending it over the console.
#pragma once

#include <cstdint>

// The text file that carries the rendered log.
constexpr const char* kEventLogTextFile = "asciilog.bin";
// Line buffer size of the walk.
constexpr int kEventLogLineLen = 512;

// Renders the record at `cursor` of the log at `base` (null: the log in
// memory; cursor null: the newest record) into `line` and returns the cursor
// of the next older record, or null when there is nothing (more) to show; the
// line is then left alone.
const uint8_t* Zq_event_log_get_next(const uint8_t* base, const uint8_t* cursor, char* line);
// Writes asciilog.bin; 0, or 1 when the file cannot be created or written.
int convert_event_log_to_ascii();
void send_event_log_via_xmodem();

// The transfer command the send goes through (xmodem unless replaced, e.g. by
// a test); null restores xmodem.
using EventLogTransferFn = int (*)(const char* args);
void eventLogTransferSet(EventLogTransferFn fn);
