#include "app/trim_driver.hpp"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/progress.hpp"
#include "image/replacement.hpp"
#include "image/disk_image.hpp"
#include "image/file_guard.hpp"
#include "platform/file_ops.hpp"
#include "platform/stop_signals.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

bool parse_option(std::string_view arg, CommandLine& out, bool& seen_d, bool& seen_s) noexcept {
  if (arg.size() != 2 || (arg[0] != '-' && arg[0] != '/')) return false;
  switch (arg[1]) {
    case 'd':
    case 'D':
      if (seen_d) return false;
      seen_d = out.delete_backup = true;
      return true;
    case 's':
    case 'S':
      if (seen_s) return false;
      seen_s = out.silent = true;
      return true;
    default: return false;
  }
}

// While a trim runs, an interrupt, termination or hang-up asks it to stop at its next progress
// call instead of killing it halfway through a file; a reader that went away is no reason to
// leave a partial file either.
class StopSignals {
 public:
  StopSignals() noexcept {
    clear_stop_signal();
    platform::install_stop_handlers(note_stop_signal);
  }
  ~StopSignals() { platform::restore_stop_handlers(); }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
};

void print_swap_event(SwapEvent event, TextView path, void*) noexcept {
  const char* word = event == SwapEvent::kDeletingBackup ? "QxDeleteFile" : "QxNoLinkSwap";
  std::printf("%s %.*s\n", word, static_cast<int>(path.size()), path.data());
  std::fflush(stdout);
}

int finish(const CommandLine& cmd, ErrorCode result) {
  if (!cmd.silent) std::printf("\n%s\n", result == OK ? "SUCCESS" : "ERROR");
  std::fflush(stdout);
  return result == OK ? 0 : 2;
}

// Opens, maps, trims and swaps; returns the exit status.
int run_trim(const CommandLine& cmd, std::string_view resolved) {
  StopSignals signals;
  const uint64_t read_failures = file_read_failures();
  // The image is held before its first byte is read, so that no hypervisor writes it while it is
  // trimmed and any other change shows at the swap.
  FileGuard guard;
  ActiveGuard active(guard);
  // A folder (a bundle) is no file to hold: its format holds each file it would rewrite as it
  // opens them.
  if (!is_directory(resolved)) {
    switch (guard.hold(resolved)) {
      case HoldResult::kHeld: break;
      case HoldResult::kInUse: return finish(cmd, ERR_OPEN);
      case HoldResult::kCannotOpen: return 2;
    }
  }
  DiskImage image;
  if (open_image(image, resolved, true) != OK)
    return guard.saw_file_in_use() ? finish(cmd, ERR_OPEN) : 2;
  // Over the wrong parent the map itself would be wrong: refuse before anything is built.
  if (parent_chain_status(image) != OK) return finish(cmd, ERR_BAD_FORMAT);
  ErrorCode map_error = OK;
  uint32_t recognised = 0;
  std::unique_ptr<UsageMap> map = build_usage_map(image, map_error, recognised);
  if (!map) return 2;

  ProgressState progress{cmd.silent, cmd.delete_backup, 0};
  ErrorCode result = ERR_UNSUPPORTED;
  if (can_trim(image)) {
    WriterRecord record;
    result = trim_image(image, resolved, *map, record, print_progress, &progress);
    // Nothing of the image may stay open while its files are renamed.
    destroy_usage_map(*map);
    close_image(image);
    // A stop that came after the last progress call still stops the run.
    if (result == OK && stop_signalled()) result = CANCELLED;
    if (result == OK && file_read_failures() != read_failures) result = ERR_READ;
    if (result == OK) {
      // A swap that failed is a failed run, whatever the trim achieved.
      result = commit_writer_record(record, kBackupSuffix, cmd.delete_backup,
                                    SwapNotice{print_swap_event, nullptr});
      if (result != OK) (void)discard_writer_record(record);
    } else {
      (void)discard_writer_record(record);
    }
  }
  return finish(cmd, result);
}

}  // namespace

bool parse_command_line(std::span<const char* const> args, CommandLine& out) noexcept {
  out = CommandLine{};
  if (args.empty()) return false;
  bool seen_d = false, seen_s = false;
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (!parse_option(args[i], out, seen_d, seen_s)) return false;
  out.path = args.back();
  return true;
}

void print_usage() noexcept {
  std::fputs("QUORVEX Ver.0 alpha04\nUsage:\nquorvex [-d] [-s] filepath\n", stdout);
  std::fflush(stdout);
}

int run_quorvex(int argc, const char* const* argv) noexcept {
  std::setlocale(LC_ALL, "");
  try {
    CommandLine cmd;
    std::string resolved;
    if (argc < 2 ||
        !parse_command_line(std::span<const char* const>(argv + 1, static_cast<size_t>(argc - 1)), cmd) ||
        !platform::resolve_path(argv[argc - 1], resolved)) {
      print_usage();
      return 1;
    }
    return run_trim(cmd, resolved);
  } catch (...) {
    return 2;
  }
}

}  // namespace qx
