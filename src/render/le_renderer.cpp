#include "render/le_renderer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/le_env.h"
#include "base/le_file.h"
#include "base/le_ort.h"
#include "compose/le_pool.h"
#include "compose/le_simd.h"
#include "graph/gridsample_fast.h"
#include "graph/head_cubic.h"
#include "graph/le_warp.h"
#include "graph/lip_bind.h"
#include "graph/source_cone.h"
#include "le/le.h"
#include "onnxruntime_cxx_api.h"
#include "ops/gridsample_fast.h"
#include "ops/int8conv_vnni.h"
#include "render/le_conv.h"
#include "tessera/le_lip_contour.h"

namespace le {

namespace {

// ---------------------------------------------------------------------------

constexpr int64_t kPooledElems = 65536;  // 64 x 32 x 32
constexpr int64_t kFsRedElems = 262144;  // 64 x 64 x 64
constexpr int64_t kKp = 63;              // kHostKpRows x 3

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The whole model file, its failures in the renderer's words.
std::vector<uint8_t> readModel(const std::string& path) {
  try {
    return readBytes(path);
  } catch (const std::runtime_error& e) {
    const std::string m = e.what();
    if (m.rfind("short read ", 0) == 0) throw std::runtime_error("Renderer: short read on " + path);
    throw std::runtime_error("Renderer: " + m);
  }
}

std::string kpContractText(const std::string& path, const std::string& input, int64_t rows) {
  const std::string k = std::to_string(kHostKpRows);
  std::string extra;
  if (rows == 22)
    extra = "That is the recipe_v4 / kd_v4 shape: row " + k +
            " is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second output. This engine has "
            "no width feed (see le_a2x_width / le_a2x_pull_wn in le/le_a2x.h, which nothing on this path "
            "calls yet), so it cannot drive this director. ";
  return "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path + " — the graph declares " + input + " with " +
         std::to_string(rows) + " keypoint rows, and this renderer feeds " + k + " (le::kHostKpRows, le/le.h). " +
         extra +
         "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been "
         "published to a host that links this renderer: training/recipe/host_kp_contract.py is the publish "
         "gate that exists to prevent it.";
}

// ---- The rewrite log -------------------------------------------------------
// Every load-time rewrite records what it did here, so whether the graph
// changed (and must be opened from memory) and what the log says about each
// rewrite are decided in one place.

enum class Rewrite { WarpNode, GridSample, StudentBlend, HeadCubic, LipContour, SourceConeHoist };

struct RewriteEntry {
  RewriteEntry(Rewrite r, size_t n, std::string why = {}, bool skip = false)
      : rewrite(r), count(n), reason(std::move(why)), skipped(skip) {}
  Rewrite rewrite;
  size_t count = 0;      // nodes changed; 0 when it declined
  std::string reason;    // why it declined, when it says
  bool skipped = false;  // not tried: an earlier rewrite already took its part of the graph
  std::string line;      // the line it prints, when it is not the standard one
};

// The line an entry prints, "" when it prints none.
std::string rewriteLine(const RewriteEntry& e, const std::string& key) {
  if (!e.line.empty()) return e.line;
  const std::string n = std::to_string(e.count);
  const std::string why = e.reason.empty() ? "no reason given" : e.reason;
  switch (e.rewrite) {
    case Rewrite::WarpNode:
      if (e.count > 0)
        return "[le] director warp -> com.corvane::WarpDirector (" + n +
               " nodes removed, the source cone with them)\n";
      return "[le] director warp NOT moved to one node (" + why + ") — the graph loads exactly as it did before\n";
    case Rewrite::GridSample:
      if (e.count == 0) return "";
      return "[le] std GridSample -> com.corvane::GridSampleFast load-time rewrite: " + n + " node(s) (" + key + ")\n";
    case Rewrite::StudentBlend:
      if (e.count == 0) return "";
      return "[le] L3 student blend MatMul -> Gemm load-time normalisation: " + n + " node(s) (" + key +
             ") — a pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML "
             "unit that includes the GPU\n";
    case Rewrite::HeadCubic:
      if (e.count == 0) return "";
      return "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: " + n +
             " node(s) (" + key +
             ") — the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every CPU-class EP and "
             "no CoreML/NNAPI EP can claim it\n";
    case Rewrite::LipContour:
      if (e.count > 0) return "";  // bindLipContour writes the line with the contour's figures
      return "[le] !!! lip contour NOT bound to the compose alpha (" + key + "): " + why +
             " — this session serves the graph's own ELLIPSE\n";
    case Rewrite::SourceConeHoist:
      if (e.skipped)
        return "[le] source-cone hoist SKIPPED (" + key +
               "): the warp node subsumes the cone — there is nothing left to hoist\n";
      if (e.count == 0 && !e.reason.empty())
        return "[le] source-cone hoist NOT applied (" + key + "): " + e.reason + "\n";
      return "";
  }
  return "";
}

// The warp node and the hoist, and a contour that did not bind, are told as
// they happen: later steps (and the reader of the log) depend on them. Counted
// graph changes are summed up once every rewrite has run.
bool toldAtOnce(const RewriteEntry& e) {
  return e.rewrite == Rewrite::WarpNode || e.rewrite == Rewrite::SourceConeHoist ||
         (e.rewrite == Rewrite::LipContour && e.count == 0);
}

class RewriteLog {
 public:
  explicit RewriteLog(std::string key) : key_(std::move(key)) {}

