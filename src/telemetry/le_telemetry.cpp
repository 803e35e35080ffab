// Telemetry: the process-wide event ring and the le_tel_ entry points.
#include "telemetry/le_telemetry.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "compose/le_simd.h"
#include "le/le.h"
#include "le/le_tel.h"

namespace le::telemetry {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point origin() {
  static const Clock::time_point t = Clock::now();
  return t;
}
// Takes the origin while the library loads rather than at the first event.
[[maybe_unused]] const Clock::time_point g_originAtLoad = origin();

struct Slot {
  uint64_t seq;
  double tMs;
  double value;
  uint16_t textLen;
  uint8_t nameLen;
  bool isText;
  char name[LE_TEL_NAME_MAX];
  char text[LE_TEL_TEXT_MAX];
};
static_assert(LE_TEL_NAME_MAX <= UINT8_MAX && LE_TEL_TEXT_MAX <= UINT16_MAX);

// Pending events are slots[first], slots[first + 1], ... (mod capacity),
// count of them, in increasing seq.
struct Store {
  std::mutex mu;
  size_t first = 0;
  size_t count = 0;
  uint64_t lastSeq = 0;
  uint64_t dropped = 0;
  // What the latest render saw, for flush(). A render takes a generation when
  // it snapshots and stores what it saw only once its text exists, and only
  // if no other render or flush came since: a failed render must not let
  // flush() clear events nobody received, and a render overtaken by a flush
  // must not make the next flush subtract drops twice.
  uint64_t generation = 0;
  uint64_t renderedSeq = 0;
  uint64_t reportedDropped = 0;
  Slot slots[LE_TEL_CAPACITY];
};

// Never destroyed: threads may still record while the process exits.
Store& store() {
  static Store* const s = new Store;
  return *s;
}

// Length of s cut to at most max bytes without splitting a UTF-8 character.
// Bytes that are not UTF-8 are cut where they fall.
size_t cutLength(std::string_view s, size_t max) {
  if (s.size() <= max) return s.size();
  auto continuation = [&](size_t i) { return (uint8_t(s[i]) & 0xC0u) == 0x80u; };
  size_t n = max;
  for (int k = 0; k < 3 && n > 0 && continuation(n); ++k) --n;
  return continuation(n) ? max : n;
}

bool put(std::string_view name, double value, const std::string_view* text) {
  if (name.empty()) return false;
  const size_t nameLen = cutLength(name, LE_TEL_NAME_MAX);
  const size_t textLen = text ? cutLength(*text, LE_TEL_TEXT_MAX) : 0;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  Slot* slot;
  if (s.count == LE_TEL_CAPACITY) {
    slot = &s.slots[s.first];  // overwrite the oldest
    s.first = (s.first + 1) % LE_TEL_CAPACITY;
    ++s.dropped;
  } else {
    slot = &s.slots[(s.first + s.count) % LE_TEL_CAPACITY];
    ++s.count;
  }
  slot->seq = ++s.lastSeq;
  slot->tMs = std::chrono::duration<double, std::milli>(Clock::now() - origin()).count();
  slot->value = value;
  slot->isText = text != nullptr;
  slot->nameLen = uint8_t(nameLen);
  slot->textLen = uint16_t(textLen);
  std::memcpy(slot->name, name.data(), nameLen);
  if (textLen) std::memcpy(slot->text, text->data(), textLen);
  return true;
}

std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t b = line.find_first_not_of(" \t", colon + 1);
    if (b == std::string::npos) continue;
    const size_t e = line.find_last_not_of(" \t\r");
    return line.substr(b, e - b + 1);
  }
  return "unknown";
}

nlohmann::ordered_json device() {
  static const std::string cpu = cpuModel();
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  const uint64_t memory = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
  nlohmann::ordered_json d;
  d["cpu"] = cpu;
  d["vector_target"] = le::simd::targetName(le::simd::dispatchedTarget());
  d["cores"] = std::thread::hardware_concurrency();
  d["memory_bytes"] = memory;
  // Spelled from the header the library was built with: le_version() lives in a layer above this one.
  d["library"] = std::to_string(LE_VERSION_MAJOR) + "." + std::to_string(LE_VERSION_MINOR) + "." +
                 std::to_string(LE_VERSION_PATCH);
  return d;
}

}  // namespace

bool record(std::string_view name, double value) {
  if (!std::isfinite(value)) return false;
  return put(name, value, nullptr);
}

bool recordText(std::string_view name, std::string_view text) {
  return put(name, 0.0, &text);
}

std::string pendingJson() {
  // Allocated before locking so the copy under the lock is all that recorders
  // can wait behind.
  auto snap = std::make_unique_for_overwrite<Slot[]>(LE_TEL_CAPACITY);
  size_t n;
  uint64_t dropped;
  uint64_t generation;
  Store& s = store();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    generation = ++s.generation;
    n = s.count;
    dropped = s.dropped;
    for (size_t i = 0; i < n; ++i) {
      const Slot& from = s.slots[(s.first + i) % LE_TEL_CAPACITY];
      Slot& to = snap[i];
      // Only the used bytes of each slot: short events copy a tenth of it.
      std::memcpy(&to, &from, offsetof(Slot, name));
      std::memcpy(to.name, from.name, from.nameLen);
      std::memcpy(to.text, from.text, from.textLen);
    }
  }

  nlohmann::ordered_json out;
  out["device"] = device();
  out["dropped"] = dropped;
  nlohmann::ordered_json events = nlohmann::ordered_json::array();
  for (size_t i = 0; i < n; ++i) {
    const Slot& e = snap[i];
    nlohmann::ordered_json ev;
    ev["seq"] = e.seq;
    ev["t_ms"] = e.tMs;
    ev["name"] = std::string(e.name, e.nameLen);
    if (e.isText) {
      ev["text"] = std::string(e.text, e.textLen);
    } else {
      ev["value"] = e.value;
    }
    events.push_back(std::move(ev));
  }
  out["events"] = std::move(events);
  std::string text = out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);

  std::lock_guard<std::mutex> lock(s.mu);
  if (s.generation == generation) {
    s.renderedSeq = n ? snap[n - 1].seq : 0;
    s.reportedDropped = dropped;
  }
  return text;
}

int flush() {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  int cleared = 0;
  while (s.count > 0 && s.slots[s.first].seq <= s.renderedSeq) {
    s.first = (s.first + 1) % LE_TEL_CAPACITY;
    --s.count;
    ++cleared;
  }
  s.dropped -= std::min(s.dropped, s.reportedDropped);
  s.reportedDropped = 0;  // a second flush must not subtract it again
  ++s.generation;
  return cleared;
}

}  // namespace le::telemetry

extern "C" {

LE_API int le_tel_record(const char* name, double value) {
  if (!name) return 0;
  try {
    return le::telemetry::record(name, value) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

LE_API int le_tel_record_str(const char* name, const char* text) {
  if (!name || !text) return 0;
  try {
    return le::telemetry::recordText(name, text) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

LE_API size_t le_tel_pending_json(char* buf, size_t cap) {
  try {
    const std::string json = le::telemetry::pendingJson();
    if (buf && cap > 0) {
      const size_t n = std::min(cap - 1, json.size());
      std::memcpy(buf, json.data(), n);
      buf[n] = '\0';
    }
    return json.size();
  } catch (...) {
    if (buf && cap > 0) buf[0] = '\0';
    return 0;
  }
}

LE_API int le_tel_flush(void) {
  try {
    return le::telemetry::flush();
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
