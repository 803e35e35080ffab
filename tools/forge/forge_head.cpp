#include "forge/forge_head.h"

#include <cstring>
#include <random>

namespace le::forge {

namespace {

void put16(std::string& s, uint32_t v) {
  s += char(v & 0xff);
  s += char((v >> 8) & 0xff);
}
void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xffff);
  put16(s, v >> 16);
}

uint32_t crc32(const std::string& data) {
  uint32_t c = 0xffffffffu;
  for (unsigned char b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return ~c;
}

// Protocol-2 pickle pieces.
struct Pickle {
  std::string s;
  void op(uint8_t o) { s += char(o); }
  void integer(int64_t v) {
    if (v >= 0 && v < 256) {
      op(0x4b);
      s += char(v);
    } else if (v >= 0 && v < 65536) {
      op(0x4d);
      put16(s, uint32_t(v));
    } else {
      op(0x4a);
      put32(s, uint32_t(int32_t(v)));
    }
  }
  void str(const std::string& v) {
    op(0x58);
    put32(s, uint32_t(v.size()));
    s += v;
  }
  void global(const std::string& module, const std::string& name) {
    op(0x63);
    s += module + "\n" + name + "\n";
  }
  void tuple(const std::vector<int64_t>& v) {
    if (v.empty()) return op(0x29);
    op(0x28);
    for (int64_t x : v) integer(x);
    op(0x74);
  }
};

}  // namespace

std::vector<HeadParam> headParams(const HeadCheckpoint& c) {
  std::vector<HeadParam> p = {
      {"cand.0.weight", {16, 7, 3, 3}, {}}, {"cand.0.bias", {16}, {}}, {"cand.2.weight", {16, 16, 3, 3}, {}},
      {"cand.2.bias", {16}, {}},            {"cand.4.weight", {1, 16, 3, 3}, {}}, {"cand.4.bias", {1}, {}},
  };
  if (c.arch == HeadArch::Full) {
    p.push_back({"syn.0.weight", {16, 3, 3, 3}, {}});
    p.push_back({"syn.0.bias", {16}, {}});
    p.push_back({"syn.2.weight", {1, 16, 3, 3}, {}});
    if (c.hostile != HeadHostile::LacksSynBias) p.push_back({"syn.2.bias", {1}, {}});
  }
  if (c.hostile == HeadHostile::WrongShape) p[0].shape = {16, 8, 3, 3};
  std::mt19937 rng(c.seed);
  std::uniform_real_distribution<float> u(-0.5f, 0.5f);
  for (HeadParam& q : p) {
    size_t n = 1;
    for (int64_t d : q.shape) n *= size_t(d);
    q.values.resize(n);
    for (float& v : q.values) v = u(rng);
  }
  return p;
}