  // Records one rewrite's outcome; returns its count.
  size_t record(RewriteEntry e) {
    if (toldAtOnce(e)) print(e);
    entries_.push_back(std::move(e));
    return entries_.back().count;
  }
  size_t record(Rewrite r, size_t count, std::string reason = {}) {
    return record(RewriteEntry{r, count, std::move(reason)});
  }

  size_t count(Rewrite r) const {
    size_t n = 0;
    for (const RewriteEntry& e : entries_)
      if (e.rewrite == r) n += e.count;
    return n;
  }
  // Any rewrite changed the graph: it must be opened from the rewritten bytes.
  bool changedGraph() const {
    for (const RewriteEntry& e : entries_)
      if (e.count > 0) return true;
    return false;
  }
  // The lines not told at once, in the order the rewrites ran.
  void report() const {
    for (const RewriteEntry& e : entries_)
      if (!toldAtOnce(e)) print(e);
  }

 private:
  void print(const RewriteEntry& e) const {
    const std::string line = rewriteLine(e, key_);
    if (!line.empty()) std::fputs(line.c_str(), stderr);
  }

  std::string key_;
  std::vector<RewriteEntry> entries_;
};

// LE_WARP_NODE (set, and not starting '0') moves the director's warp into one
// custom node; never under CoreML, which cannot run it.
// The node lives in the com.corvane domain, which LE_GS_FAST=0 leaves
// unregistered: a graph rewritten to it then could not load.
void rewriteWarpNode(std::vector<uint8_t>& bytes, bool coreml, bool corvaneDomain, RewriteLog& log) {
  const char* w = env::text("LE_WARP_NODE");
  if (!w || w[0] == '0' || coreml) return;
  if (!corvaneDomain) {
    log.record(Rewrite::WarpNode, 0, "LE_GS_FAST=0 leaves the com.corvane domain unregistered");
    return;
  }
  std::string reason;
  const size_t count = rewriteWarpBlockToCustomOp(bytes, reason);
  log.record(Rewrite::WarpNode, count, reason);
}

// ---------------------------------------------------------------------------

// The execution provider the director session was given.
struct DirectorEp {
  bool coreml = false;
  std::string units = "all";  // CoreML's unit set
};

// The model bytes the rewrites work on.
struct LoadedModel {
  std::vector<uint8_t> bytes;
  bool gsRewrite = false;  // rewrite standard GridSample to the custom op
  bool corvane = false;    // the com.corvane domain is registered
};

}  // namespace

// One slot of the source-cone ring: the boundary tensor of one source frame.
struct ConeSlot {
  int32_t frame = -1;
  std::vector<float> data;
  Ort::Value value{nullptr};
};

struct Renderer::Impl {
  std::string ep;
  Ort::SessionOptions sessionOptions;
  std::unique_ptr<Ort::Session> session;
  std::unique_ptr<Ort::IoBinding> binding;
  Ort::RunOptions runOptions;
  bool profiling = false;
  double runMsTotal = 0.0;
  int64_t runCount = 0;
  const Identity* identity = nullptr;
  int32_t batch = 0;
  int32_t crop = 0;
  int64_t pooledElems = kPooledElems;
  int64_t pElems = 0;
  int64_t fsRedElems = kFsRedElems;
  bool fsRedMode = false;
  std::vector<float> pooledBuf, pBuf, fsRedBuf, kpDrivingBuf, kpSourceBuf, outBuf;
  std::vector<Ort::Value> values;
  std::unique_ptr<tessera::LipContour> lipContour;
  std::vector<float> lipCanvas;
  bool lipBound = false;
  std::unique_ptr<ConvBackend> convBackend;
  std::string directorNote;
  // The hoisted source cone (empty when the hoist is not applied).
  Ort::SessionOptions prepOptions{nullptr};
  std::unique_ptr<Ort::Session> prepSession;
  std::unique_ptr<Ort::IoBinding> prepBinding;
  Ort::Value prepPrgb{nullptr};
  std::string boundaryName;
  int64_t boundaryElems = 0;
  std::vector<std::unique_ptr<ConeSlot>> ring;
  std::thread prefetchThread;
  std::mutex ringMutex;
  std::condition_variable ringCv;
  int32_t prefetchFrame = -1, prefetchSlot = -1;
  int32_t inUseSlot = -1;
  bool stopping = false;
  std::string prepError;
  int32_t lastFrame = -1, step = 1;
  bool wrapMode = false;
  int64_t ringHits = 0, ringMisses = 0;
  std::vector<int64_t> boundaryDims;

