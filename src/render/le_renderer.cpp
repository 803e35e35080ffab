#include "render/le_renderer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/le_file.h"
#include "base/le_ort.h"
#include "compose/le_pool.h"
#include "compose/le_simd.h"
#include "graph/gridsample_fast.h"
#include "le/le.h"
#include "onnxruntime_cxx_api.h"
#include "ops/gridsample_fast.h"
#include "ops/int8conv_vnni.h"
#include "render/le_conv.h"

namespace le {

namespace tessera {
// The lip contour template (lip_template.v1.json). Its reader is not part of
// the library yet, so a renderer never holds one: the field stays empty.
class LipContour;
}  // namespace tessera

namespace {

// ---- Load-time rewrites the library does not carry yet -------------------
// Each reports that it changed nothing, so the graph loads exactly as it
// arrived and the renderer prints what it prints for an untouched graph. The
// real rewrites replace these bodies; the call sites stay as they are.

size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& /*model*/, std::string& reason) {
  reason.clear();
  return 0;
}
size_t normaliseStudentBlend(std::vector<uint8_t>& /*model*/) { return 0; }
size_t rewriteHeadCubicResize(std::vector<uint8_t>& /*model*/) { return 0; }
size_t rewriteBindLipContour(std::vector<uint8_t>& /*model*/, std::string& reason, int* canvasW,
                             int* canvasH) {
  reason.clear();
  *canvasW = 0;
  *canvasH = 0;
  return 0;
}

// ---------------------------------------------------------------------------

constexpr int64_t kPooledElems = 65536;  // 64 x 32 x 32
constexpr int64_t kFsRedElems = 262144;  // 64 x 64 x 64
constexpr int64_t kKp = 63;              // kHostKpRows x 3

bool envFirstIs(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

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

}  // namespace

// One slot of the source-cone ring (used once the hoist is in the library).
struct ConeSlot {
  int32_t frame = -1;
  std::vector<float> data;
  Ort::Value value{nullptr};
};

struct Renderer::Impl {
  std::string ep;
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le"};
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
  std::unique_ptr<tessera::LipContour, void (*)(tessera::LipContour*)> lipContour{nullptr,
                                                                                  [](tessera::LipContour*) {}};
  std::vector<float> lipCanvas;
  bool lipBound = false;
  std::unique_ptr<ConvBackend> convBackend;
  std::string directorNote;
  // The hoisted source cone: inactive until the hoist is in the library.
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

  bool fromBytes = false;
  int threads = 0;

  ~Impl();
  void build(const Manifest& m, const std::string& modelKey, int threads, std::string epArg);
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

