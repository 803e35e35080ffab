// lecore serve: a live avatar in the browser. The page (served from here) sends
// the speech it captures over a WebSocket; the speech goes into a live pipeline
// and the frames come back, with the speech that made them, as a WebRTC stream.
//
// One client at a time: the rendering context is shared and the live pipeline
// owns it while it runs, so a second browser is told so and turned away.
//
// Threads: the main loop owns the HTTP/WebSocket server and every session's
// setup and teardown; each session has a pump thread that pulls frames at 25 fps
// and feeds the media pipeline; the media framework's own threads call back for
// signalling, and hand what they have to say to the main loop.
#define GST_USE_UNSTABLE_API 1
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>
#include <glib-unix.h>
#include <libsoup/soup.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "audio_in.h"
#include "common.h"
#include "le/le.h"
#include "le/le_utt.h"

namespace lecore {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

const char kPage[] =
#include "serve_page.inc"
    ;

constexpr auto kTick = 40ms;                // one frame every 40 ms: 25 fps
constexpr double kStallEndS = 1.0;          // an utterance whose audio stops this long is over
constexpr size_t kMaxUtteranceSamples = size_t(kRate) * 600;  // ten minutes of speech kept for playback

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Server;

// Speech as it arrived, kept so each speech frame goes out with its own 40 ms.
struct Utterance {
  std::vector<int16_t> pcm;
};

struct Session : std::enable_shared_from_this<Session> {
  Server* server = nullptr;
  uint64_t id = 0;
  SoupWebsocketConnection* ws = nullptr;  // main loop only
  le_utt* utt = nullptr;
  GstElement* pipeline = nullptr;
  GstElement* webrtc = nullptr;
  GstElement* vsrc = nullptr;
  GstElement* asrc = nullptr;
  GstBufferPool* vpool = nullptr;  // frames and their speech go out in recycled buffers
  GstBufferPool* apool = nullptr;
  std::thread pump;
  std::atomic<bool> stop{false};
  std::atomic<bool> closed{false};
  int width = 0, height = 0;
  Clock::time_point start = Clock::now();

  // Audio format the client declared; nothing is taken before it.
  bool formatOk = false;
  bool readySent = false;
  bool inUtterance = false;
  Clock::time_point lastAudio{};
  bool sawAudio = false;
  Clock::time_point firstAudio{};

  // Shared with the pump.
  std::mutex mu;
  std::deque<std::shared_ptr<Utterance>> queued;  // pushed, first frame not yet shown
  std::shared_ptr<Utterance> playing;             // the utterance whose frames are going out
  std::atomic<uint64_t> framesOut{0}, speechOut{0}, emptyTicks{0}, utterancesIn{0}, bytesIn{0};
  std::atomic<double> fps{0};
  std::atomic<double> firstFrameMs{-1};  // first audio of the latest utterance to its first frame sent

  ~Session();
  void close();
  void runPump();
};

struct Server {
  le_ctx* ctx = nullptr;
  std::string engine;
  int threads = 0;
  GMainLoop* loop = nullptr;
  SoupServer* soup = nullptr;
  std::mutex mu;  // guards sessions (read from the media threads)
  std::map<uint64_t, std::shared_ptr<Session>> sessions;
  uint64_t nextId = 1;
  uint64_t sessionsTotal = 0, refused = 0, badMessages = 0;
  std::atomic<int64_t> pipelinesAlive{0};
  json lastSession = nullptr;

