#include "tessera/le_tessera.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace le::tessera {

namespace {

[[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

uint32_t u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }

// ---- ZIP directory (stored entries only, no ZIP64) -------------------------

struct ZipEntry {
  std::string name;
  uint64_t offset = 0, size = 0;
};

std::vector<ZipEntry> zipEntries(const std::vector<uint8_t>& b) {
  const uint64_t n = b.size();
  if (n < 22) fail("teeth: head .pt is not a zip");
  int64_t eocd = -1;
  for (int64_t at = int64_t(n) - 22; at >= 0; --at)
    if (u32(&b[size_t(at)]) == 0x06054b50u) {
      eocd = at;
      break;
    }
  if (eocd < 0) fail("teeth: head .pt has no zip EOCD");
  const uint32_t count = u16(&b[size_t(eocd) + 10]);
  uint64_t at = u32(&b[size_t(eocd) + 16]);
  std::vector<ZipEntry> out;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 46 > n || u32(&b[size_t(at)]) != 0x02014b50u) fail("teeth: head .pt central directory is malformed");
    const uint8_t* h = &b[size_t(at)];
    const uint32_t method = u16(h + 10), csize = u32(h + 20), usize = u32(h + 24);
    const uint32_t nameLen = u16(h + 28), extraLen = u16(h + 30), commentLen = u16(h + 32);
    const uint64_t local = u32(h + 42);
    if (at + 46 + nameLen > n) fail("teeth: head .pt central directory is malformed");
    ZipEntry e;
    e.name.assign(reinterpret_cast<const char*>(h + 46), nameLen);
    if (method != 0)
      fail("teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
    if (local + 30 > n) fail("teeth: head .pt local header out of range");
    e.offset = local + 30 + u16(&b[size_t(local) + 26]) + u16(&b[size_t(local) + 28]);
    e.size = usize != 0 ? usize : csize;
    if (e.offset > n || e.size > n - e.offset) fail("teeth: head .pt entry out of range");
    out.push_back(std::move(e));
    at += 46 + uint64_t(nameLen) + extraLen + commentLen;
  }
  return out;
}

const ZipEntry* entryEndingWith(const std::vector<ZipEntry>& entries, const std::string& suffix) {
  for (const ZipEntry& e : entries)
    if (e.name.size() >= suffix.size() && e.name.compare(e.name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return &e;
  return nullptr;
}

// ---- pickle machine ---------------------------------------------------------

struct PVal {
  enum Kind { None, Bool, Int, Str, Global, Tuple, Dict, Storage, Tensor } kind = None;
  int64_t i = 0;
  std::string s;  // string, global "module name", storage key
  std::vector<std::shared_ptr<const PVal>> items;  // tuple
  int64_t offset = 0;                              // tensor: storage offset in elements
  std::vector<int64_t> shape;                      // tensor
};
using P = std::shared_ptr<const PVal>;

P make(PVal v) { return std::make_shared<const PVal>(std::move(v)); }
PVal kindOf(PVal::Kind k) {
  PVal v;
  v.kind = k;
  return v;
}

struct Param {
  std::string name;
  P value;
};

class Machine {
 public:
  Machine(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}

  std::vector<Param> run() {
    while (p_ < end_) {
      const uint8_t op = byte();
      switch (op) {
        case 0x80: byte(); break;
        case 0x28: marks_.push_back(stack_.size()); break;
        case 0x29: push(kindOf(PVal::Tuple)); break;
        case 0x2e: return std::move(params_);
        case 0x4a: {
          PVal v = kindOf(PVal::Int);
          v.i = int32_t(u32(take(4)));
          push(std::move(v));
          break;
        }
        case 0x4b: {
          PVal v = kindOf(PVal::Int);
          v.i = byte();
          push(std::move(v));
          break;
        }
        case 0x4d: {
          PVal v = kindOf(PVal::Int);
          v.i = u16(take(2));
          push(std::move(v));
          break;
        }
        case 0x4e: push(kindOf(PVal::None)); break;
        case 0x51: persistentId(); break;
        case 0x52: reduce(); break;
        case 0x58: {
          const uint32_t len = u32(take(4));
          PVal v = kindOf(PVal::Str);
          v.s.assign(reinterpret_cast<const char*>(take(len)), len);
          push(std::move(v));
          break;
        }
        case 0x62: break;
        case 0x63: {
          PVal v = kindOf(PVal::Global);
          v.s = line();
          v.s += ' ';
          v.s += line();
          push(std::move(v));
          break;
        }
        case 0x68: get(byte(), "teeth: pickle BINGET out of range"); break;
        case 0x6a: get(u32(take(4)), "teeth: pickle LONG_BINGET out of range"); break;
        case 0x71: put(byte()); break;
        case 0x72: put(u32(take(4))); break;
        case 0x73: {
          const P value = pop(), key = pop();
          keep(key, value);
          break;
        }
        case 0x74: {
          const size_t m = popMark();
          PVal t = kindOf(PVal::Tuple);
          t.items.assign(stack_.begin() + long(m), stack_.end());
          stack_.resize(m);
          push(std::move(t));
          break;
        }
        case 0x75: {
          const size_t m = popMark();
          for (size_t k = m; k + 1 < stack_.size(); k += 2) keep(stack_[k], stack_[k + 1]);
          stack_.resize(m);
          break;
        }
        case 0x7d: push(kindOf(PVal::Dict)); break;
        case 0x85:
        case 0x86:
        case 0x87: {
          const size_t n = op - 0x84u;
          if (stack_.size() < n) fail("teeth: pickle stack underflow");
          PVal t = kindOf(PVal::Tuple);
          t.items.assign(stack_.end() - long(n), stack_.end());
          stack_.resize(stack_.size() - n);
          push(std::move(t));
          break;
        }
        case 0x88:
        case 0x89: {
          PVal v = kindOf(PVal::Bool);
          v.i = op == 0x88;
          push(std::move(v));
          break;
        }
        default: {
          char hex[3];
          std::snprintf(hex, sizeof hex, "%02x", unsigned(op));
          fail(std::string("teeth: unsupported pickle opcode 0x") + hex + " in head .pt");
        }
      }
    }
    return std::move(params_);
  }

 private:
  const uint8_t* take(size_t n) {
    if (size_t(end_ - p_) < n) fail("teeth: pickle truncated");
    const uint8_t* at = p_;
    p_ += n;
    return at;
  }
  uint8_t byte() { return *take(1); }
  std::string line() {
    const uint8_t* nl = static_cast<const uint8_t*>(std::memchr(p_, '\n', size_t(end_ - p_)));
    if (!nl) fail("teeth: pickle truncated");
    std::string s(reinterpret_cast<const char*>(p_), size_t(nl - p_));
    p_ = nl + 1;
    return s;
  }
  void push(PVal v) { stack_.push_back(make(std::move(v))); }
  // An underflow is malformed input like any other: refused, never read.
  P pop() {
    if (stack_.empty()) fail("teeth: pickle stack underflow");
    P v = stack_.back();
    stack_.pop_back();
    return v;
  }
  size_t popMark() {
    if (marks_.empty() || marks_.back() > stack_.size()) fail("teeth: pickle mark underflow");
    const size_t m = marks_.back();
    marks_.pop_back();
    return m;
  }
  void get(uint64_t index, const char* missing) {
    if (index >= memo_.size() || !memo_[index]) fail(missing);
    stack_.push_back(memo_[index]);
  }
  void put(uint64_t index) {
    if (stack_.empty()) fail("teeth: pickle stack underflow");
    // A memo index far past what a save writes would only allocate.
    if (index > (1u << 20)) fail("teeth: pickle memo index out of range");
    if (index >= memo_.size()) memo_.resize(index + 1);
    memo_[index] = stack_.back();
  }
  void keep(const P& key, const P& value) {
    if (key->kind == PVal::Str && value->kind == PVal::Tensor) params_.push_back({key->s, value});
  }
  void persistentId() {
    const P id = pop();
    if (id->kind != PVal::Tuple || id->items.size() < 5 || id->items[0]->kind != PVal::Str ||
        id->items[0]->s != "storage")
      fail("teeth: unexpected persistent id in head .pt");
    const P& type = id->items[1];
    if (type->kind != PVal::Global || type->s != "torch FloatStorage")
      fail("teeth: head .pt storage is " + type->s + ", not torch FloatStorage — refusing to reinterpret it");
    if (id->items[2]->kind != PVal::Str) fail("teeth: unexpected persistent id in head .pt");
    PVal ref = kindOf(PVal::Storage);
    ref.s = id->items[2]->s;
    push(std::move(ref));
  }
  void reduce() {
    const P args = pop(), callable = pop();
    if (callable->kind != PVal::Global) fail("teeth: head .pt calls a non-global — this reader refuses code it does not model");
    if (callable->s == "collections OrderedDict") {
      push(kindOf(PVal::Dict));
      return;
    }
    if (callable->s == "torch._utils _rebuild_tensor_v2") {
      if (args->kind != PVal::Tuple || args->items.size() < 4 || args->items[0]->kind != PVal::Storage ||
          args->items[1]->kind != PVal::Int || args->items[2]->kind != PVal::Tuple)
        fail("teeth: malformed _rebuild_tensor_v2");
      PVal t = kindOf(PVal::Tensor);
      t.s = args->items[0]->s;
      t.offset = args->items[1]->i;
      for (const P& d : args->items[2]->items) {
        if (d->kind != PVal::Int) fail("teeth: malformed _rebuild_tensor_v2");
        t.shape.push_back(d->i);
      }
      push(std::move(t));
      return;
    }
    fail("teeth: head .pt calls " + callable->s + " — this reader refuses code it does not model");
  }

  const uint8_t* p_;
  const uint8_t* end_;
  std::vector<P> stack_;
  std::vector<size_t> marks_;
  std::vector<P> memo_;
  std::vector<Param> params_;
};

std::string dimsText(const std::vector<int64_t>& d) {
  std::string s;
  for (size_t i = 0; i < d.size(); ++i) s += (i ? "," : "") + std::to_string(d[i]);
  return s;
}

void take(const std::vector<Param>& params, const std::vector<ZipEntry>& entries, const std::vector<uint8_t>& bytes,
          const std::string& name, const std::vector<int64_t>& shape, std::vector<float>& dst) {
  const Param* found = nullptr;
  int count = 0;
  for (const Param& p : params)
    if (p.name == name) {
      ++count;
      if (!found) found = &p;
    }
  if (count > 1) fail("teeth: head .pt names '" + name + "' " + std::to_string(count) + " times — ambiguous");
  if (!found) fail("teeth: head .pt lacks '" + name + "'");
  const PVal& t = *found->value;
  if (t.kind != PVal::Tensor) fail("teeth: '" + name + "' is not a tensor");
  if (t.shape != shape)
    fail("teeth: head '" + name + "' has shape [" + dimsText(t.shape) + "] — not the BlendHead(16) arch");
  const ZipEntry* e = entryEndingWith(entries, "/data/" + t.s);
  if (!e) fail("teeth: head storage " + t.s + " missing");
  uint64_t n = 1;
  for (int64_t d : shape) n *= uint64_t(d);
  // A negative or past-the-end offset is refused like a short storage.
  if (t.offset < 0 || uint64_t(t.offset) > e->size / 4 || e->size / 4 - uint64_t(t.offset) < n)
    fail("teeth: head storage " + t.s + " too small");
  dst.resize(size_t(n));
  std::memcpy(dst.data(), bytes.data() + e->offset + uint64_t(t.offset) * 4, size_t(n) * 4);
}

}  // namespace

int HeadWeights::params() const {
  return int(cand0w.size() + cand0b.size() + cand2w.size() + cand2b.size() + cand4w.size() + cand4b.size() +
             syn0w.size() + syn0b.size() + syn2w.size() + syn2b.size());
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) {
  const std::vector<ZipEntry> entries = zipEntries(bytes);
  const ZipEntry* pkl = entryEndingWith(entries, "/data.pkl");
  if (!pkl) fail("teeth: head .pt has no data.pkl");
  const std::vector<Param> params = Machine(bytes.data() + pkl->offset, size_t(pkl->size)).run();
  if (params.empty()) fail("teeth: head .pt state_dict is empty");

  HeadWeights h;
  take(params, entries, bytes, "cand.0.weight", {16, 7, 3, 3}, h.cand0w);
  take(params, entries, bytes, "cand.0.bias", {16}, h.cand0b);
  take(params, entries, bytes, "cand.2.weight", {16, 16, 3, 3}, h.cand2w);
  take(params, entries, bytes, "cand.2.bias", {16}, h.cand2b);
  take(params, entries, bytes, "cand.4.weight", {1, 16, 3, 3}, h.cand4w);
  take(params, entries, bytes, "cand.4.bias", {1}, h.cand4b);
  bool synthesis = false;
  for (const Param& p : params) synthesis = synthesis || p.name == "syn.0.weight";
  if (synthesis) {
    take(params, entries, bytes, "syn.0.weight", {16, 3, 3, 3}, h.syn0w);
    take(params, entries, bytes, "syn.0.bias", {16}, h.syn0b);
    take(params, entries, bytes, "syn.2.weight", {1, 16, 3, 3}, h.syn2w);
    take(params, entries, bytes, "syn.2.bias", {1}, h.syn2b);
  }
  const int n = h.params();
  if (n != 4082 && n != 3489)
    fail("teeth: head has " + std::to_string(n) + " params, not the 4,082 of BlendHead(16) nor the 3,489 of "
         "BlendHead8(16)");
  return h;
}

}  // namespace le::tessera