  bool fromBytes = false;
  int threads = 0;

  ~Impl();
  void build(const Manifest& m, const std::string& modelKey, int threads, std::string epArg);

  // The construction steps, in the order build() takes them.
  void resolveConvBackend(const std::string& path, int threads, std::string& epArg);
  void makeSessionOptions(int threads);
  DirectorEp appendExecutionProvider(const Manifest& m, const std::string& epArg);
  LoadedModel registerOperatorsAndReadModel(const std::string& path, const std::string& modelKey, bool coreml);
  void bindLipContour(std::vector<uint8_t>& bytes, const std::string& modelKey, RewriteLog& log);
  void analyseSourceConeHoist(std::vector<uint8_t>& bytes, const DirectorEp& dep, const std::string& modelKey,
                              RewriteLog& log);
  std::string splitSourceCone(std::vector<uint8_t>& bytes, const std::string& modelKey);
  void startPrefetch();

  // The hoisted path.
  void convertSource(int frame, float* dst);
  int acquire(int frame);
  void runPrepL(int frame, int slot, std::unique_lock<std::mutex>& lock);
  int predictNext(int v);
  void postPrefetch(int frame);
  void prefetchLoop();
  const float* renderHoisted(int v, const float* kpSource, const float* kpDriving);
  const float* run();
  void openDirector(const std::string& path, std::vector<uint8_t>& bytes, bool rewritten, const std::string& epArg,
                    bool coreml);
  void readInputs(const std::string& path);
  void allocateAndBind();
};

Renderer::Impl::~Impl() {
  {
    std::lock_guard<std::mutex> lk(ringMutex);
    stopping = true;
  }
  ringCv.notify_all();
  if (prefetchThread.joinable()) prefetchThread.join();
  if (profiling) {
    if (runCount >= 1)
      std::fprintf(stderr, "[le_ort_profile] %ld frames: %.2f ms/frame in Session::Run\n", long(runCount),
                   runMsTotal / double(runCount));
    if (session) {
      try {
        Ort::AllocatorWithDefaultOptions alloc;
        auto file = session->EndProfilingAllocated(alloc);
        std::fprintf(stderr, "[le_ort_profile] %s\n", file.get());
      } catch (const std::exception& e) {
        std::fprintf(stderr, "[le_ort_profile] FAILED: %s\n", e.what());
      }
    }
  }
}

void Renderer::Impl::build(const Manifest& m, const std::string& modelKey, int threads, std::string epArg) {
  const std::string path = m.modelPath(modelKey);
  resolveConvBackend(path, threads, epArg);
  if (!m.lipTemplate.empty())
    lipContour = std::make_unique<tessera::LipContour>(tessera::LipContour::fromTemplateJson(m.lipTemplate, crop));
  makeSessionOptions(threads);
  const DirectorEp dep = appendExecutionProvider(m, epArg);
  LoadedModel model = registerOperatorsAndReadModel(path, modelKey, dep.coreml);
  std::vector<uint8_t>& bytes = model.bytes;

  // The load-time rewrites, in this order, on one byte vector.
  RewriteLog log(modelKey);
  rewriteWarpNode(bytes, dep.coreml, model.corvane, log);
  if (!dep.coreml && model.gsRewrite) log.record(Rewrite::GridSample, rewriteGridSampleToFast(bytes));
  log.record(Rewrite::StudentBlend, normaliseStudentBlend(bytes));
  log.record(Rewrite::HeadCubic, rewriteHeadCubicResize(bytes));
  bindLipContour(bytes, modelKey, log);
  analyseSourceConeHoist(bytes, dep, modelKey, log);
  log.report();

  openDirector(path, bytes, log.changedGraph(), epArg, dep.coreml);
  readInputs(path);
  allocateAndBind();
}

// NEON: asked for by name, or by LE_CONV_BACKEND with no EP at all. Where it is
// unavailable the request falls back to the ORT CPU EP.
void Renderer::Impl::resolveConvBackend(const std::string& path, int threads, std::string& epArg) {
  if (epArg != "neon" && !(epArg.empty() && env::is("LE_CONV_BACKEND", "neon"))) return;
  if (ConvBackend::available()) {
    convBackend = ConvBackend::create(path, threads);
  } else {
    std::fprintf(stderr, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
    epArg.clear();
  }
}

void Renderer::Impl::makeSessionOptions(int threads) {
  ort::SessionSpec spec;
  spec.intraThreads = threads;
  spec.interThreads = 1;
  spec.level = ORT_ENABLE_ALL;
  spec.spinning = env::startsWith("LE_ORT_SPIN", '1');
  spec.disableKleidiai = true;
  if (const char* prof = env::text("LE_ORT_PROFILE")) spec.profilePrefix = prof;
  profiling = !spec.profilePrefix.empty();
  sessionOptions = ort::sessionOptions(spec);
}

// Refusals first: an EP that would crash on the custom-domain nodes, then any
// EP this renderer does not know.
DirectorEp Renderer::Impl::appendExecutionProvider(const Manifest& m, const std::string& epArg) {
  DirectorEp d;
  if (epArg.empty()) return d;
  if (startsWith(epArg, "xnnpack"))
    throw std::runtime_error(
        "Renderer: ep '" + epArg +
        "' is REFUSED. This renderer rewrites its graph to Corvane custom-domain nodes "
        "(com.corvane::GridSampleFast, and com.corvane::WarpDirector wherever LE_WARP_NODE is on), and ORT's "
        "XNNPACK execution provider SEGFAULTS while partitioning a graph that carries them — measured "
        "2026-09-15 on a published quenzal2-android AAR, null deref inside libonnxruntime.so at session "
        "create, on both a door-served and a hand-staged copy of the same identity. It is a signal, not an "
        "exception, so it cannot be caught and reported. Use the default ep (\"\", the ORT CPU EP), which "
        "opens the same bundle on the same bytes.");
  if (!startsWith(epArg, "coreml")) throw std::runtime_error("Renderer: unknown ep '" + epArg + "'");
  d.coreml = true;
  d.units = ort::coremlUnits(epArg);
  ort::appendCoreml(sessionOptions, d.units, coremlCacheDir(m.dir));
  return d;
}

// The custom operators (GridSampleFast unless LE_GS_FAST=0), and the model
// bytes the rewrites work on. Without the operator a graph that has it baked
// in could only die inside ORT, so it is refused here.
LoadedModel Renderer::Impl::registerOperatorsAndReadModel(const std::string& path, const std::string& modelKey,
                                                          bool coreml) {
  LoadedModel model;
  if (!env::startsWith("LE_GS_FAST", '0')) {
    model.gsRewrite = !env::startsWith("LE_GS_REWRITE", '0');
    if (!model.gsRewrite && !coreml)
      std::fprintf(stderr,
                   "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.corvane::GridSampleFast rewrite DISABLED "
                   "(%s); the custom op is still registered, so a baked bundle loads and runs its baked kernel. A "
                   "standard bundle now runs ORT's own GridSample.\n",
                   modelKey.c_str());
    registerGridSampleFast(sessionOptions);
    registerInt8ConvVNNI(sessionOptions);
    model.corvane = true;
    model.bytes = readModel(path);
  } else {
    model.bytes = readModel(path);
    if (graphHasBakedGridSampleFast(model.bytes))
      throw std::runtime_error(
          "Renderer: LE_GS_FAST=0 (or CORVANE_QUENZAL2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " +
          path +
          " has com.corvane::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op "
          "registration, so there would be no kernel to bind and this session would die inside ORT with "
          "'GridSampleFast(-1) is not a registered function/op'. There is no standard-GridSample arm on this "
          "bundle to measure: the artifact itself is non-standard. Run the A/B on a STANDARD-ONNX bundle (the "
          "shipping format since INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.");
    registerInt8ConvVNNI(sessionOptions);
  }
  return model;
}

// With a lip template the director's compose alpha is limited by the
// identity's own lip contour; without one the director keeps its ellipse.
void Renderer::Impl::bindLipContour(std::vector<uint8_t>& bytes, const std::string& modelKey, RewriteLog& log) {
  lipBound = false;
  if (!lipContour) {
    std::fprintf(stderr,
                 "[le] !!! compose alpha: ELLIPSE (%s) — this bundle carries no %s, so the director generates the "
                 "over-covering elliptical region the contour replaces. BACKFILL IT: "
                 "models/quenzal-2/tools/carry_lip_template_fleet.py\n",
                 modelKey.c_str(), "lip_template.v1.json");
    return;
  }
  std::string reason;
  int canvasW = 0, canvasH = 0;
  const size_t count = rewriteBindLipContour(bytes, reason, &canvasW, &canvasH);
  if (count > 0 && canvasW != crop)
    throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(canvasW) +
                             " and this bundle's manifest declares crop " + std::to_string(crop) +
                             " — refusing to bind a lip contour rasterised on the wrong canvas");
  RewriteEntry e{Rewrite::LipContour, count, reason};
  if (count > 0) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "[le] compose alpha: LIP CONTOUR (%s) — Min(a, lip_delivery) bound at load, %d verts, feather "
                  "%.1f px; the graph's ellipse is not reachable in this session\n",
                  modelKey.c_str(), int(lipContour->nv), double(lipContour->feather_px));
    e.line = line;
  }
  lipBound = log.record(std::move(e)) > 0;
}