  std::shared_ptr<Session> find(uint64_t id) {
    std::lock_guard<std::mutex> l(mu);
    auto it = sessions.find(id);
    return it == sessions.end() ? nullptr : it->second;
  }
};

json sessionStatus(Session& s) {
  le_utt_stats st{};
  if (s.utt) le_utt_get_stats(s.utt, &st);
  return {{"id", s.id},
          {"width", s.width},
          {"height", s.height},
          {"seconds", msSince(s.start) / 1000.0},
          {"frames_pulled", st.frames_pulled},
          {"speech_frames_pulled", st.speech_frames_pulled},
          {"utterances", st.utterances},
          {"first_frame_latency_ms", st.first_frame_latency_ms},
          {"render_ms_avg", st.render_ms_avg},
          {"state", st.state},
          {"frames_sent", s.framesOut.load()},
          {"speech_frames_sent", s.speechOut.load()},
          {"empty_ticks", s.emptyTicks.load()},
          {"utterances_received", s.utterancesIn.load()},
          {"audio_bytes_received", s.bytesIn.load()},
          {"fps", s.fps.load()},
          {"first_audio_to_frame_ms", s.firstFrameMs.load()}};
}

// --- Sending to the client: only ever from the main loop. ---------------------

struct Outgoing {
  std::weak_ptr<Session> s;
  std::string text;
};

void sendNow(Session& s, const json& j) {
  if (s.closed || !s.ws || soup_websocket_connection_get_state(s.ws) != SOUP_WEBSOCKET_STATE_OPEN) return;
  soup_websocket_connection_send_text(s.ws, j.dump().c_str());
}

// From any thread: the text goes out on the main loop, or not at all once the
// session is gone.
void sendLater(const std::shared_ptr<Session>& s, const json& j) {
  auto* o = new Outgoing{s, j.dump()};
  g_main_context_invoke_full(
      nullptr, G_PRIORITY_DEFAULT,
      [](gpointer p) -> gboolean {
        auto* o = static_cast<Outgoing*>(p);
        if (auto s = o->s.lock())
          if (!s->closed && s->ws && soup_websocket_connection_get_state(s->ws) == SOUP_WEBSOCKET_STATE_OPEN)
            soup_websocket_connection_send_text(s->ws, o->text.c_str());
        return G_SOURCE_REMOVE;
      },
      o, [](gpointer p) { delete static_cast<Outgoing*>(p); });
}

// --- Signalling: the media framework's threads. --------------------------------

struct PromiseRef {
  std::weak_ptr<Session> s;
};

// The promise is ours to release (create-offer only borrows it).
void onOfferCreated(GstPromise* promise, gpointer user) {
  auto s = static_cast<PromiseRef*>(user)->s.lock();
  GstWebRTCSessionDescription* offer = nullptr;
  bool made = false;
  if (s && !s->closed && gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
    const GstStructure* reply = gst_promise_get_reply(promise);
    made = reply && gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr) && offer;
  }
  gst_promise_unref(promise);
  if (!s || s->closed) return;
  if (!made) {
    sendLater(s, {{"type", "error"}, {"message", "serve: the media stack made no offer"}});
    return;
  }
  GstPromise* done = gst_promise_new();
  g_signal_emit_by_name(s->webrtc, "set-local-description", offer, done);
  gst_promise_interrupt(done);
  gst_promise_unref(done);
  gchar* sdp = gst_sdp_message_as_text(offer->sdp);
  sendLater(s, {{"type", "offer"}, {"sdp", sdp}});
  g_free(sdp);
  gst_webrtc_session_description_free(offer);
}

void onNegotiationNeeded(GstElement* webrtc, gpointer user) {
  auto* s = static_cast<Session*>(user);
  auto* ref = new PromiseRef{s->weak_from_this()};
  GstPromise* p = gst_promise_new_with_change_func(onOfferCreated, ref, [](gpointer r) { delete static_cast<PromiseRef*>(r); });
  g_signal_emit_by_name(webrtc, "create-offer", nullptr, p);
}

void onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer user) {
  auto* s = static_cast<Session*>(user);
  if (auto sp = s->weak_from_this().lock())
    sendLater(sp, {{"type", "ice"}, {"candidate", candidate}, {"sdpMLineIndex", mline}});
}

// --- The media pipeline. ------------------------------------------------------

void onPipelineFinalized(gpointer data, GObject*) { static_cast<Server*>(data)->pipelinesAlive--; }

GstBufferPool* makePool(size_t bytes) {
  GstBufferPool* pool = gst_buffer_pool_new();
  GstStructure* cfg = gst_buffer_pool_get_config(pool);
  gst_buffer_pool_config_set_params(cfg, nullptr, guint(bytes), 4, 0);
  if (!gst_buffer_pool_set_config(pool, cfg) || !gst_buffer_pool_set_active(pool, TRUE)) {
    gst_object_unref(pool);
    throw Failure("serve: cannot set up a buffer pool of " + std::to_string(bytes) + " bytes");
  }
  return pool;
}

