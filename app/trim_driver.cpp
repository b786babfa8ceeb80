#include "app/trim_driver.hpp"

#include <signal.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/progress.hpp"
#include "formats/format_ids.hpp"
#include "image/replacement.hpp"
#include "image/disk_image.hpp"
#include "image/file_guard.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

bool parse_option(std::string_view arg, CommandLine& out, bool& seen_d, bool& seen_s) noexcept {
  if (arg == "--in-place") return !out.in_place && (out.in_place = true);
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
    struct sigaction stop {};
    stop.sa_handler = note_stop_signal;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    for (size_t i = 0; i < kStops; ++i) ::sigaction(kSignals[i], &stop, &saved_[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &saved_[kStops]);
  }
  ~StopSignals() {
    for (size_t i = 0; i <= kStops; ++i) ::sigaction(kSignals[i], &saved_[i], nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr size_t kStops = 3;
  static constexpr int kSignals[kStops + 1] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  struct sigaction saved_[kStops + 1];
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
  FileInfo before;
  const bool tell_host_bytes = (cmd.in_place || image.format == FORMAT_RAW) && file_info(resolved, before);
  if (cmd.in_place) {
    result = trim_image_in_place(image, resolved, *map, print_progress, &progress);
    if (result == OK && stop_signalled()) result = CANCELLED;
    if (result == OK && file_read_failures() != read_failures) result = ERR_READ;
    if (result == ERR_UNSUPPORTED && refusal_note())
      std::fprintf(stderr, "quorvex: %s\n", refusal_note());
  } else if (can_trim(image)) {
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
  FileInfo after;
  if (result == OK && tell_host_bytes && !cmd.silent && file_info(resolved, after))
    std::printf("\nhost bytes: %llu before, %llu after", static_cast<unsigned long long>(before.allocated),
                static_cast<unsigned long long>(after.allocated));
  return finish(cmd, result);
}

}  // namespace

bool parse_command_line(std::span<const char* const> args, CommandLine& out) noexcept {
  out = CommandLine{};
  if (args.empty()) return false;
  bool seen_d = false, seen_s = false;
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (!parse_option(args[i], out, seen_d, seen_s)) return false;
  // Nothing is replaced in place, so there is no backup to delete.
  if (out.in_place && out.delete_backup) return false;
  out.path = args.back();
  return true;
}

void print_usage() noexcept {
  std::fputs("QUORVEX Ver.0 alpha04\nUsage:\nquorvex [-d] [-s] [--in-place] filepath\n", stdout);
  std::fflush(stdout);
}

int run_quorvex(int argc, const char* const* argv) noexcept {
  std::setlocale(LC_ALL, "");
  CommandLine cmd;
  if (argc < 2 ||
      !parse_command_line(std::span<const char* const>(argv + 1, static_cast<size_t>(argc - 1)), cmd)) {
    print_usage();
    return 1;
  }
  char resolved[PATH_MAX];
  if (!::realpath(argv[argc - 1], resolved)) {
    print_usage();
    return 1;
  }
  try {
    return run_trim(cmd, resolved);
  } catch (...) {
    return 2;
  }
}

}  // namespace qx
