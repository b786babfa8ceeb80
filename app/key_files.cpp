#include "app/key_files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file_ops.hpp"

namespace qx {
namespace {

// The whole file, or from standard input the bytes before the first line end (as a passphrase
// typed or piped in); a pipe is read to its end.
bool read_secret(std::string_view name, Secret& out, std::string& failure) {
  const bool input = name == "-";
  platform::Handle h = platform::kNoHandle;
  size_t capacity = kMaxKeyFileBytes + 1;
  if (input) {
    h = platform::standard_input();
  } else {
    const std::string path(name);
    h = platform::open_existing(path.c_str(), true);
    platform::FileInfo info;
    if (h != platform::kNoHandle && platform::handle_info(h, info) && info.regular())
      capacity = static_cast<size_t>(std::min<uint64_t>(info.size, kMaxKeyFileBytes) + 1);
  }
  if (h == platform::kNoHandle) {
    failure = "the key file " + std::string(name) + " cannot be opened: " + std::strerror(errno);
    return false;
  }
  out = Secret(capacity);
  size_t size = 0;
  bool ok = true;
  for (;;) {
    const int64_t n = platform::read_next(h, out.data() + size, capacity - size);
    if (n < 0) ok = false;
    if (n <= 0) break;
    size += static_cast<size_t>(n);
    out.resize(size);
    if (input) {
      if (const void* end = std::memchr(out.data(), '\n', size)) {
        out.resize(static_cast<size_t>(static_cast<const uint8_t*>(end) - out.data()));
        break;
      }
    }
    if (size == capacity) break;
  }
  const int error = errno;
  if (!input) (void)platform::close(h);
  if (!ok) failure = "the key file " + std::string(name) + " cannot be read: " + std::strerror(error);
  else if (size > kMaxKeyFileBytes) failure = "the key file " + std::string(name) + " is larger than 8 MiB";
  else if (out.size() == 0) failure = "the key file " + std::string(name) + " is empty";
  else return true;
  out.clear();
  return false;
}

}  // namespace

bool take_key_file_option(std::span<const char* const> args, size_t& i, size_t limit,
                          std::vector<std::string_view>& out) {
  const std::string_view arg(args[i]);
  constexpr std::string_view kName = "--key-file";
  if (arg.substr(0, kName.size()) != kName) return false;
  if (arg.size() > kName.size() + 1 && arg[kName.size()] == '=') {
    out.push_back(arg.substr(kName.size() + 1));
    return true;
  }
  if (arg.size() != kName.size() || i + 1 >= limit || std::string_view(args[i + 1]).empty()) return false;
  out.push_back(args[++i]);
  return true;
}

bool read_key_files(std::span<const std::string_view> specs, VolumeKeys& out, std::string& failure) {
  out.clear();
  bool input_taken = false;
  for (const std::string_view spec : specs) {
    VolumeKey key;
    std::string_view file = spec;
    if (const size_t eq = spec.find('='); eq != std::string_view::npos && is_volume_selector(spec.substr(0, eq))) {
      key.volume = std::string(spec.substr(0, eq));
      file = spec.substr(eq + 1);
    }
    if (file.empty() || (file == "-" && input_taken)) {
      failure = file.empty() ? "a --key-file names no file" : "standard input can give one key file only";
      out.clear();
      return false;
    }
    input_taken = input_taken || file == "-";
    if (!read_secret(file, key.passphrase, failure)) {
      out.clear();
      return false;
    }
    out.push_back(std::move(key));
  }
  return true;
}

}  // namespace qx
