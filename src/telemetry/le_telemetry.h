// Process-wide telemetry buffer behind the le_tel_ family (le/le_tel.h).
//
// A fixed ring of LE_TEL_CAPACITY slots, allocated on first use and never
// grown. Recording takes the lock only to stamp and copy one event (a few
// hundred bytes, no allocation), so the real-time threads that record never
// wait behind a render: pendingJson() copies the pending slots under the lock
// and formats outside it.
//
// Times are milliseconds on std::chrono::steady_clock since an origin taken
// once, while the library's static initialisers run (when the shared library
// is loaded, or at program start when linked statically) -- or at the first
// call, should one come earlier. Sequence numbers start at 1 with the first
// event recorded; stamp and number are taken together under the lock, so both
// increase along the buffer.
#pragma once

#include <string>
#include <string_view>

namespace le::telemetry {

// Records a numeric event. False (nothing recorded) for an empty name or a
// non-finite value. The name is cut to LE_TEL_NAME_MAX bytes at a UTF-8
// character boundary. Throws only on a system failure (the store's allocation
// on first use, the lock).
bool record(std::string_view name, double value);

// Records a text event; the text is cut to LE_TEL_TEXT_MAX bytes like the
// name. False (nothing recorded) for an empty name. Bytes are kept as given:
// text that is not UTF-8 is repaired (U+FFFD) only when rendered.
bool recordText(std::string_view name, std::string_view text);

// The pending events with the device snapshot, as the JSON object le_tel.h
// describes (no indentation). Remembers what it rendered for flush(): the
// highest sequence number and the dropped count it reported.
std::string pendingJson();

// Clears the events the latest pendingJson() rendered and subtracts the
// dropped count it reported; a second flush without a render in between
// clears nothing. Returns the number of events cleared.
int flush();

}  // namespace le::telemetry