// Source-cone hoist: when the warp node did not take the cone and the EP
// keeps the graph on the CPU, split the director so the part that depends only
// on the source frame runs once per source frame, on a spare core.
void Renderer::Impl::analyseSourceConeHoist(std::vector<uint8_t>& bytes, const DirectorEp& dep,
                                            const std::string& modelKey, RewriteLog& log) {
  prepSession.reset();
  boundaryName.clear();
  boundaryElems = 0;
  if (log.count(Rewrite::WarpNode) > 0) {
    log.record(RewriteEntry{Rewrite::SourceConeHoist, 0, {}, /*skipped=*/true});
  } else if (dep.coreml && (dep.units == "all" || dep.units == "gpu")) {
    log.record(Rewrite::SourceConeHoist, 0,
               "CoreML unit set '" + dep.units +
                   "' can place the director on the GPU and the 12.58 MB boundary input would cross that partition "
                   "every frame (measured 0.61x on an M4) — the cone stays in the graph");
  } else if ((identity->hasP() || identity->priorFromMovie()) && !bytes.empty()) {
    const std::string reason = splitSourceCone(bytes, modelKey);
    if (!reason.empty()) {
      prepSession.reset();
      boundaryName.clear();
      boundaryElems = 0;
      boundaryDims.clear();
    }
    log.record(Rewrite::SourceConeHoist, reason.empty() ? 1 : 0, reason);
  }
}

