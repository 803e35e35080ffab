// Whole-file and exact-size readers. Every reader of a bundle, an engine
// directory or a model goes through these, so that short and interrupted reads
// are retried in one place and the failure texts are the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace le {

// Reads up to n bytes, retrying short and interrupted reads; returns the count
// read (< n only at end of file or on error).
std::size_t readFull(int fd, void* buf, std::size_t n);

// A file opened for reading. Move-only; closes on destruction.
class RawFile {
 public:
  // "cannot open " + path.
  explicit RawFile(const std::string& path);
  // As above, then "size mismatch " + path when a regular file's size is not
  // exactly bytes (checked before the caller allocates anything).
  RawFile(const std::string& path, std::uint64_t bytes);
  RawFile(RawFile&& o) noexcept;
  RawFile& operator=(RawFile&&) = delete;
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  ~RawFile();

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // The size fstat reports when the file was opened.
  std::uint64_t size() const { return size_; }
  bool regular() const { return regular_; }
  bool directory() const { return directory_; }

  // Up to n bytes from the current position; fewer only at end of file.
  std::size_t read(void* dst, std::size_t n) { return readFull(fd_, dst, n); }
  // Exactly bytes and then end of file: "size mismatch " + path otherwise.
  void readAll(void* dst, std::uint64_t bytes);

 private:
  int fd_ = -1;
  std::string path_;
  std::uint64_t size_ = 0;
  bool regular_ = false;
  bool directory_ = false;
};

// The whole file: "cannot open " + path (a directory too), "short read " + path.
std::string readText(const std::string& path);
// The whole file as bytes: "cannot open " + path, "short read " + path (a
// directory, a pipe or a file that shrinks while read gives fewer bytes than its size).
std::vector<std::uint8_t> readBytes(const std::string& path);
// The whole text of an optional file; empty when it cannot be opened or read.
std::string readOptionalText(const std::string& path);

// Exactly count elements of T from a headerless member: "cannot open " + path,
// "size mismatch " + path (fewer elements or extra bytes).
template <class T>
std::vector<T> readRaw(const std::string& path, std::size_t count) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (count > SIZE_MAX / sizeof(T)) throw std::runtime_error("size mismatch " + path);
  const std::uint64_t bytes = static_cast<std::uint64_t>(count) * sizeof(T);
  RawFile f(path, bytes);
  std::vector<T> v(count);
  f.readAll(v.data(), bytes);
  return v;
}

// A read-only, private mapping of a whole file. Move-only; unmaps on destruction.
class MappedTable {
 public:
  MappedTable() = default;
  MappedTable(void* base, std::size_t bytes) : base_(base), bytes_(bytes) {}
  MappedTable(MappedTable&& o) noexcept : base_(o.base_), bytes_(o.bytes_) {
    o.base_ = nullptr;
    o.bytes_ = 0;
  }
  MappedTable& operator=(MappedTable&& o) noexcept;
  MappedTable(const MappedTable&) = delete;
  MappedTable& operator=(const MappedTable&) = delete;
  ~MappedTable();

  const unsigned char* data() const { return static_cast<const unsigned char*>(base_); }
  std::size_t size() const { return bytes_; }
  bool empty() const { return base_ == nullptr; }

 private:
  void* base_ = nullptr;
  std::size_t bytes_ = 0;
};

// Maps path, whose size must be exactly bytes: "cannot open " + path,
// "size mismatch " + path, "mmap failed " + path.
MappedTable mapFile(const std::string& path, std::uint64_t bytes);

// stat succeeds on path (a file, a directory, anything).
bool statExists(const std::string& path);
// path can be opened for reading.
bool canOpen(const std::string& path);

}  // namespace le
