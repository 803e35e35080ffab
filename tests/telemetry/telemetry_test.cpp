// Telemetry buffer: rendering, concurrency and overflow, flush and the C contract.
//
// The buffer is process-wide and has no reset: every test starts by rendering
// and flushing whatever earlier tests left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "compose/le_simd.h"
#include "le/le.h"
#include "le/le_tel.h"

namespace {

using nlohmann::json;

// The documented way to read it: ask for the length, grow, ask again.
std::string renderText() {
  std::string buf(4096, '\0');
  for (;;) {
    const size_t n = le_tel_pending_json(buf.data(), buf.size());
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    buf.assign(n + 1, '\0');
  }
}

json render() { return json::parse(renderText()); }

void drain() {
  render();
  le_tel_flush();
}

struct Expected {
  std::string name;
  std::optional<double> value;
  std::optional<std::string> text;
};

void expectEvents(const json& events, const std::vector<Expected>& want) {
  ASSERT_EQ(events.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const json& e = events[i];
    SCOPED_TRACE("event " + std::to_string(i));
    EXPECT_EQ(e.size(), 4u);
    EXPECT_EQ(e.at("name").get<std::string>(), want[i].name);
    if (want[i].value) {
      EXPECT_EQ(e.at("value").get<double>(), *want[i].value);
    } else {
      EXPECT_EQ(e.at("text").get<std::string>(), *want[i].text);
    }
  }
}

TEST(Telemetry, RendersDeviceAndEventsInOrder) {
  drain();
  std::vector<Expected> want;
  auto number = [&](const std::string& name, double v, const std::string& kept) {
    ASSERT_EQ(le_tel_record(name.c_str(), v), 1);
    want.push_back({kept, v, std::nullopt});
  };
  auto text = [&](const std::string& t, const std::string& kept) {
    ASSERT_EQ(le_tel_record_str("txt", t.c_str()), 1);
    want.push_back({"txt", std::nullopt, kept});
  };

  const auto outerStart = std::chrono::steady_clock::now();
  number("utt.first_frame_ms", 0.1, "utt.first_frame_ms");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  number("after_sleep", -1e300, "after_sleep");
  const double outerMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - outerStart).count();

  // Names: cut to 63 bytes, never inside a character.
  number(std::string(63, 'n'), 1, std::string(63, 'n'));
  number(std::string(62, 'a') + "\xC3\xA9", 2, std::string(62, 'a'));
  number(std::string(61, 'a') + "\xE2\x82\xAC", 3, std::string(61, 'a'));
  // Texts: cut to 255 bytes likewise; bytes that are not UTF-8 come out as U+FFFD.
  text(std::string(254, 'b') + "\xE2\x82\xAC", std::string(254, 'b'));
  text(std::string(253, 'c') + "\xF0\x9F\x98\x80", std::string(253, 'c'));
  text(std::string(251, 'd') + "\xF0\x9F\x98\x80" + "x", std::string(251, 'd') + "\xF0\x9F\x98\x80");
  text("ok\xFF", "ok\xEF\xBF\xBD");
  text("", "");

  const json j = render();
  ASSERT_EQ(j.size(), 3u);
  EXPECT_EQ(j.at("dropped").get<uint64_t>(), 0u);
  expectEvents(j.at("events"), want);

  const json& ev = j.at("events");
  for (size_t i = 1; i < ev.size(); ++i) {
    EXPECT_EQ(ev[i].at("seq").get<uint64_t>(), ev[i - 1].at("seq").get<uint64_t>() + 1);
    EXPECT_GE(ev[i].at("t_ms").get<double>(), ev[i - 1].at("t_ms").get<double>());
  }
  EXPECT_GE(ev[0].at("t_ms").get<double>(), 0.0);
  const double sleptMs = ev[1].at("t_ms").get<double>() - ev[0].at("t_ms").get<double>();
  EXPECT_GE(sleptMs, 20.0);
  EXPECT_LE(sleptMs, outerMs + 1e-6);

  const json& d = j.at("device");
  EXPECT_EQ(d.size(), 5u);
  const std::string cpu = d.at("cpu").get<std::string>();
  std::ifstream in("/proc/cpuinfo");
  const std::string cpuinfo{std::istreambuf_iterator<char>(in), {}};
  if (cpuinfo.find("model name") == std::string::npos) {
    EXPECT_EQ(cpu, "unknown");
  } else {
    EXPECT_NE(cpuinfo.find("model name\t: " + cpu + "\n"), std::string::npos) << cpu;
  }
  EXPECT_EQ(d.at("vector_target").get<std::string>(),
            le::simd::targetName(le::simd::dispatchedTarget()));
  EXPECT_EQ(d.at("cores").get<unsigned>(), std::thread::hardware_concurrency());
  EXPECT_EQ(d.at("memory_bytes").get<uint64_t>(),
            uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE)));
  EXPECT_EQ(d.at("library").get<std::string>(), le_version());
}

// A text long enough that a copy torn by a concurrent writer would show.
std::string textFor(const std::string& name) {
  std::string t;
  while (t.size() + name.size() + 1 <= LE_TEL_TEXT_MAX) t += name + "|";
  return t;
}