// Builds the prep session and replaces bytes by the per-frame graph; returns
// "" on success, else why the cone stays in the graph (bytes untouched).
std::string Renderer::Impl::splitSourceCone(std::vector<uint8_t>& bytes, const std::string& modelKey) {
  std::string name, reason;
  const size_t found = findSourceConeBoundary(bytes, name);
  if (found != 1) return "expected exactly one Concat consuming P_rgb, found " + std::to_string(found);
  std::vector<uint8_t> prepBytes;
  if (!buildSourceConePrep(bytes, name, prepBytes, reason)) return reason;
  std::vector<int64_t> dims;
  try {
    ort::SessionSpec spec;
    spec.intraThreads = 1;
    spec.interThreads = 1;
    spec.level = ORT_ENABLE_ALL;
    spec.disableKleidiai = true;
    prepOptions = ort::sessionOptions(spec);
    // The cone may hold the library's own nodes too.
    registerGridSampleFast(prepOptions);
    registerInt8ConvVNNI(prepOptions);
    prepSession = ort::open(prepBytes, prepOptions);
    const std::vector<int64_t> in = prepSession->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    if (in.size() != 4 || in[0] != 1)
      return "batch-1 lever; this graph declares batch " + std::to_string(in.empty() ? 0 : in[0]);
    dims = prepSession->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    bool fixed = dims.size() == 4;
    for (int64_t d : dims) fixed = fixed && d > 0;
    if (!fixed) {
      // The prep graph declares its output symbolic, and the runtime may not
      // infer it: one run on a blank frame tells the shape.
      const std::vector<int64_t> shape{1, in[1] > 0 ? in[1] : 3, in[2] > 0 ? in[2] : crop, in[3] > 0 ? in[3] : crop};
      std::vector<float> blank(size_t(shape[0] * shape[1] * shape[2] * shape[3]), 0.f);
      Ort::Value x = Ort::Value::CreateTensor<float>(ort::cpuMemory(), blank.data(), blank.size(), shape.data(), 4);
      const char* inName = "P_rgb";
      const char* outName = name.c_str();
      auto out = prepSession->Run(Ort::RunOptions{nullptr}, &inName, &x, 1, &outName, 1);
      dims = out[0].GetTensorTypeAndShapeInfo().GetShape();
      fixed = dims.size() == 4;
      for (int64_t d : dims) fixed = fixed && d > 0;
      if (!fixed) return "boundary shape is not static";
      std::fprintf(stderr,
                   "[le] source-cone hoist: the prep graph leaves '%s' symbolic; its shape [%lld,%lld,%lld,%lld] "
                   "was taken from one run on a blank frame (%s)\n",
                   name.c_str(), (long long)dims[0], (long long)dims[1], (long long)dims[2], (long long)dims[3],
                   modelKey.c_str());
    }
  } catch (const Ort::Exception& e) {
    return e.what();
  }
  std::vector<uint8_t> perFrame;
  if (!buildSourceConePerFrame(bytes, name, dims.data(), 4, perFrame, reason)) return reason;
  bytes.swap(perFrame);
  boundaryName = name;
  boundaryDims = dims;
  boundaryElems = dims[0] * dims[1] * dims[2] * dims[3];
  std::fprintf(stderr,
               "[le] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is prefetched per "
               "SOURCE FRAME on one spare core (%s)\n",
               name.c_str(), (long long)dims[0], (long long)dims[1], (long long)dims[2], (long long)dims[3],
               modelKey.c_str());
  return "";
}