// Video: RGB frames -> VP8 -> RTP; audio: 16 kHz speech -> Opus -> RTP; both into
// one peer connection.
void buildPipeline(Session& s) {
  const std::string desc =
      "webrtcbin name=wb bundle-policy=max-bundle "
      "appsrc name=vsrc is-live=true format=time do-timestamp=true max-bytes=0 block=false "
      "caps=video/x-raw,format=RGB,width=" + std::to_string(s.width) + ",height=" + std::to_string(s.height) +
      ",framerate=25/1 ! videoconvert ! video/x-raw,format=I420 ! queue max-size-buffers=2 leaky=downstream ! "
      "vp8enc deadline=1 cpu-used=8 threads=2 end-usage=cbr target-bitrate=2500000 keyframe-max-dist=50 "
      "lag-in-frames=0 error-resilient=partitions ! rtpvp8pay pt=96 ! "
      "application/x-rtp,media=video,encoding-name=VP8,payload=96 ! wb. "
      "appsrc name=asrc is-live=true format=time do-timestamp=true "
      "caps=audio/x-raw,format=S16LE,rate=16000,channels=1,layout=interleaved ! audioconvert ! audioresample ! "
      "audio/x-raw,rate=48000,channels=1 ! opusenc frame-size=20 ! rtpopuspay pt=97 ! "
      "application/x-rtp,media=audio,encoding-name=OPUS,payload=97 ! wb.";
  GError* err = nullptr;
  GstElement* p = gst_parse_launch(desc.c_str(), &err);
  if (!p || err) {
    const std::string why = err ? err->message : "unknown";
    if (err) g_error_free(err);
    if (p) gst_object_unref(p);
    throw Failure("serve: cannot build the media pipeline (" + why +
                  "); it needs the webrtc, nice, vpx and opus plugins");
  }
  s.pipeline = p;
  s.server->pipelinesAlive++;
  g_object_weak_ref(G_OBJECT(p), onPipelineFinalized, s.server);
  s.webrtc = gst_bin_get_by_name(GST_BIN(p), "wb");
  s.vsrc = gst_bin_get_by_name(GST_BIN(p), "vsrc");
  s.asrc = gst_bin_get_by_name(GST_BIN(p), "asrc");
  g_signal_connect(s.webrtc, "on-negotiation-needed", G_CALLBACK(onNegotiationNeeded), &s);
  g_signal_connect(s.webrtc, "on-ice-candidate", G_CALLBACK(onIceCandidate), &s);
  // We only send.
  GArray* tr = nullptr;
  g_signal_emit_by_name(s.webrtc, "get-transceivers", &tr);
  if (tr) {
    for (guint i = 0; i < tr->len; ++i)
      g_object_set(g_array_index(tr, GstWebRTCRTPTransceiver*, i), "direction",
                   GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, nullptr);
    g_array_unref(tr);
  }
  s.vpool = makePool(size_t(s.width) * size_t(s.height) * 3);
  s.apool = makePool(size_t(kHop) * 2);
  if (gst_element_set_state(p, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
    throw Failure("serve: the media pipeline would not start");
}

void onWsMessage(SoupWebsocketConnection*, gint type, GBytes* message, gpointer user);
void onWsClosed(SoupWebsocketConnection*, gpointer user);

// --- The pump: one frame per tick, with its speech. ---------------------------

void Session::runPump() {
  const size_t bytes = size_t(width) * size_t(height) * 3;
  auto next = Clock::now();
  int lastKind = 0;
  uint64_t fpsFrames = 0;
  auto fpsFrom = Clock::now();
  auto self = shared_from_this();
  while (!stop.load()) {
    std::this_thread::sleep_until(next);
    next += kTick;
    if (Clock::now() > next + 200ms) next = Clock::now();  // fell far behind: do not burst to catch up
    // The frame may be a moment late; wait for it up to the next tick.
    while (le_utt_frames_available(utt) == 0 && Clock::now() < next && !stop.load()) std::this_thread::sleep_for(2ms);
    if (stop.load()) break;
    GstBuffer* vb = nullptr;
    if (gst_buffer_pool_acquire_buffer(vpool, &vb, nullptr) != GST_FLOW_OK) break;  // only when closing
    GstMapInfo m;
    le_utt_frame_info info{};
    int got = 0;
    if (gst_buffer_get_size(vb) == bytes && gst_buffer_map(vb, &m, GST_MAP_WRITE)) {
      got = le_utt_pull_frame(utt, m.data, m.size, &info);
      gst_buffer_unmap(vb, &m);
    }
    if (got != 1) {
      gst_buffer_unref(vb);
      emptyTicks++;
      continue;
    }
    GstBuffer* ab = nullptr;
    if (gst_buffer_pool_acquire_buffer(apool, &ab, nullptr) != GST_FLOW_OK) {
      gst_buffer_unref(vb);
      break;
    }
    gst_buffer_memset(ab, 0, 0, size_t(kHop) * 2);
    {
      std::lock_guard<std::mutex> l(mu);
      if (info.kind == 1 && info.tag == 0) {
        if (!queued.empty()) {
          playing = queued.front();
          queued.pop_front();
        } else {
          playing.reset();
        }
      }
      if (info.kind == 1 && playing && info.tag >= 0) {
        const size_t from = size_t(info.tag) * kHop;
        if (from < playing->pcm.size()) {
          const size_t n = std::min<size_t>(kHop, playing->pcm.size() - from);
          gst_buffer_fill(ab, 0, playing->pcm.data() + from, n * 2);
        }
      }
    }
    GST_BUFFER_DURATION(vb) = GST_BUFFER_DURATION(ab) = 40 * GST_MSECOND;
    gst_app_src_push_buffer(GST_APP_SRC(vsrc), vb);
    gst_app_src_push_buffer(GST_APP_SRC(asrc), ab);
    framesOut++;
    if (info.kind == 1) speechOut++;
    if (info.kind == 1 && info.tag == 0) {
      le_utt_stats st{};
      le_utt_get_stats(utt, &st);
      sendLater(self, {{"type", "speech"}, {"utterances", st.utterances}, {"latency_ms", st.first_frame_latency_ms}});
    }
    if (info.kind == 0 && lastKind != 0) sendLater(self, {{"type", "idle"}});
    lastKind = info.kind;
    ++fpsFrames;
    const double span = msSince(fpsFrom);
    if (span >= 1000) {
      fps = fpsFrames * 1000.0 / span;
      fpsFrames = 0;
      fpsFrom = Clock::now();
    }
  }
}

// Releases everything the session holds; main loop only, idempotent.
void Session::close() {
  if (closed.exchange(true)) return;
  stop = true;
  if (pump.joinable()) pump.join();
  if (pipeline) {
    gst_element_set_state(pipeline, GST_STATE_NULL);
    if (webrtc) g_signal_handlers_disconnect_by_data(webrtc, this);
  }
  for (GstElement** e : {&webrtc, &vsrc, &asrc, &pipeline})
    if (*e) {
      gst_object_unref(*e);
      *e = nullptr;
    }
  for (GstBufferPool** bp : {&vpool, &apool})
    if (*bp) {
      gst_buffer_pool_set_active(*bp, FALSE);
      gst_object_unref(*bp);
      *bp = nullptr;
    }
  if (utt) {
    le_utt_destroy(utt);
    utt = nullptr;
  }
  if (ws) {
    g_signal_handlers_disconnect_matched(ws, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, reinterpret_cast<gpointer>(onWsMessage), nullptr);
    g_signal_handlers_disconnect_matched(ws, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, reinterpret_cast<gpointer>(onWsClosed), nullptr);
    if (soup_websocket_connection_get_state(ws) == SOUP_WEBSOCKET_STATE_OPEN)
      soup_websocket_connection_close(ws, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
    g_object_unref(ws);
    ws = nullptr;
  }
}

Session::~Session() { close(); }

// --- Messages from the client: main loop. -------------------------------------

void endUtterance(Session& s) {
  if (!s.inUtterance) return;
  s.inUtterance = false;
  le_utt_end_utterance(s.utt);
}

void refuse(Server& srv, Session& s, const std::string& why) {
  srv.badMessages++;
  sendNow(s, {{"type", "error"}, {"message", why}});
}

void onAudio(Server& srv, Session& s, const uint8_t* data, size_t n) {
  if (!s.formatOk) return refuse(srv, s, "serve: audio before its format: send {\"type\":\"audio\",\"rate\":16000,\"format\":\"s16le\",\"channels\":1} first");
  if (n % 2) return refuse(srv, s, "serve: audio of " + std::to_string(n) + " bytes is not whole 16-bit samples; dropped");
  if (le_utt_ready(s.utt) != 1) return;  // the engine is still loading: it would drop this too
  s.bytesIn += n;
  const int samples = int(n / 2);
  std::vector<int16_t> pcm(static_cast<size_t>(samples));
  std::memcpy(pcm.data(), data, n);
  {
    std::lock_guard<std::mutex> l(s.mu);
    if (!s.inUtterance) {
      s.queued.push_back(std::make_shared<Utterance>());
      s.utterancesIn++;
      s.firstAudio = Clock::now();
    }
    auto& u = s.queued.empty() ? s.playing : s.queued.back();
    if (u && u->pcm.size() + pcm.size() <= kMaxUtteranceSamples) u->pcm.insert(u->pcm.end(), pcm.begin(), pcm.end());
  }
  s.inUtterance = true;
  s.lastAudio = Clock::now();
  le_utt_push_audio(s.utt, pcm.data(), samples);
}

void onText(Server& srv, Session& s, const char* text, size_t n) {
  json j = json::parse(std::string(text, n), nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("type") || !j["type"].is_string())
    return refuse(srv, s, "serve: a message must be a JSON object with a \"type\"");
  const std::string type = j["type"];
  if (type == "audio") {
    const bool ok = j.value("rate", 0) == kRate && j.value("format", std::string()) == "s16le" && j.value("channels", 0) == 1;
    s.formatOk = ok;
    if (!ok)
      refuse(srv, s, "serve: audio must be 16-bit little-endian mono PCM at 16000 Hz, got " + j.dump() +
                         "; audio is dropped until a format it can take");
  } else if (type == "end") {
    endUtterance(s);
  } else if (type == "interrupt") {
    {
      std::lock_guard<std::mutex> l(s.mu);
      s.queued.clear();
      s.playing.reset();
    }
    s.inUtterance = false;
    le_utt_interrupt(s.utt);
  } else if (type == "answer") {
    if (!j.contains("sdp") || !j["sdp"].is_string()) return refuse(srv, s, "serve: an answer needs an \"sdp\" string");
    GstSDPMessage* sdp = nullptr;
    gst_sdp_message_new(&sdp);
    const std::string txt = j["sdp"];
    if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(txt.data()), guint(txt.size()), sdp) != GST_SDP_OK) {
      gst_sdp_message_free(sdp);
      return refuse(srv, s, "serve: the answer's SDP does not parse");
    }
    GstWebRTCSessionDescription* answer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    GstPromise* p = gst_promise_new();
    g_signal_emit_by_name(s.webrtc, "set-remote-description", answer, p);
    gst_promise_interrupt(p);
    gst_promise_unref(p);
    gst_webrtc_session_description_free(answer);
  } else if (type == "ice") {
    if (!j.contains("candidate") || !j["candidate"].is_string() || !j.contains("sdpMLineIndex") ||
        !j["sdpMLineIndex"].is_number_unsigned() || j["sdpMLineIndex"].get<uint64_t>() > 16)
      return refuse(srv, s, "serve: an ice message needs a \"candidate\" string and a small \"sdpMLineIndex\"");
    const std::string c = j["candidate"];
    if (!c.empty()) g_signal_emit_by_name(s.webrtc, "add-ice-candidate", guint(j["sdpMLineIndex"].get<uint64_t>()), c.c_str());
  } else {
    refuse(srv, s, "serve: unknown message type \"" + type.substr(0, 40) + "\"");
  }
}

void dropSession(Server& srv, uint64_t id) {
  std::shared_ptr<Session> s;
  {
    std::lock_guard<std::mutex> l(srv.mu);
    auto it = srv.sessions.find(id);
    if (it == srv.sessions.end()) return;
    s = it->second;
    srv.sessions.erase(it);
  }
  srv.lastSession = sessionStatus(*s);
  s->close();
  std::printf("serve: client %llu left after %.1f s (%llu frames sent, %llu speech)\n", (unsigned long long)id,
              msSince(s->start) / 1000.0, (unsigned long long)s->framesOut.load(),
              (unsigned long long)s->speechOut.load());
  std::fflush(stdout);
}

// Per session, on the main loop: readiness, and utterances whose audio stopped.
gboolean onHousekeeping(gpointer data) {
  auto* srv = static_cast<Server*>(data);
  std::vector<std::shared_ptr<Session>> all;
  {
    std::lock_guard<std::mutex> l(srv->mu);
    for (auto& [id, s] : srv->sessions) all.push_back(s);
  }
  for (auto& s : all) {
    if (!s->readySent) {
      const int r = le_utt_ready(s->utt);
      if (r == 1) {
        s->readySent = true;
        sendNow(*s, {{"type", "ready"}});
      } else if (r < 0) {
        s->readySent = true;
        sendNow(*s, {{"type", "error"}, {"message", std::string("serve: ") + le_utt_last_error()}});
      }
    }
    if (s->inUtterance && std::chrono::duration<double>(Clock::now() - s->lastAudio).count() > kStallEndS)
      endUtterance(*s);
  }
  return G_SOURCE_CONTINUE;
}

struct WsRef {
  Server* srv;
  uint64_t id;
};

void onWsMessage(SoupWebsocketConnection*, gint type, GBytes* message, gpointer user) {
  auto* r = static_cast<WsRef*>(user);
  auto s = r->srv->find(r->id);
  if (!s || s->closed) return;
  gsize n = 0;
  const auto* d = static_cast<const uint8_t*>(g_bytes_get_data(message, &n));
  if (type == SOUP_WEBSOCKET_DATA_BINARY) onAudio(*r->srv, *s, d, n);
  else onText(*r->srv, *s, reinterpret_cast<const char*>(d), n);
}

void onWsClosed(SoupWebsocketConnection*, gpointer user) {
  auto* r = static_cast<WsRef*>(user);
  dropSession(*r->srv, r->id);
}

void onWebsocket(SoupServer*, SoupServerMessage*, const char*, SoupWebsocketConnection* ws, gpointer user) {
  auto* srv = static_cast<Server*>(user);
  bool busy;
  {
    std::lock_guard<std::mutex> l(srv->mu);
    busy = !srv->sessions.empty();
  }
  if (busy) {
    srv->refused++;
    // Held until the close handshake is over, so the reason reaches the page.
    g_object_ref(ws);
    g_signal_connect(ws, "closed", G_CALLBACK(+[](SoupWebsocketConnection* c, gpointer) { g_object_unref(c); }), nullptr);
    const json j = {{"type", "busy"}, {"message", "serve: another browser is connected; one client at a time"}};
    soup_websocket_connection_send_text(ws, j.dump().c_str());
    soup_websocket_connection_close(ws, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "busy");
    return;
  }
  auto s = std::make_shared<Session>();
  s->server = srv;
  s->id = srv->nextId++;
  s->width = le_width(srv->ctx);
  s->height = le_height(srv->ctx);
  s->ws = ws;
  g_object_ref(ws);
  // Pings keep the connection honest; a vanished client is closed and released.
  soup_websocket_connection_set_keepalive_interval(ws, 5);
  soup_websocket_connection_set_max_incoming_payload_size(ws, 1 << 20);
  le_utt_opts o{};
  o.motion_dir = srv->engine.c_str();
  o.threads = srv->threads;
  o.silence_end_s = -1;  // the server ends utterances itself, so it knows where each begins
  s->utt = le_utt_create(srv->ctx, &o);
  if (!s->utt) {
    const json j = {{"type", "error"}, {"message", std::string("serve: ") + le_utt_last_error()}};
    soup_websocket_connection_send_text(ws, j.dump().c_str());
    s->close();
    return;
  }
  try {
    buildPipeline(*s);
  } catch (const std::exception& e) {
    const json j = {{"type", "error"}, {"message", e.what()}};
    soup_websocket_connection_send_text(ws, j.dump().c_str());
    std::fprintf(stderr, "lecore: %s\n", e.what());
    s->close();
    return;
  }
  {
    std::lock_guard<std::mutex> l(srv->mu);
    srv->sessions[s->id] = s;
  }
  srv->sessionsTotal++;
  auto* ref = new WsRef{srv, s->id};
  g_signal_connect_data(ws, "message", G_CALLBACK(onWsMessage), ref, nullptr, GConnectFlags(0));
  g_signal_connect_data(ws, "closed", G_CALLBACK(onWsClosed), ref,
                        [](gpointer p, GClosure*) { delete static_cast<WsRef*>(p); }, GConnectFlags(0));
  sendNow(*s, {{"type", "hello"}, {"width", s->width}, {"height", s->height}, {"fps", 25}});
  s->pump = std::thread([s] { s->runPump(); });
  std::printf("serve: client %llu connected\n", (unsigned long long)s->id);
  std::fflush(stdout);
}

void onHttp(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer user) {
  auto* srv = static_cast<Server*>(user);
  if (path == std::string("/ws")) return;  // the WebSocket handler takes it from here
  if (soup_server_message_get_method(msg) != std::string("GET")) {
    soup_server_message_set_status(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, nullptr);
    return;
  }
  const std::string p = path;
  if (p == "/" || p == "/index.html") {
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_server_message_set_response(msg, "text/html; charset=utf-8", SOUP_MEMORY_STATIC, kPage, sizeof kPage - 1);
  } else if (p == "/status") {
    json st = {{"width", le_width(srv->ctx)},
               {"height", le_height(srv->ctx)},
               {"sessions_total", srv->sessionsTotal},
               {"refused", srv->refused},
               {"bad_messages", srv->badMessages},
               {"pipelines_alive", srv->pipelinesAlive.load()},
               {"last_session", srv->lastSession}};
    json cur = nullptr;
    {
      std::lock_guard<std::mutex> l(srv->mu);
      st["clients"] = srv->sessions.size();
      if (!srv->sessions.empty()) cur = sessionStatus(*srv->sessions.begin()->second);
    }
    st["session"] = cur;
    const std::string body = st.dump();
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_message_headers_append(soup_server_message_get_response_headers(msg), "Cache-Control", "no-store");
    soup_server_message_set_response(msg, "application/json", SOUP_MEMORY_COPY, body.data(), body.size());
  } else {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
  }
}

gboolean onSignal(gpointer data) {
  g_main_loop_quit(static_cast<GMainLoop*>(data));
  return G_SOURCE_CONTINUE;
}

struct CtxDel {
  void operator()(le_ctx* c) const { le_destroy(c); }
};

}  // namespace

