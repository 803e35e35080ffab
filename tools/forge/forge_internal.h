// Internals of the forge shared by its translation units (not part of the API).
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "compose/le_simd.h"
#include "forge.h"

namespace le::forge::detail {

// splitmix64: a small, portable, fully specified generator (std distributions
// are not reproducible across standard libraries).
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed, uint64_t stream = 0)
      : s(seed * 0x9E3779B97F4A7C15ull ^ (stream + 1) * 0xD1B54A32D192ED03ull) {}
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uni() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }  // [0,1)
  double sym() { return uni() * 2.0 - 1.0; }                                  // [-1,1)
};

// Row-major 2x3 affine map: (x, y) -> (a x + b y + c, d x + e y + f).
struct Affine {
  double a = 1, b = 0, c = 0, d = 0, e = 1, f = 0;
  void apply(double x, double y, double& ox, double& oy) const {
    ox = a * x + b * y + c;
    oy = d * x + e * y + f;
  }
  Affine then(const Affine& o) const {  // o after this
    Affine r;
    r.a = o.a * a + o.b * d;
    r.b = o.a * b + o.b * e;
    r.c = o.a * c + o.b * f + o.c;
    r.d = o.d * a + o.e * d;
    r.e = o.d * b + o.e * e;
    r.f = o.d * c + o.e * f + o.f;
    return r;
  }
  Affine inverse() const {
    double det = a * e - b * d;
    Affine r;
    r.a = e / det;
    r.b = -b / det;
    r.d = -d / det;
    r.e = a / det;
    r.c = -(r.a * c + r.b * f);
    r.f = -(r.d * c + r.e * f);
    return r;
  }
  static Affine translate(double x, double y) { return {1, 0, x, 0, 1, y}; }
  static Affine scale(double s) { return {s, 0, 0, 0, s, 0}; }
  static Affine rotate(double th) {
    double cs = std::cos(th), sn = std::sin(th);
    return {cs, -sn, 0, sn, cs, 0};
  }
};

// An RGB image held as bytes.
struct Image {
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
};

// stb wrappers (forge_stb.cpp, the one TU with the stb implementations).
Image loadImage(const std::string& path);  // throws std::runtime_error
void writeJpeg(const std::string& path, const uint8_t* rgb, int w, int h, int quality);
void writePng(const std::string& path, const uint8_t* rgb, int w, int h);

// Replaces the file at p with n bytes; throws std::runtime_error
// (who + ": cannot write " + p, who + ": short write " + p).
void writeFile(const std::filesystem::path& p, const void* data, size_t n, const char* who = "forge");
inline void writeFloats(const std::filesystem::path& p, const std::vector<float>& v, const char* who = "forge") {
  writeFile(p, v.data(), v.size() * sizeof(float), who);
}

// Halves to floats with the library's vector kernel (exact for every half).
std::vector<float> decodeHalves(const std::vector<uint16_t>& h);

// The scene of one identity: a portrait (real or procedural) with its face box
// and keypoints, posed on a background with a seeded, looping sway.
// Coordinates inside are "edge" coordinates: pixel i covers [i, i+1).
struct Scene {
  BundleSpec spec;
  int msrcW = 0, msrcH = 0;
  Image portrait;
  double boxX0 = 0, boxY0 = 0, boxSide = 1;           // face box on the portrait (edge coords)
  std::array<std::array<double, 3>, 21> kpPortrait{};  // x, y (edge coords on portrait), z
  std::array<double, 3> bgTop{}, bgBottom{};          // background colours 0..255
  double feather = 2;                                 // portrait edge feather, portrait px
  std::vector<Affine> portraitToFrame;                // T_i (edge coords), nt
  std::vector<Affine> jitter;                         // J_i on the portrait, nt
  std::vector<Affine> cropToFrame;                    // M_i in edge coords, nt
  std::vector<Affine> frameToPortrait;                // inverse of T_i

  explicit Scene(const BundleSpec& s);
  // Colour of frame i at a frame point (edge coords), 0..255 per channel.
  void colour(int i, double fx, double fy, float out[3]) const;
  std::vector<uint8_t> driverFrame(int i) const;   // W*H*3
  std::vector<uint16_t> sourceFrame(int i) const;  // 3*crop*crop halves
  std::vector<float> frameTransforms() const;      // nt*6, pixel-centre convention, on W x H
  std::vector<float> keypoints(int i) const;       // 63 floats, normalised crop coords
};

void validateSpec(const BundleSpec& spec);

// s as a JSON string (quotes and backslashes escaped; the forge writes no control characters).
inline std::string jsonQuote(const std::string& s) {
  std::string o = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') o += '\\';
    o += c;
  }
  return o + "\"";
}

}  // namespace le::forge::detail