// Untouched graphs open from their file, rewritten ones from memory.
void Renderer::Impl::openDirector(const std::string& path, std::vector<uint8_t>& bytes, bool rewritten,
                                  const std::string& epArg, bool coreml) {
  fromBytes = rewritten;
  session = fromBytes ? ort::open(bytes, sessionOptions) : ort::open(path, sessionOptions);
  std::vector<uint8_t>().swap(bytes);
  ep = epArg.empty() ? "cpu" : epArg;
  std::fprintf(stderr, "[le] director ep=%s (%s)\n", ep.c_str(),
               coreml ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph"
                      : "ORT CPU EP");
}

// The graph's kind (fs_red or P_rgb), its batch, and the host keypoint contract.
void Renderer::Impl::readInputs(const std::string& path) {
  const size_t nIn = session->GetInputCount();
  std::vector<std::string> names(nIn);
  std::vector<std::vector<int64_t>> shapes(nIn);
  for (size_t i = 0; i < nIn; ++i) {
    names[i] = ort::ioName(*session, i, true);
    auto info = session->GetInputTypeInfo(i);
    if (info.GetONNXType() == ONNX_TYPE_TENSOR) shapes[i] = info.GetTensorTypeAndShapeInfo().GetShape();
    if (names[i] == "fs_red") fsRedMode = true;
  }
  const std::string batchName = fsRedMode ? "pooled" : "pooled64";
  const std::string kdName = fsRedMode ? "kd" : "kp_driving";
  const std::string ksName = fsRedMode ? "ks" : "kp_source";
  for (size_t i = 0; i < nIn; ++i)
    if (names[i] == batchName && shapes[i].size() == 4 && shapes[i][0] > 0) batch = int32_t(shapes[i][0]);
  if (batch <= 0) throw std::runtime_error(batchName + " input not found / bad shape");
  for (const std::string* kp : {&kdName, &ksName})
    for (size_t i = 0; i < nIn; ++i)
      if (names[i] == *kp && shapes[i].size() == 3 && shapes[i][1] > 0 && shapes[i][1] != kHostKpRows)
        throw std::runtime_error(kpContractText(path, *kp, shapes[i][1]));
}

// Every buffer sized once for the batch and bound once, so a frame only fills and runs.
void Renderer::Impl::allocateAndBind() {
  const size_t B = size_t(batch);
  pooledBuf.assign(B * kPooledElems, 0.f);
  kpDrivingBuf.assign(B * kKp, 0.f);
  kpSourceBuf.assign(B * kKp, 0.f);
  outBuf.assign(B * size_t(pElems), 0.f);
  if (fsRedMode) {
    if (!identity->hasFsRed()) throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
    fsRedBuf.assign(B * kFsRedElems, 0.f);
  } else {
    if (!identity->hasP() && !identity->priorFromMovie())
      throw std::runtime_error(
          "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
          "P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an "
          "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a "
          "session.");
    pBuf.assign(B * size_t(pElems), 0.f);
  }

  const Ort::MemoryInfo& mem = ort::cpuMemory();
  binding = std::make_unique<Ort::IoBinding>(*session);
  const int64_t S = crop, b = batch;
  auto bindIn = [&](const char* name, std::vector<float>& buf, std::vector<int64_t> shape) {
    values.push_back(Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size()));
    binding->BindInput(name, values.back());
  };
  values.reserve(7);
  if (fsRedMode) {
    bindIn("fs_red", fsRedBuf, {b, 64, 64, 64});
    bindIn("pooled", pooledBuf, {b, 64, 32, 32});
    bindIn("kd", kpDrivingBuf, {b, kHostKpRows, 3});
    bindIn("ks", kpSourceBuf, {b, kHostKpRows, 3});
  } else {
    bindIn("pooled64", pooledBuf, {b, 64, 32, 32});
    if (!prepSession) bindIn("P_rgb", pBuf, {b, 3, S, S});  // hoisted: the boundary is bound per frame
    bindIn("kp_driving", kpDrivingBuf, {b, kHostKpRows, 3});
    bindIn("kp_source", kpSourceBuf, {b, kHostKpRows, 3});
  }
  const std::vector<int64_t> outShape{b, 3, S, S};
  values.push_back(Ort::Value::CreateTensor<float>(mem, outBuf.data(), outBuf.size(), outShape.data(), 4));
  binding->BindOutput("rgb", values.back());
  // Bound in either graph kind: a bound input left unfed would fail every run.
  if (lipBound) {
    lipCanvas.assign(B * size_t(S) * size_t(S), 1.0f);
    bindIn("lip_delivery", lipCanvas, {b, 1, S, S});
  }
  if (prepSession) startPrefetch();
}