TEST(Telemetry, ConcurrentWritersOverflowKeepingTheNewest) {
  drain();
  constexpr int kThreads = 4, kPerThread = 1000;
  static_assert(kThreads * kPerThread > LE_TEL_CAPACITY);

  std::atomic<bool> writing{true};
  std::thread reader([&] {  // renders while the ring is being overwritten
    while (writing.load()) {
      const json ev = render().at("events");
      ASSERT_LE(ev.size(), size_t(LE_TEL_CAPACITY));
      for (size_t i = 1; i < ev.size(); ++i) {
        ASSERT_GT(ev[i].at("seq").get<uint64_t>(), ev[i - 1].at("seq").get<uint64_t>());
      }
    }
  });
  std::vector<std::thread> writers;
  for (int k = 0; k < kThreads; ++k) {
    writers.emplace_back([k] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string name = "w" + std::to_string(k) + "." + std::to_string(i);
        ASSERT_EQ(le_tel_record_str(name.c_str(), textFor(name).c_str()), 1);
      }
    });
  }
  for (auto& w : writers) w.join();
  writing = false;
  reader.join();

  const json j = render();
  const json& ev = j.at("events");
  ASSERT_EQ(ev.size(), size_t(LE_TEL_CAPACITY));
  EXPECT_EQ(j.at("dropped").get<uint64_t>(), uint64_t(kThreads * kPerThread - LE_TEL_CAPACITY));
  // The survivors are the newest: consecutive numbers ending at the last one,
  // and per writer an unbroken run ending at its last event.
  EXPECT_EQ(ev.back().at("seq").get<uint64_t>() - ev.front().at("seq").get<uint64_t>() + 1,
            uint64_t(LE_TEL_CAPACITY));
  std::map<int, std::vector<int>> perWriter;
  for (size_t n = 0; n < ev.size(); ++n) {
    const std::string name = ev[n].at("name").get<std::string>();
    ASSERT_EQ(ev[n].at("text").get<std::string>(), textFor(name)) << "torn event " << name;
    if (n > 0) {
      EXPECT_GT(ev[n].at("seq").get<uint64_t>(), ev[n - 1].at("seq").get<uint64_t>());
      EXPECT_GE(ev[n].at("t_ms").get<double>(), ev[n - 1].at("t_ms").get<double>());
    }
    const size_t dot = name.find('.');
    perWriter[std::stoi(name.substr(1, dot - 1))].push_back(std::stoi(name.substr(dot + 1)));
  }
  for (const auto& [k, is] : perWriter) {
    SCOPED_TRACE("writer " + std::to_string(k));
    EXPECT_EQ(is.back(), kPerThread - 1);
    for (size_t n = 1; n < is.size(); ++n) EXPECT_EQ(is[n], is[n - 1] + 1);
  }
}

TEST(Telemetry, FlushClearsWhatWasRenderedAndTheCopyKeepsItsContract) {
  drain();
  // Bad arguments record nothing and consume no sequence number.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  ASSERT_EQ(le_tel_record("a", 1), 1);
  EXPECT_EQ(le_tel_record(nullptr, 1), 0);
  EXPECT_EQ(le_tel_record("", 1), 0);
  for (double bad : {nan, inf, -inf}) EXPECT_EQ(le_tel_record("x", bad), 0);
  EXPECT_EQ(le_tel_record_str(nullptr, "t"), 0);
  EXPECT_EQ(le_tel_record_str("", "t"), 0);
  EXPECT_EQ(le_tel_record_str("x", nullptr), 0);
  ASSERT_EQ(le_tel_record("b", 2), 1);

  // Copy contract, on a text that does not change between calls.
  const std::string full = renderText();
  const size_t len = full.size();
  for (size_t cap : {size_t(0), size_t(1), len, len + 1}) {
    SCOPED_TRACE("cap " + std::to_string(cap));
    std::string buf(len + 8, '#');
    EXPECT_EQ(le_tel_pending_json(buf.data(), cap), len);
    const size_t copied = cap == 0 ? 0 : std::min(cap - 1, len);
    EXPECT_EQ(buf.compare(0, copied, full, 0, copied), 0);
    if (cap > 0) {
      EXPECT_EQ(buf[copied], '\0');
    }
    EXPECT_EQ(buf.find_first_not_of('#', copied + (cap > 0)), std::string::npos);
  }
  EXPECT_EQ(le_tel_pending_json(nullptr, 100), len);

  json j = render();
  expectEvents(j.at("events"), {{"a", 1, {}}, {"b", 2, {}}});
  EXPECT_EQ(j["events"][1].at("seq").get<uint64_t>(), j["events"][0].at("seq").get<uint64_t>() + 1);

  // Events recorded after the render stay pending.
  ASSERT_EQ(le_tel_record("c", 3), 1);
  EXPECT_EQ(le_tel_flush(), 2);
  j = render();
  expectEvents(j.at("events"), {{"c", 3, {}}});
  EXPECT_EQ(j.at("dropped").get<uint64_t>(), 0u);

  // Overflow: the flush takes off exactly the dropped count the render reported.
  for (int i = 0; i < LE_TEL_CAPACITY + 3; ++i) ASSERT_EQ(le_tel_record("x", i), 1);
  j = render();
  EXPECT_EQ(j.at("dropped").get<uint64_t>(), 4u);
  ASSERT_EQ(j.at("events").size(), size_t(LE_TEL_CAPACITY));
  ASSERT_EQ(le_tel_record("y", 4), 1);  // overwrites one rendered event
  EXPECT_EQ(le_tel_flush(), LE_TEL_CAPACITY - 1);
  EXPECT_EQ(le_tel_flush(), 0);  // nothing rendered since: no change
  j = render();
  expectEvents(j.at("events"), {{"y", 4, {}}});
  EXPECT_EQ(j.at("dropped").get<uint64_t>(), 1u);
  EXPECT_EQ(le_tel_flush(), 1);
  j = render();
  EXPECT_TRUE(j.at("events").empty());
  EXPECT_EQ(j.at("dropped").get<uint64_t>(), 0u);
}

}  // namespace
