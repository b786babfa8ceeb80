#include "image/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace qx {
namespace {

// Copies a path into a terminated stack buffer; false when it does not fit or holds a NUL.
class CPath {
 public:
  explicit CPath(std::string_view path) noexcept {
    if (path.size() > kMaxPathBytes || path.find('\0') != std::string_view::npos) return;
    std::memcpy(buf_, path.data(), path.size());
    buf_[path.size()] = '\0';
    ok_ = true;
  }
  bool ok() const noexcept { return ok_; }
  const char* c_str() const noexcept { return buf_; }

 private:
  char buf_[kMaxPathBytes + 1];
  bool ok_ = false;
};

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    stream_ = other.stream_;
    other.stream_ = nullptr;
  }
  return *this;
}

File File::open_existing(std::string_view path, bool read_only) noexcept {
  CPath p(path);
  if (!p.ok()) return File();
  return File(std::fopen(p.c_str(), read_only ? "rb" : "r+b"));
}

File File::create(std::string_view path) noexcept {
  CPath p(path);
  if (!p.ok()) return File();
  return File(std::fopen(p.c_str(), "w+b"));
}

bool File::close() noexcept {
  if (!stream_) return true;
  const bool ok = std::fclose(stream_) == 0;
  stream_ = nullptr;
  return ok;
}

bool File::length(uint64_t& out) noexcept {
  if (!stream_ || fseeko(stream_, 0, SEEK_END) != 0) return false;
  const off_t pos = ftello(stream_);
  if (pos < 0) return false;
  out = static_cast<uint64_t>(pos);
  return true;
}

bool File::read_at(uint64_t offset, std::span<uint8_t> out) noexcept {
  if (!stream_ || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (fseeko(stream_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  if (out.empty()) return true;
  return std::fread(out.data(), 1, out.size(), stream_) == out.size();
}

bool File::write_at(uint64_t offset, std::span<const uint8_t> data) noexcept {
  if (!stream_ || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (fseeko(stream_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  if (data.empty()) return true;
  return std::fwrite(data.data(), 1, data.size(), stream_) == data.size();
}

bool File::flush() noexcept { return stream_ && std::fflush(stream_) == 0; }

bool File::start_writeback(uint64_t offset, uint64_t length) noexcept {
  if (!flush()) return false;
  (void)::sync_file_range(::fileno(stream_), static_cast<off_t>(offset), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WRITE);
  return true;
}

bool File::sync() noexcept { return flush() && ::fsync(::fileno(stream_)) == 0; }

bool file_exists(std::string_view path) noexcept {
  CPath p(path);
  struct stat st;
  return p.ok() && ::stat(p.c_str(), &st) == 0;
}

bool file_rename(std::string_view from, std::string_view to) noexcept {
  CPath a(from), b(to);
  return a.ok() && b.ok() && std::rename(a.c_str(), b.c_str()) == 0;
}

bool file_remove(std::string_view path) noexcept {
  CPath p(path);
  return p.ok() && std::remove(p.c_str()) == 0;
}

}  // namespace qx