// The two ring slots, the prep session's binding over pBuf, and the worker.
void Renderer::Impl::startPrefetch() {
  const Ort::MemoryInfo& mem = ort::cpuMemory();
  for (int k = 0; k < 2; ++k) {
    auto slot = std::make_unique<ConeSlot>();
    slot->data.assign(size_t(boundaryElems), 0.f);
    slot->value = Ort::Value::CreateTensor<float>(mem, slot->data.data(), slot->data.size(), boundaryDims.data(),
                                                  boundaryDims.size());
    ring.push_back(std::move(slot));
  }
  prepBinding = std::make_unique<Ort::IoBinding>(*prepSession);
  const int64_t S = crop;
  const std::vector<int64_t> pShape{1, 3, S, S};
  prepPrgb = Ort::Value::CreateTensor<float>(mem, pBuf.data(), size_t(pElems), pShape.data(), 4);
  prepBinding->BindInput("P_rgb", prepPrgb);
  prefetchThread = std::thread([this] { prefetchLoop(); });
}

// ---- The hoisted path ------------------------------------------------------

void Renderer::Impl::convertSource(int frame, float* dst) {
  auto lock = identity->lockSourceFrames();
  simd::f16ToF32(identity->P(frame), dst, size_t(pElems));
}

void Renderer::Impl::runPrepL(int frame, int slot, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::string err;
  try {
    convertSource(frame, pBuf.data());
    prepBinding->BindOutput(boundaryName.c_str(), ring[size_t(slot)]->value);
    prepSession->Run(Ort::RunOptions{nullptr}, *prepBinding);
  } catch (const std::exception& e) {
    err = e.what();
    if (err.empty()) err = "unknown error";
  }
  lock.lock();
  if (err.empty())
    ring[size_t(slot)]->frame = frame;
  else if (prepError.empty())
    prepError = err;
}

int Renderer::Impl::acquire(int frame) {
  std::unique_lock<std::mutex> lock(ringMutex);
  inUseSlot = -1;
  bool computed = false;  // a miss is not also a hit
  for (;;) {
    if (!prepError.empty()) throw std::runtime_error("Renderer: the hoisted source cone failed in ORT — " + prepError);
    for (size_t i = 0; i < ring.size(); ++i)
      if (ring[i]->frame == frame) {
        if (!computed) ringHits += 1;
        inUseSlot = int(i);
        return int(i);
      }
    if (prefetchFrame >= 0) {
      ringCv.wait(lock);
      continue;
    }
    int slot = -1;
    for (size_t i = 0; i < ring.size() && slot < 0; ++i)
      if (int(i) != inUseSlot && ring[i]->frame != frame) slot = int(i);
    if (slot < 0) throw std::runtime_error("Renderer: source-cone ring exhausted");
    ringMisses += 1;
    computed = true;
    ring[size_t(slot)]->frame = -1;
    runPrepL(frame, slot, lock);
  }
}

// The source frame the next render will most likely ask for: playback runs
// forward and back (bounce) until it is seen wrapping from the last frame to
// the first (loop).
int Renderer::Impl::predictNext(int v) {
  const int prev = lastFrame;
  lastFrame = v;
  const int N = identity ? identity->nt() : 0;
  if (N <= 1) return v;
  auto mod = [N](int q) { return ((q % N) + N) % N; };
  if (prev == N - 1 && v == 0) {
    wrapMode = true;
    if (N == 2) step = -1;
    return mod(step);
  }
  if (prev >= 0 && (v - prev == 1 || v - prev == -1)) step = v - prev;
  const int q = v + step;
  if (wrapMode) return mod(q);
  if (q >= N) return N - 2;
  if (q < 0) return 1;
  return q;
}

void Renderer::Impl::postPrefetch(int frame) {
  {
    std::lock_guard<std::mutex> lock(ringMutex);
    if (prefetchFrame >= 0 || !prepError.empty()) return;
    for (const auto& slot : ring)
      if (slot->frame == frame) return;
    int chosen = -1;
    for (size_t i = 0; i < ring.size() && chosen < 0; ++i)
      if (int(i) != inUseSlot && ring[i]->frame != frame) chosen = int(i);
    if (chosen < 0) return;
    ring[size_t(chosen)]->frame = -1;
    prefetchSlot = chosen;
    prefetchFrame = frame;
  }
  ringCv.notify_one();
}

void Renderer::Impl::prefetchLoop() {
  std::unique_lock<std::mutex> lock(ringMutex);
  while (!stopping) {
    while (prefetchFrame >= 0) {
      runPrepL(prefetchFrame, prefetchSlot, lock);
      prefetchFrame = -1;
      prefetchSlot = -1;
      ringCv.notify_all();
      if (stopping) return;
    }
    ringCv.wait(lock);
  }
}

Renderer::Renderer(const Manifest& m, const Identity& id, const std::string& modelKey, int threads,
                   const std::string& ep)
    : impl_(std::make_unique<Impl>()) {
  impl_->identity = &id;
  impl_->crop = m.crop;
  impl_->pElems = int64_t(m.crop) * m.crop * 3;
  if (threads < 1) threads = pool::threads();
  impl_->threads = threads;
  impl_->build(m, modelKey, threads, ep);
}

