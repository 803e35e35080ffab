#include "base/le_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace le {

std::size_t readFull(int fd, void* buf, std::size_t n) {
  std::size_t got = 0;
  auto* p = static_cast<char*>(buf);
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

// ------------------------------------------------------------------ RawFile

RawFile::RawFile(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  struct stat st{};
  if (::fstat(fd_, &st) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("cannot open " + path);
  }
  regular_ = S_ISREG(st.st_mode);
  directory_ = S_ISDIR(st.st_mode);
  size_ = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

RawFile::RawFile(const std::string& path, std::uint64_t bytes) : RawFile(path) {
  // Pipes and devices report no size; their length shows only when read.
  if (regular_ && size_ != bytes) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("size mismatch " + path);
  }
}

RawFile::RawFile(RawFile&& o) noexcept
    : fd_(o.fd_), path_(std::move(o.path_)), size_(o.size_), regular_(o.regular_), directory_(o.directory_) {
  o.fd_ = -1;
}

RawFile::~RawFile() {
  if (fd_ >= 0) ::close(fd_);
}

void RawFile::readAll(void* dst, std::uint64_t bytes) {
  if (read(dst, static_cast<std::size_t>(bytes)) != bytes) throw std::runtime_error("size mismatch " + path_);
  char extra;
  if (read(&extra, 1) != 0) throw std::runtime_error("size mismatch " + path_);
}

// ------------------------------------------------------------ whole files

namespace {

template <class Bytes>
Bytes readWhole(const std::string& path, bool directoryCannotOpen) {
  RawFile f(path);
  if (directoryCannotOpen && f.directory()) throw std::runtime_error("cannot open " + path);
  Bytes out;
  out.resize(static_cast<std::size_t>(f.size()));
  if (f.read(out.data(), out.size()) != out.size()) throw std::runtime_error("short read " + path);
  return out;
}

}  // namespace

std::string readText(const std::string& path) { return readWhole<std::string>(path, true); }

std::vector<std::uint8_t> readBytes(const std::string& path) {
  return readWhole<std::vector<std::uint8_t>>(path, false);
}

std::string readOptionalText(const std::string& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[1 << 16];
  for (;;) {
    errno = 0;
    const std::size_t r = readFull(fd, buf, sizeof buf);
    out.append(buf, r);
    if (r < sizeof buf) {
      // A directory or a read error: nothing readable.
      if (errno != 0) out.clear();
      break;
    }
  }
  ::close(fd);
  return out;
}

// ---------------------------------------------------------------- mappings

MappedTable& MappedTable::operator=(MappedTable&& o) noexcept {
  if (this != &o) {
    if (base_) ::munmap(base_, bytes_);
    base_ = o.base_;
    bytes_ = o.bytes_;
    o.base_ = nullptr;
    o.bytes_ = 0;
  }
  return *this;
}

MappedTable::~MappedTable() {
  if (base_) ::munmap(base_, bytes_);
}

MappedTable mapFile(const std::string& path, std::uint64_t bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st{};
  if (::fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) != bytes) {
    ::close(fd);
    throw std::runtime_error("size mismatch " + path);
  }
  if (bytes == 0) {
    ::close(fd);
    return {};
  }
  void* p = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  return MappedTable(p, static_cast<std::size_t>(bytes));
}

// ------------------------------------------------------------------- probes

bool statExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

bool canOpen(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace le
