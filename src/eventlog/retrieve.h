// Rendering the event log as text and sending it over the console.
#pragma once

void send_event_log_via_xmodem();
