#include "support/test_support.hpp"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "image/disk_image.hpp"

namespace qx::test {
namespace {

// The tool takes paths as UTF-8; the narrow file calls of Windows take the ANSI code page.
std::filesystem::path utf8_path(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

}  // namespace

std::string TempDir::file(const std::string& name) const {
  const std::u8string text = (path_ / utf8_path(name)).u8string();
  return std::string(text.begin(), text.end());
}

#ifdef _WIN32
TempDir::TempDir(const std::filesystem::path& base) {
  const std::filesystem::path parent = base.empty() ? std::filesystem::temp_directory_path() : base;
  static unsigned counter = 0;
  for (unsigned tries = 0; tries < 1000; ++tries) {
    const std::filesystem::path p =
        parent / ("qxtest-" + std::to_string(std::rand()) + "-" + std::to_string(++counter));
    if (std::filesystem::create_directory(p)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("no temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

// Through cmd.exe, which takes the whole line in quotes when it starts with a quoted program.
CommandResult run_command(const std::string& command) {
  CommandResult result;
  std::fflush(stdout);
  FILE* pipe = ::_popen(("\"" + command + "\"").c_str(), "rb");
  if (!pipe) return result;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) result.output.append(buf.data(), n);
  result.status = ::_pclose(pipe);
  // Lines as a Linux shell would have given them; a progress line's own "\r" stays.
  std::string text;
  for (size_t i = 0; i < result.output.size(); ++i)
    if (result.output[i] != '\r' || i + 1 == result.output.size() || result.output[i + 1] != '\n')
      text += result.output[i];
  result.output = std::move(text);
  return result;
}

// The Linux tools that tests drive are not there: those tests skip themselves.
bool have_tool(const std::string&) { return false; }

std::string shell_quote(const std::string& s) { return "\"" + s + "\""; }
#else
TempDir::TempDir(const std::filesystem::path& base) {
  std::string tmpl =
      ((base.empty() ? std::filesystem::temp_directory_path() : base) / "qxtest-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // A test may have made parts of its folder read-only.
  run_command("chmod -R u+rwx " + shell_quote(path_.string()) + " 2>/dev/null");
  std::filesystem::remove_all(path_, ec);
}

CommandResult run_command(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) result.output.append(buf.data(), n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool have_tool(const std::string& name) {
  return run_command("command -v " + shell_quote(name) + " >/dev/null 2>&1").status == 0;
}

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}
#endif

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(utf8_path(path), std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<uint8_t> data(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<size_t>(in.gcount()));
  return data;
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(utf8_path(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void make_sparse_file(const std::string& path, uint64_t size) {
  std::error_code ec;
  if (!std::filesystem::exists(utf8_path(path), ec))
    std::ofstream(utf8_path(path), std::ios::binary | std::ios::app).close();
  std::filesystem::resize_file(utf8_path(path), size, ec);
  if (ec) throw std::runtime_error("truncate failed: " + path);
}

void fill_pattern(const std::string& path, uint64_t offset, uint64_t length, uint8_t seed) {
  std::fstream f(utf8_path(path), std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  std::vector<char> chunk(1 << 20);
  uint8_t v = seed;
  for (auto& c : chunk) {
    c = static_cast<char>(v | 1);
    v = static_cast<uint8_t>(v * 37 + 11);
  }
  while (length) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, chunk.size()));
    f.write(chunk.data(), static_cast<std::streamsize>(n));
    length -= n;
  }
}

std::string quorvex_binary() { return QX_BINARY; }
std::string inspect_binary() { return QX_INSPECT_BINARY; }
std::string source_dir() { return QX_SOURCE_DIR; }

std::filesystem::path memory_folder() {
#ifdef _WIN32
  return std::filesystem::temp_directory_path();
#else
  std::error_code ec;
  return std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
             ? std::filesystem::path("/dev/shm")
             : std::filesystem::temp_directory_path();
#endif
}

std::vector<uint8_t> read_whole_disk(const std::string& path) {
  DiskImage image;
  if (open_image(image, path, true) != OK) throw std::runtime_error("cannot open " + path);
  std::vector<uint8_t> disk(get_geometry(image).size_bytes());
  constexpr size_t kPiece = 4u << 20;
  for (size_t at = 0; at < disk.size(); at += kPiece) {
    const size_t n = std::min(kPiece, disk.size() - at);
    if (read_bytes(image, at, std::span(disk).subspan(at, n)) != OK)
      throw std::runtime_error("cannot read " + path);
  }
  return disk;
}

}  // namespace qx::test
