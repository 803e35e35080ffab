// The driver video: frame sources (a JPEG directory, an MP4 driver, an HEVC
// 4:4:4 prior) and the decode-ahead cursor that hands their frames out by index.
//
// Nothing is unpacked to disk: a source decodes one frame per call straight
// from the member as it lies in the bundle, and the cursor keeps only a small
// ring of decoded frames around the consumer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "bundle/le_bundle.h"

namespace le {

namespace driver {

// One member played as a sequence of fixed-size frames 0..NT-1. Single-threaded:
// the cursor's decoder thread owns and drives it.
class Source {
 public:
  virtual ~Source();
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes one next() writes.
  virtual std::size_t frameBytes() const;
  // Decodes the next frame into dst; false when the member has no more frames.
  virtual bool next(unsigned char* dst) = 0;
  // The next next() yields frame 0.
  virtual void rewind() = 0;
  // The next next() yields frame si.
  virtual void seek(int si) = 0;
  // Short description of the decoder, for log lines and messages.
  virtual std::string name() const = 0;
  // Memory the source itself holds (decoder surfaces, packet buffers).
  virtual std::size_t residentBytes() const = 0;
};

// dir/frame_%06d.jpg, one file per frame, interleaved 8-bit RGB.
class JpgDirSource : public Source {
 public:
  JpgDirSource(std::string dir, int nt, int w, int h);
  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  bool next(unsigned char* dst) override;
  void rewind() override { index_ = 0; }
  void seek(int si) override;
  std::string name() const override { return "jpg/stb"; }
  std::size_t residentBytes() const override { return 0; }

 private:
  std::string dir_;
  int nt_ = 0, w_ = 0, h_ = 0;
  int index_ = 0;  // the frame next() reads
};

// Frame file name dir/frame_%06d.jpg. The name is formed in a fixed buffer
// (kFrameNameMax bytes with its terminator); a name that would not fit is
// refused rather than cut short into the name of some other file.
inline constexpr std::size_t kFrameNameMax = 1088;
std::string frameFile(const std::string& dir, int index);

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);  // no file access
std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);
std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int S);

// When json's key holds a non-empty string, out becomes it (no escape handling)
// and the result is true; otherwise out is left unchanged. Uses the manifest's
// key rule, so an ambiguous key throws as everywhere else.
bool optStr(const std::string& json, const std::string& key, std::string& out);

}  // namespace driver

// "libavcodec <major.minor.micro> / <configuration>" of the decoder build in use.
std::string movieDecoderBuild();

// Plays one source as an endless loop 0..NT-1 and hands frames out by index.
// A thread of its own decodes up to lookAhead frames ahead into a ring that also
// keeps `history` delivered frames, so stepping back a little or jumping within
// the decoded window costs no decode. A frame handed out by pointer stays intact
// until history + 1 further frames have been taken (or skipped by a seek).
// Every failure of the decoder thread is sticky: each later pull or seek throws it.
class DriverCursor : public PriorCursor {
 public:
  static std::unique_ptr<DriverCursor> open(const Manifest& m, int lookAhead, int history);
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& m, int lookAhead, int history);
  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> source, int lookAhead, int history);

  ~DriverCursor() override;
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  // Next frame in loop order, copied to dst (frameBytes() bytes); returns its index.
  int pull(unsigned char* dst);
  // Next frame in loop order, by pointer into the ring; its index through si.
  const unsigned char* pull(int* si);
  // As pull(int*), writable; the frame is never served from the ring again.
  unsigned char* pullMut(int* si);
  // Frame si copied to dst; returns si. The next pull() yields si + 1 (mod NT).
  int pullAt(int si, unsigned char* dst);
  const unsigned char* pullAt(int si, int* out) override;
  unsigned char* pullMutAt(int si, int* out);
  // Makes si the next frame.
  void seek(int si);

  int position() const;              // the index the next pull() returns
  std::uint64_t seeks() const override;       // seeks that had to reposition the source
  std::size_t residentBytes() const override; // ring + the source's own
  // Total time consumers spent waiting for the decoder thread, in nanoseconds.
  std::uint64_t waitNanos() const;

  int NT() const { return nt_; }
  int W() const { return w_; }
  int H() const { return h_; }
  std::size_t frameBytes() const { return frameBytes_; }
  const std::string& name() const override { return name_; }
  int lookAhead() const;
  int history() const;

 private:
  struct Impl;
  DriverCursor(std::unique_ptr<driver::Source> source, int lookAhead, int history);

  std::unique_ptr<Impl> impl_;
  int nt_ = 0, w_ = 0, h_ = 0;
  std::size_t frameBytes_ = 0;
  std::string name_;
  std::mutex call_;  // one pull or seek at a time, seek and take together
};

// The identity's prior cursor (look-ahead 2, history 11): the movie player a
// context hands its le::Identity.
std::unique_ptr<PriorCursor> openIdentityPrior(const Manifest& m);

}  // namespace le