Renderer::~Renderer() = default;

const float* Renderer::render(const int* idx, const float* kpSource, const float* kpDriving, int n) {
  Impl& r = *impl_;
  if (n < 1 || n > r.batch) throw std::runtime_error("render: bad n");
  // An index outside the identity would read past the end of its mappings.
  const int nt = r.identity->nt();
  for (int k = 0; k < n; ++k)
    if (idx[k] < 0 || idx[k] >= nt)
      throw std::runtime_error("render: source frame " + std::to_string(idx[k]) + " outside [0, " +
                               std::to_string(nt) + ")");
  if (r.prepSession) return r.renderHoisted(idx[0], kpSource, kpDriving);

  const size_t P = size_t(r.pElems);
  for (int j = 0; j < r.batch; ++j) {
    const int c = std::min(j, n - 1);
    float* pooled = r.pooledBuf.data() + size_t(j) * kPooledElems;
    if (j < n) {
      simd::f16ToF32(r.identity->pooled64(idx[c]), pooled, kPooledElems);
      if (r.fsRedMode)
        simd::f16ToF32(r.identity->fsRed(idx[c]), r.fsRedBuf.data() + size_t(j) * kFsRedElems, kFsRedElems);
      else
        r.convertSource(idx[c], r.pBuf.data() + size_t(j) * P);
    } else {
      // Padding slot: repeat the last real one without converting again.
      std::memcpy(pooled, r.pooledBuf.data() + size_t(n - 1) * kPooledElems, kPooledElems * sizeof(float));
      if (r.fsRedMode)
        std::memcpy(r.fsRedBuf.data() + size_t(j) * kFsRedElems, r.fsRedBuf.data() + size_t(n - 1) * kFsRedElems,
                    kFsRedElems * sizeof(float));
      else
        std::memcpy(r.pBuf.data() + size_t(j) * P, r.pBuf.data() + size_t(n - 1) * P, P * sizeof(float));
    }
    std::memcpy(r.kpSourceBuf.data() + size_t(j) * kKp, kpSource + size_t(c) * kKp, kKp * sizeof(float));
    std::memcpy(r.kpDrivingBuf.data() + size_t(j) * kKp, kpDriving + size_t(c) * kKp, kKp * sizeof(float));
    if (r.lipBound) {
      const size_t SS = size_t(r.crop) * size_t(r.crop);
      float* lip = r.lipCanvas.data() + size_t(j) * SS;
      if (j < n)
        r.lipContour->contourF32Canvas(kpDriving + size_t(c) * kKp, lip);
      else
        std::memcpy(lip, r.lipCanvas.data() + size_t(n - 1) * SS, SS * sizeof(float));
    }
  }

  return r.run();
}

const float* Renderer::Impl::run() {
  const auto t0 = std::chrono::steady_clock::now();
  session->Run(runOptions, *binding);
  const auto t1 = std::chrono::steady_clock::now();
  runCount += 1;
  runMsTotal += std::chrono::duration<double, std::milli>(t1 - t0).count();
  return outBuf.data();
}

// One frame: its source cone from the ring (computed now only on a miss), the
// next one requested for the worker, then the per-frame graph.
const float* Renderer::Impl::renderHoisted(int v, const float* kpSource, const float* kpDriving) {
  const int s = acquire(v);
  binding->BindInput(boundaryName.c_str(), ring[size_t(s)]->value);
  simd::f16ToF32(identity->pooled64(v), pooledBuf.data(), kPooledElems);
  std::memcpy(kpSourceBuf.data(), kpSource, kKp * sizeof(float));
  std::memcpy(kpDrivingBuf.data(), kpDriving, kKp * sizeof(float));
  if (lipBound) lipContour->contourF32Canvas(kpDriving, lipCanvas.data());
  postPrefetch(predictNext(v));
  return run();
}

int Renderer::batch() const { return impl_->batch; }
const char* Renderer::ep() const { return impl_->ep.c_str(); }
const char* Renderer::backend() const { return impl_->convBackend ? "neon" : "ort"; }
const char* Renderer::directorNote() const { return impl_->directorNote.c_str(); }
int Renderer::threads() const { return impl_->threads; }
double Renderer::runMsTotal() const { return impl_->runMsTotal; }
int64_t Renderer::runCount() const { return impl_->runCount; }
bool Renderer::featSynth() const { return impl_->fsRedMode; }
bool Renderer::openedFromBytes() const { return impl_->fromBytes; }
bool Renderer::hoisted() const { return impl_->prepSession != nullptr; }
int64_t Renderer::ringHits() const {
  std::lock_guard<std::mutex> lock(impl_->ringMutex);
  return impl_->ringHits;
}
int64_t Renderer::ringMisses() const {
  std::lock_guard<std::mutex> lock(impl_->ringMutex);
  return impl_->ringMisses;
}
bool Renderer::lipBound() const { return impl_->lipBound; }

}  // namespace le