int serve(const Args& a) {
  if (a.engine.empty()) throw UsageError("serve wants --engine DIR");
  if (a.port < 0 || a.port > 65535) throw UsageError("--port wants 0..65535");
  checkEngineDir(a.engine);
  GInetAddress* ia = g_inet_address_new_from_string(a.host.c_str());
  if (!ia) throw UsageError("--host wants an IP address, got '" + a.host + "'");
  // The port first: a port in use is told before the identity takes its time to load.
  Server srv;
  srv.engine = a.engine;
  srv.threads = a.threads;
  srv.loop = g_main_loop_new(nullptr, FALSE);
  srv.soup = soup_server_new("server-header", "lecore-serve", nullptr);
  auto abandon = [&](const std::string& why) {
    g_object_unref(srv.soup);
    g_main_loop_unref(srv.loop);
    throw Failure(why);
  };
  soup_server_add_websocket_handler(srv.soup, "/ws", nullptr, nullptr, onWebsocket, &srv, nullptr);
  soup_server_add_handler(srv.soup, nullptr, onHttp, &srv, nullptr);

  GSocketAddress* sa = g_inet_socket_address_new(ia, guint16(a.port));
  g_object_unref(ia);
  GError* err = nullptr;
  const gboolean ok = soup_server_listen(srv.soup, sa, SoupServerListenOptions(0), &err);
  g_object_unref(sa);
  if (!ok) {
    const std::string why = err ? err->message : "unknown";
    if (err) g_error_free(err);
    abandon("serve: cannot listen on " + a.host + ":" + std::to_string(a.port) + ": " + why);
  }
  std::unique_ptr<le_ctx, CtxDel> ctx(le_create(a.bundle.c_str(), a.model.c_str(), a.threads, a.ep.empty() ? nullptr : a.ep.c_str()));
  if (!ctx) abandon(le_last_error());
  // The director opens with the first client; a missing one is told now.
  const std::string director = "model_" + a.model + ".onnx";
  char where[4096];
  if (le_bundle_resolve_member(a.bundle.c_str(), director.c_str(), where, sizeof where) != 1)
    abandon("bundle " + a.bundle + ": no director " + director + " (--model " + a.model + ")");
  // Each client gets a pipeline of its own; the engine is opened once here so
  // that a wrong directory is told now, not in the browser.
  try {
    int nt = 0;
    if (probeEngine(a.engine, a.threads, a.ep, &nt).empty())
      throw Failure("engine " + a.engine + ": holds neither a2x_enc_stream.onnx (expression engine) nor meta.json (motion engine)");
  } catch (const Failure& e) {
    abandon(e.what());
  }
  // The media framework last: it keeps a registry cache under the user's home,
  // and nothing above should leave a trace when it fails.
  gst_init(nullptr, nullptr);
  for (const char* f : {"webrtcbin", "nicesrc", "vp8enc", "opusenc", "appsrc", "videoconvert", "rtpvp8pay", "rtpopuspay"}) {
    GstElementFactory* fac = gst_element_factory_find(f);
    if (!fac) abandon(std::string("serve: the media element '") + f + "' is missing (Debian: gstreamer1.0-plugins-base, -good, -bad, gstreamer1.0-nice)");
    gst_object_unref(fac);
  }
  srv.ctx = ctx.get();
  int port = a.port;
  GSList* uris = soup_server_get_uris(srv.soup);
  if (uris) port = g_uri_get_port(static_cast<GUri*>(uris->data));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));

  const guint hk = g_timeout_add(100, onHousekeeping, &srv);
  const guint s1 = g_unix_signal_add(SIGINT, onSignal, srv.loop);
  const guint s2 = g_unix_signal_add(SIGTERM, onSignal, srv.loop);
  std::printf("serve: %s (%dx%d) with the engine %s\n", a.bundle.c_str(), le_width(ctx.get()), le_height(ctx.get()),
              a.engine.c_str());
  std::printf("serve: open http://%s:%d/ (Ctrl-C stops)\n", a.host.find(':') != std::string::npos ? ("[" + a.host + "]").c_str() : a.host.c_str(), port);
  std::fflush(stdout);
  g_main_loop_run(srv.loop);

  // Orderly shutdown: every session released before the context goes.
  std::vector<uint64_t> ids;
  {
    std::lock_guard<std::mutex> l(srv.mu);
    for (auto& [id, s] : srv.sessions) ids.push_back(id);
  }
  for (uint64_t id : ids) dropSession(srv, id);
  g_source_remove(hk);
  g_source_remove(s1);
  g_source_remove(s2);
  soup_server_disconnect(srv.soup);
  g_object_unref(srv.soup);
  // Let queued sends and closes run out.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  g_main_loop_unref(srv.loop);
  std::printf("serve: stopped after %llu clients (%llu turned away); media pipelines still alive: %lld\n",
              (unsigned long long)srv.sessionsTotal, (unsigned long long)srv.refused, (long long)srv.pipelinesAlive.load());
  std::fflush(stdout);
  gst_deinit();
  return srv.pipelinesAlive.load() == 0 ? 0 : 1;
}

}  // namespace lecore
