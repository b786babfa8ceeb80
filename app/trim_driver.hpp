// The command line and the run of one trim, from opening the image to swapping the files.
#pragma once

#include <span>
#include <string_view>
#include <vector>

namespace qx {

inline constexpr const char* kQuorvexVersion = "0.4.0";

// An argument that a program does not take and why; `argument` empty when the image is missing.
struct ArgumentFault {
  std::string_view argument;
  const char* why = "no image named";
};

struct CommandLine {
  bool delete_backup = false;
  bool silent = false;
  bool json = false;
  bool in_place = false;  // give free space back inside the image, no second file
  bool help = false;      // "--help" alone
  bool version = false;   // "--version" alone
  std::string_view format;  // -f: the image's format as the user names it; empty: probed
  std::vector<std::string_view> key_files;  // as given: FILE, "-" or VOLUME=FILE
  std::string_view path;
  ArgumentFault fault;  // when the arguments are refused
};

// False when the arguments (without the program name) are not "[-d] [-s] [--json] [--in-place]
// [-f FORMAT] [--key-file FILE]... filepath" (-d and --in-place exclude each other; -f also as
// --format, FORMAT not checked here), "--help" or "--version"; `out.fault` then names the first
// argument at fault.
[[nodiscard]] bool parse_command_line(std::span<const char* const> args, CommandLine& out) noexcept;

void print_usage() noexcept;
// The usage with every option explained (--help).
void print_help() noexcept;

// The whole program; returns the exit status (0 success, 1 usage, 2 failure).
int run_quorvex(int argc, const char* const* argv) noexcept;

}  // namespace qx