  // NEON: asked for by name, or by LE_CONV_BACKEND with no EP at all.
  const char* convEnv = std::getenv("LE_CONV_BACKEND");
  if (epArg == "neon" || (epArg.empty() && convEnv && std::strcmp(convEnv, "neon") == 0)) {
    if (ConvBackend::available()) {
      convBackend = ConvBackend::create(path, threads);
    } else {
      std::fprintf(stderr, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
      epArg.clear();
    }
  }

  // A lip template in the manifest is not read yet: there is no contour reader
  // in the library, so the bundle is served as one without a contour and the
  // director keeps its own ellipse (the ELLIPSE line below says so).

  // Session options.
  prepSession.reset();
  boundaryName.clear();
  boundaryElems = 0;
  sessionOptions = Ort::SessionOptions();
  sessionOptions.SetIntraOpNumThreads(threads);
  sessionOptions.SetInterOpNumThreads(1);
  sessionOptions.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  if (!envFirstIs("LE_ORT_SPIN", '1')) sessionOptions.AddConfigEntry("session.intra_op.allow_spinning", "0");
  sessionOptions.AddConfigEntry("mlas.disable_kleidiai", "1");
  if (const char* prof = std::getenv("LE_ORT_PROFILE"); prof && *prof) {
    sessionOptions.EnableProfiling(prof);
    profiling = true;
  }

  // Execution provider.
  const bool coreml = startsWith(epArg, "coreml");
  std::string units = "all";
  if (!epArg.empty()) {
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
    if (!coreml) throw std::runtime_error("Renderer: unknown ep '" + epArg + "'");
    // "coreml", one separator of any kind, then the unit name.
    if (epArg.size() >= 8) {
      const std::string u = epArg.substr(7);
      if (u == "cpu" || u == "gpu" || u == "ane") units = u;
    }
    std::unordered_map<std::string, std::string> opts;
    opts["ModelFormat"] = "MLProgram";
    opts["MLComputeUnits"] = units == "cpu"   ? "CPUOnly"
                             : units == "gpu" ? "CPUAndGPU"
                             : units == "ane" ? "CPUAndNeuralEngine"
                                              : "ALL";
    opts["ModelCacheDirectory"] = coremlCacheDir(m.dir);
    sessionOptions.AppendExecutionProvider("CoreML", opts);
  }

  // Custom operators, and the model bytes the rewrites work on.
  std::vector<uint8_t> bytes;
  bool gsRewrite = false;
  if (!envFirstIs("LE_GS_FAST", '0')) {
    gsRewrite = !envFirstIs("LE_GS_REWRITE", '0');
    if (!gsRewrite && !coreml)
      std::fprintf(stderr,
                   "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.corvane::GridSampleFast rewrite DISABLED "
                   "(%s); the custom op is still registered, so a baked bundle loads and runs its baked kernel. A "
                   "standard bundle now runs ORT's own GridSample.\n",
                   modelKey.c_str());
    registerGridSampleFast(sessionOptions);
    registerInt8ConvVNNI(sessionOptions);
    bytes = readModel(path);
  } else {
    bytes = readModel(path);
    if (graphHasBakedGridSampleFast(bytes))
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

  // Rewrites, in this order, on one byte vector.
  size_t warpCount = 0;
  bool warpTookCone = false;
  if (const char* w = std::getenv("LE_WARP_NODE"); w && *w && w[0] != '0' && !coreml) {
    std::string reason;
    warpCount = rewriteWarpBlockToCustomOp(bytes, reason);
    if (warpCount > 0) {
      std::fprintf(stderr,
                   "[le] director warp -> com.corvane::WarpDirector (%zu nodes removed, the source cone with them)\n",
                   warpCount);
      warpTookCone = true;
    } else {
      std::fprintf(stderr, "[le] director warp NOT moved to one node (%s) — the graph loads exactly as it did before\n",
                   reason.empty() ? "no reason given" : reason.c_str());
    }
  }
  size_t gsCount = 0;
  if (!coreml && gsRewrite) gsCount = rewriteGridSampleToFast(bytes);
  const size_t blendCount = normaliseStudentBlend(bytes);
  const size_t cubicCount = rewriteHeadCubicResize(bytes);

  size_t lipCount = 0;
  if (!lipContour) {
    std::fprintf(stderr,
                 "[le] !!! compose alpha: ELLIPSE (%s) — this bundle carries no %s, so the director generates the "
                 "over-covering elliptical region the contour replaces. BACKFILL IT: "
                 "models/quenzal-2/tools/carry_lip_template_fleet.py\n",
                 modelKey.c_str(), "lip_template.v1.json");
  } else {
    std::string reason;
    int canvasW = 0, canvasH = 0;
    lipCount = rewriteBindLipContour(bytes, reason, &canvasW, &canvasH);
    if (lipCount == 0)
      std::fprintf(stderr,
                   "[le] !!! lip contour NOT bound to the compose alpha (%s): %s — this session serves the graph's "
                   "own ELLIPSE\n",
                   modelKey.c_str(), reason.empty() ? "no reason given" : reason.c_str());
    else if (canvasW != crop)
      throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(canvasW) +
                               " and this bundle's manifest declares crop " + std::to_string(crop) +
                               " — refusing to bind a lip contour rasterised on the wrong canvas");
  }

  // Source-cone hoist: only the analysis runs in this library so far; with no
  // boundary found it reports why and the cone stays in the graph.
  if (coreml && (units == "all" || units == "gpu")) {
    if (warpTookCone)
      std::fprintf(stderr,
                   "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone — there is nothing left to "
                   "hoist\n",
                   modelKey.c_str());
    else
      std::fprintf(stderr,
                   "[le] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the GPU "
                   "and the 12.58 MB boundary input would cross that partition every frame (measured 0.61x on an "
                   "M4) — the cone stays in the graph\n",
                   modelKey.c_str(), units.c_str());
  } else if (warpTookCone) {
    std::fprintf(stderr,
                 "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone — there is nothing left to "
                 "hoist\n",
                 modelKey.c_str());
  } else if ((identity->hasP() || identity->priorFromMovie()) && !bytes.empty()) {
    std::string name;
    const size_t found = findSourceConeBoundary(bytes, name);
    if (found != 1) {
      const std::string reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(found);
      std::fprintf(stderr, "[le] source-cone hoist NOT applied (%s): %s\n", modelKey.c_str(), reason.c_str());
    }
    // A single boundary would be cut here once the hoist is in the library;
    // until then the graph keeps its cone whatever the analysis finds.
  }

  // Report the rewrites.
  if (gsCount > 0)
    std::fprintf(stderr, "[le] std GridSample -> com.corvane::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
                 gsCount, modelKey.c_str());
  if (blendCount > 0)
    std::fprintf(stderr,
                 "[le] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) — a pre-2026-09-11 "
                 "student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML unit that includes "
                 "the GPU\n",
                 blendCount, modelKey.c_str());
  if (cubicCount > 0)
    std::fprintf(stderr,
                 "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu node(s) "
                 "(%s) — the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every CPU-class "
                 "EP and no CoreML/NNAPI EP can claim it\n",
                 cubicCount, modelKey.c_str());
  // A bound contour would print its LIP CONTOUR line here; none binds yet.
  lipBound = false;

  // Open the director: untouched graphs from their file, rewritten ones from memory.
  fromBytes = warpCount + gsCount + blendCount + cubicCount + lipCount > 0;
  if (fromBytes)
    session = std::make_unique<Ort::Session>(env, bytes.data(), bytes.size(), sessionOptions);
  else
    session = std::make_unique<Ort::Session>(env, path.c_str(), sessionOptions);
  std::vector<uint8_t>().swap(bytes);
  ep = epArg.empty() ? "cpu" : epArg;
  std::fprintf(stderr, "[le] director ep=%s (%s)\n", ep.c_str(),
               coreml ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph"
                      : "ORT CPU EP");

  // Inputs and the host contract.
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t nIn = session->GetInputCount();
  std::vector<std::string> names(nIn);
  std::vector<std::vector<int64_t>> shapes(nIn);
  for (size_t i = 0; i < nIn; ++i) {
    names[i] = session->GetInputNameAllocated(i, alloc).get();
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

  // Bind every buffer once.
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  binding = std::make_unique<Ort::IoBinding>(*session);
  const int64_t S = crop, b = batch;
  auto bindIn = [&](const char* name, std::vector<float>& buf, std::vector<int64_t> shape) {
    values.push_back(Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size()));
    binding->BindInput(name, values.back());
  };
  values.reserve(6);
  if (fsRedMode) {
    bindIn("fs_red", fsRedBuf, {b, 64, 64, 64});
    bindIn("pooled", pooledBuf, {b, 64, 32, 32});
    bindIn("kd", kpDrivingBuf, {b, kHostKpRows, 3});
    bindIn("ks", kpSourceBuf, {b, kHostKpRows, 3});
  } else {
    bindIn("pooled64", pooledBuf, {b, 64, 32, 32});
    bindIn("P_rgb", pBuf, {b, 3, S, S});
    bindIn("kp_driving", kpDrivingBuf, {b, kHostKpRows, 3});
    bindIn("kp_source", kpSourceBuf, {b, kHostKpRows, 3});
  }
  const std::vector<int64_t> outShape{b, 3, S, S};
  values.push_back(Ort::Value::CreateTensor<float>(mem, outBuf.data(), outBuf.size(), outShape.data(), 4));
  binding->BindOutput("rgb", values.back());
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

  const size_t P = size_t(r.pElems);
  for (int j = 0; j < r.batch; ++j) {
    const int c = std::min(j, n - 1);
    float* pooled = r.pooledBuf.data() + size_t(j) * kPooledElems;
    if (j < n) {
      simd::f16ToF32(r.identity->pooled64(idx[c]), pooled, kPooledElems);
      if (r.fsRedMode)
        simd::f16ToF32(r.identity->fsRed(idx[c]), r.fsRedBuf.data() + size_t(j) * kFsRedElems, kFsRedElems);
      else
        simd::f16ToF32(r.identity->P(idx[c]), r.pBuf.data() + size_t(j) * P, P);
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
  }

  const auto t0 = std::chrono::steady_clock::now();
  r.session->Run(r.runOptions, *r.binding);
  const auto t1 = std::chrono::steady_clock::now();
  r.runCount += 1;
  r.runMsTotal += std::chrono::duration<double, std::milli>(t1 - t0).count();
  return r.outBuf.data();
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

}  // namespace le