std::string headCheckpointBytes(const HeadCheckpoint& c) {
  const std::vector<HeadParam> params = headParams(c);

  // The pickle: OrderedDict() then SETITEMS of name -> _rebuild_tensor_v2(...),
  // the storage type memoised once and fetched again with BINGET, and a nested
  // metadata pair the reader drops.
  Pickle pk;
  pk.op(0x80);
  pk.s += char(2);
  pk.global("collections", "OrderedDict");
  pk.op(0x71);
  pk.s += char(0);
  pk.op(0x29);
  pk.op(0x52);
  pk.op(0x28);  // MARK for SETITEMS
  bool storageMemo = false;
  for (size_t k = 0; k < params.size(); ++k) {
    const HeadParam& q = params[k];
    pk.str(q.name);
    pk.global("torch._utils", "_rebuild_tensor_v2");
    pk.op(0x28);  // MARK: the call's arguments
    pk.op(0x28);  // MARK: the persistent id
    pk.str("storage");
    if (storageMemo) {
      pk.op(0x68);
      pk.s += char(2);
    } else {
      pk.global("torch", "FloatStorage");
      pk.op(0x71);
      pk.s += char(2);
      storageMemo = true;
    }
    pk.str(std::to_string(k));
    pk.str("cpu");
    pk.integer(int64_t(q.values.size()));
    pk.op(0x74);
    pk.op(0x51);  // BINPERSID
    pk.integer(c.hostile == HeadHostile::NegativeOffset && q.name == "cand.4.bias" ? -1 : 0);
    pk.tuple(q.shape);
    std::vector<int64_t> stride(q.shape.size(), 1);
    for (size_t i = q.shape.size(); i-- > 1;) stride[i - 1] = stride[i] * q.shape[i];
    pk.tuple(stride);
    pk.op(0x89);  // requires_grad False
    pk.global("collections", "OrderedDict");
    pk.op(0x29);
    pk.op(0x52);  // backward hooks
    pk.op(0x74);
    pk.op(0x52);  // REDUCE
  }
  if (c.hostile == HeadHostile::DuplicateKey) {
    // cand.0.bias again, over the same storage.
    pk.str("cand.0.bias");
    pk.global("torch._utils", "_rebuild_tensor_v2");
    pk.op(0x28);
    pk.op(0x28);
    pk.str("storage");
    pk.op(0x68);
    pk.s += char(2);
    pk.str("1");
    pk.str("cpu");
    pk.integer(16);
    pk.op(0x74);
    pk.op(0x51);
    pk.integer(0);
    pk.tuple({16});
    pk.tuple({1});
    pk.op(0x89);
    pk.op(0x7d);
    pk.op(0x74);
    pk.op(0x52);
  }
  pk.op(0x75);  // SETITEMS
  pk.str("_metadata");
  pk.op(0x7d);
  pk.op(0x73);  // SETITEM of a non-tensor: dropped
  if (c.hostile == HeadHostile::FloatOpcode) {
    pk.op(0x47);
    pk.s += std::string(8, '\0');
  }
  pk.op(0x62);  // BUILD
  pk.op(0x2e);  // STOP

  struct Entry {
    std::string name, data;
  };
  std::vector<Entry> entries{{"archive/data.pkl", pk.s}};
  for (size_t k = 0; k < params.size(); ++k) {
    if (c.hostile == HeadHostile::MissingStorage && params[k].name == "cand.2.weight") continue;
    std::string d(params[k].values.size() * 4, '\0');
    std::memcpy(d.data(), params[k].values.data(), d.size());
    entries.push_back({"archive/data/" + std::to_string(k), d});
  }
  entries.push_back({"archive/version", "3\n"});

  const uint32_t method = c.hostile == HeadHostile::Deflated ? 8 : 0;
  std::string zip, central;
  for (const Entry& e : entries) {
    const uint32_t offset = uint32_t(zip.size()), crc = crc32(e.data), size = uint32_t(e.data.size());
    put32(zip, 0x04034b50u);
    put16(zip, 20);
    put16(zip, 0);
    put16(zip, method);
    put32(zip, 0);  // time, date
    put32(zip, crc);
    put32(zip, size);
    put32(zip, size);
    put16(zip, uint32_t(e.name.size()));
    put16(zip, 0);
    zip += e.name;
    zip += e.data;
    put32(central, 0x02014b50u);
    put16(central, 20);
    put16(central, 20);
    put16(central, 0);
    put16(central, method);
    put32(central, 0);
    put32(central, crc);
    put32(central, size);
    put32(central, size);
    put16(central, uint32_t(e.name.size()));
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put32(central, 0);
    put32(central, offset);
    central += e.name;
  }
  const uint32_t cdOffset = uint32_t(zip.size());
  zip += central;
  put32(zip, 0x06054b50u);
  put16(zip, 0);
  put16(zip, 0);
  put16(zip, uint32_t(entries.size()));
  put16(zip, uint32_t(entries.size()));
  put32(zip, uint32_t(central.size()));
  put32(zip, cdOffset);
  put16(zip, uint32_t(c.comment.size()));
  zip += c.comment;
  return zip;
}

}  // namespace le::forge
