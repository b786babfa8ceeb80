// Shared helpers of the test suite: temporary folders, files, running tools and the binaries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qx::test {

// A fresh folder under the system's temporary folder (or under `base`), removed with everything
// in it.
class TempDir {
 public:
  explicit TempDir(const std::filesystem::path& base = {});
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // UTF-8, as the tool takes paths.
  std::string file(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

struct CommandResult {
  int status = -1;     // exit status, or -1 when the command did not exit normally
  std::string output;  // standard output (and standard error when merged by the command)
};

// Runs a shell command and captures its standard output.
CommandResult run_command(const std::string& command);
// True when a program of that name is on the PATH.
bool have_tool(const std::string& name);
// Quotes a string for the shell.
std::string shell_quote(const std::string& s);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& data);
// Extends (or creates) a sparse file of the given size.
void make_sparse_file(const std::string& path, uint64_t size);
// Fills [offset, offset + length) of a file with a repeating non-zero pattern.
void fill_pattern(const std::string& path, uint64_t offset, uint64_t length, uint8_t seed = 0xA5);

// The programs under test and the source tree. Only test_support.cpp is compiled with their
// absolute paths, so that every other unit is the same in any clone (and one compiler cache
// serves them all).
std::string quorvex_binary();
std::string inspect_binary();
std::string source_dir();

// A folder in memory (/dev/shm) when the machine has one, else the temporary folder: for tests
// that sync files again and again.
std::filesystem::path memory_folder();
// The whole virtual disk of an image opened through format detection, read in large pieces.
std::vector<uint8_t> read_whole_disk(const std::string& path);

}  // namespace qx::test
