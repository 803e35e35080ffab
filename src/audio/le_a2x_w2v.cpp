#include "audio/le_a2x_w2v.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

#include "base/le_env.h"
#include "base/le_ort.h"
#include "compose/le_pool.h"

namespace le::a2x {

namespace {

// Process-wide records: built empty when the library is loaded and never torn
// down, so that sessions shared by engines outlive every engine (and the ORT
// environment outlives its sessions at exit).
struct Registry {
  std::mutex mu;
  std::map<std::string, Extractor*> extractors;
  std::map<std::string, ShortPair*> pairs;
  std::set<std::string> notDeployedSaid;
  bool cadenceSaid = false;
};
Registry* const gRegistry = new Registry;

bool fileExists(const std::string& p, long long* size = nullptr) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (size) *size = static_cast<long long>(st.st_size);
  return true;
}

std::string dirOf(const std::string& path) {
  size_t k = path.find_last_of('/');
  if (k == std::string::npos) return ".";
  if (k == 0) return "/";
  return path.substr(0, k);
}

void applyCudaRule(Ort::SessionOptions& so, const char* tag) {
  const char* cuda = std::getenv("LE_A2X_CUDA");
  if (!cuda) return;
  std::string v = cuda;
  if (v == "1") v = tag;
  if (v != "w2v") return;
  size_t mib = 3072;
  if (const auto x = env::leadingInt("LE_A2X_CUDA_MEM_MIB"); x && *x > 0) mib = static_cast<size_t>(*x);
  try {
    Ort::CUDAProviderOptions cuda;
    cuda.Update({{"device_id", "0"},
                 {"arena_extend_strategy", "kSameAsRequested"},
                 {"gpu_mem_limit", std::to_string(static_cast<unsigned long long>(mib) << 20)},
                 {"cudnn_conv_use_max_workspace", "0"},
                 {"use_tf32", "0"}});
    so.AppendExecutionProvider_CUDA_V2(*cuda);
    std::fprintf(stderr, "[le_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag, mib);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag, e.what());
  }
}

ShortPair* loadPair(const std::string& trunkPath, const std::string& headPath) {
  auto p = std::make_unique<ShortPair>();
  p->trunkPath = trunkPath;
  p->headPath = headPath;
  Ort::SessionOptions so = sessionOptions(pool::threads(), "w2v");
  p->trunk = openGeluSafe(trunkPath, so);
  p->head = openGeluSafe(headPath, so);
  if (p->trunk->GetInputCount() < 1 || p->trunk->GetOutputCount() < 1 || p->head->GetInputCount() < 1 ||
      p->head->GetOutputCount() < 1)
    throw std::runtime_error("w2v_win: trunk/head declare no input or output");
  p->trunkIn = ort::ioName(*p->trunk, 0, true);
  p->trunkOut = ort::ioName(*p->trunk, 0, false);
  p->headIn = ort::ioName(*p->head, 0, true);
  p->headOut = ort::ioName(*p->head, 0, false);
  auto shape = p->trunk->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  if (!shape.empty() && shape.back() > 0) p->lt = shape.back();
  return p.release();
}

}  // namespace

Ort::SessionOptions sessionOptions(int threads, const char* tag) {
  ort::SessionSpec spec;
  spec.intraThreads = threads;
  Ort::SessionOptions so = ort::sessionOptions(spec);
  applyCudaRule(so, tag);
  return so;
}

std::unique_ptr<Ort::Session> openGeluSafe(const std::string& path, Ort::SessionOptions& so) {
  try {
    return ort::open(path, so);
  } catch (const std::exception& e) {
    std::string m = e.what();
    if (m.find("Gelu") == std::string::npos || m.find("float16") == std::string::npos) throw;
    std::fprintf(stderr,
                 "[le_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime has no "
                 "CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
                 path.c_str());
    // Only this session is reopened at the basic level; the caller's options stay.
    Ort::SessionOptions basic = so.Clone();
    basic.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_BASIC);
    return ort::open(path, basic);
  }
}

Extractor& sharedExtractor(const std::string& path) {
  std::lock_guard<std::mutex> lock(gRegistry->mu);
  auto it = gRegistry->extractors.find(path);
  if (it != gRegistry->extractors.end()) return *it->second;
  auto x = std::make_unique<Extractor>();
  x->path = path;
  Ort::SessionOptions so = sessionOptions(pool::threads(), "w2v");
  x->session = openGeluSafe(path, so);
  Extractor* raw = x.release();
  gRegistry->extractors.emplace(path, raw);
  return *raw;
}

ShortPair* sharedShortPair(const std::string& w2vPath) {
  std::string trunk, head;
  const char* et = env::text("LE_A2X_W2V_WIN_ONNX");
  const char* eh = env::text("LE_A2X_W2V_HEAD_ONNX");
  if (et && eh) {
    trunk = et;
    head = eh;
  } else {
    std::string d = dirOf(w2vPath);
    if (fileExists(d + "/audio_encoder_fp16_window_trunk.onnx") &&
        fileExists(d + "/audio_encoder_fp16_window_head.onnx")) {
      trunk = d + "/audio_encoder_fp16_window_trunk.onnx";
      head = d + "/audio_encoder_fp16_window_head.onnx";
    } else if (fileExists(d + "/w2v_trunk32.onnx") && fileExists(d + "/w2v_head32.onnx")) {
      trunk = d + "/w2v_trunk32.onnx";
      head = d + "/w2v_head32.onnx";
    }
  }
  std::lock_guard<std::mutex> lock(gRegistry->mu);
  if (trunk.empty()) {
    if (gRegistry->notDeployedSaid.insert(w2vPath).second)
      std::fprintf(stderr,
                   "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                   "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (%s) as "
                   "audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving "
                   "the LEGACY 8s window \xE2\x80\x94 same reference quality, 2.8-3.9x the audio hop cost. Ship the "
                   "pair beside the encoder (tools/export_w2v_window).\n",
                   w2vPath.c_str());
    return nullptr;
  }
  std::string key = trunk + '\n' + head;
  auto it = gRegistry->pairs.find(key);
  if (it != gRegistry->pairs.end()) return it->second;
  ShortPair* p = nullptr;
  try {
    p = loadPair(trunk, head);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] short-window w2v load FAILED (%s) \xE2\x80\x94 legacy 8s path\n", e.what());
    return nullptr;
  }
  gRegistry->pairs.emplace(key, p);
  long long ts = 0, hs = 0;
  fileExists(trunk, &ts);
  fileExists(head, &hs);
  std::string lt = p->lt > 0 ? std::to_string(p->lt) : std::string("from-first-run");
  std::fprintf(stderr, "[le_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n",
               lt.c_str(), trunk.c_str(), ts, head.c_str(), hs);
  return p;
}

void sayCadenceOnce(int threads) {
  std::lock_guard<std::mutex> lock(gRegistry->mu);
  if (gRegistry->cadenceSaid) return;
  gRegistry->cadenceSaid = true;
  std::fprintf(stderr,
               "[le_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, threads=%d\n",
               320, 8, threads);
}

}  // namespace le::a2x
