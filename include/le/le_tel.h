/* le_core: telemetry.
 *
 * A bounded, thread-safe, process-wide buffer of named events: numbers
 * (le_tel_record) and short texts (le_tel_record_str), each stamped with a
 * monotonic time. The library records its own figures here (the live
 * pipeline: per utterance its first-frame latency, render time per frame and
 * frames dropped by interrupts); a host may add its own. le_tel_pending_json
 * renders what is pending, with a snapshot of the device, and le_tel_flush
 * clears what was rendered. When the buffer is full the oldest events are
 * dropped and counted; recording never waits for rendering, and the buffer
 * never grows past its bound.
 *
 * Handles, threads and return values follow the contract at the top of
 * le/le.h. This family has no handle and no error text: every call is safe
 * from any thread, and a bad argument is reported through its return value. */
#ifndef LE_LE_TEL_H
#define LE_LE_TEL_H

#include <stddef.h>

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Events the buffer holds at most; older ones are dropped first. */
#define LE_TEL_CAPACITY 1024
/* Longest name and text kept, in bytes; longer ones are cut (at a UTF-8
 * character boundary). */
#define LE_TEL_NAME_MAX 63
#define LE_TEL_TEXT_MAX 255

/* Records a numeric event. 1; 0 for a NULL or empty name or a non-finite value. */
LE_API int le_tel_record(const char* name, double value);
/* Records a text event. 1; 0 for a NULL or empty name or NULL text. */
LE_API int le_tel_record_str(const char* name, const char* text);
/* Renders the pending events as one JSON object:
 *   {"device": {"cpu": "...", "vector_target": "...", "cores": N,
 *               "memory_bytes": N, "library": "MAJOR.MINOR.PATCH"},
 *    "dropped": N,
 *    "events": [{"seq": N, "t_ms": T, "name": "...", "value": V}
 *               or {"seq": N, "t_ms": T, "name": "...", "text": "..."}, ...]}
 * seq counts events from 1 since the library was loaded; t_ms is
 * milliseconds (with a fraction) on the monotonic clock since then; both
 * increase along the list. dropped counts events lost to a full buffer since
 * the last flush. Texts are rendered as UTF-8, invalid bytes as U+FFFD.
 * Copies at most cap - 1 bytes and a terminating NUL into buf (nothing when
 * buf is NULL or cap is 0) and returns the length of the whole text, so a
 * caller can size its buffer and ask again; 0 (and "" in buf) only when the
 * text cannot be made (out of memory). */
LE_API size_t le_tel_pending_json(char* buf, size_t cap);
/* Clears the events the latest le_tel_pending_json rendered, and the dropped
 * count it reported; events recorded since stay pending. A second flush
 * without a render in between clears nothing. Returns the number of events
 * cleared. */
LE_API int le_tel_flush(void);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_TEL_H */
