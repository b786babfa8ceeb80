#include "app/trim_driver.hpp"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "app/inspect.hpp"
#include "app/key_files.hpp"
#include "app/progress.hpp"
#include "app/run_outcome.hpp"
#include "formats/format_ids.hpp"
#include "formats/image_files.hpp"
#include "image/replacement.hpp"
#include "image/detect.hpp"
#include "image/disk_image.hpp"
#include "formats/trim_walk.hpp"
#include "image/file_guard.hpp"
#include "platform/file_ops.hpp"
#include "platform/stop_signals.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

constexpr const char* kTwice = "given twice";

// Why `arg` is refused after the options before it; null when it is taken. `next`: the argument
// after this one, which -f takes as its name (`took` then set).
const char* parse_option(std::string_view arg, std::string_view next, bool& took, CommandLine& out, bool& seen_d,
                         bool& seen_s) noexcept {
  if (arg == "-f" || arg == "--format") {
    if (!out.format.empty()) return kTwice;
    if (next.empty()) return "needs a format name before the image";
    out.format = next;
    took = true;
    return nullptr;
  }
  if (arg.starts_with("--format=")) {
    if (!out.format.empty()) return kTwice;
    if (arg.size() == 9) return "needs a format name";
    out.format = arg.substr(9);
    return nullptr;
  }
  if (arg == "--json") return std::exchange(out.json, true) ? kTwice : nullptr;
  if (arg == "--in-place") {
    if (std::exchange(out.in_place, true)) return kTwice;
    return out.delete_backup ? "cannot be given with -d (in place there is no backup)" : nullptr;
  }
  if (arg == "--help" || arg == "--version") return "stands alone";
  if (arg.size() != 2 || (arg[0] != '-' && arg[0] != '/'))
    return arg.starts_with("-") ? "not an option" : "one image at a time, named last";
  switch (arg[1]) {
    case 'd':
    case 'D':
      if (std::exchange(seen_d, true)) return kTwice;
      out.delete_backup = true;
      return out.in_place ? "cannot be given with --in-place (in place there is no backup)" : nullptr;
    case 's':
    case 'S':
      if (std::exchange(seen_s, true)) return kTwice;
      out.silent = true;
      return nullptr;
    default: return "not an option";
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

void print_swap_event(SwapEvent event, TextView path, void* json) noexcept {
  const char* word = event == SwapEvent::kDeletingBackup ? "QxDeleteFile" : "QxNoLinkSwap";
  try {
    if (json) std::printf("{\"event\": \"swap\", \"notice\": \"%s\", \"path\": %s}\n", word,
                          json_quote(std::string_view(path.data(), path.size())).c_str());
    else std::printf("%s %.*s\n", word, static_cast<int>(path.size()), path.data());
  } catch (...) {
  }
  std::fflush(stdout);
}

// What the swap will put in place, for the final JSON object.
void note_new_files(const WriterRecord& record, bool delete_backup, RunOutcome& run) {
  auto add = [&](const ReplacementEntry& e) {
    FileInfo before, after;
    if (e.temporary.empty()) return;
    if (file_info(e.target.view(), before)) run.size_before += before.size;
    if (file_info(e.temporary.view(), after)) run.size_after += after.size;
    run.new_files.emplace_back(e.target.view());
    if (!delete_backup) run.backups.push_back(std::string(e.target.view()) + std::string(kBackupSuffix));
  };
  if (record.single.active) add(record.single.entry);
  for (uint32_t i = 0; i < record.list.count && i < record.list.entries.size(); ++i)
    add(record.list.entries[i]);
}

int finish(RunOutcome& run, ErrorCode result, Reason reason = {}) {
  if (result != OK) run.reason = std::move(reason);
  return end_run(run, result == OK ? 0 : 2);
}

// A failure that has always ended without the result word.
int fail_quietly(RunOutcome& run, Reason reason) {
  run.reason = std::move(reason);
  return end_run(run, 2, false);
}

Reason in_use_reason() {
  if (platform::kBackslashSeparates)
    return {"in_use", "the image is in use by another program (it has the file open for writing); "
                      "shut down the virtual machine or close the program, then run again"};
  return {"in_use", "the image is in use by another program (it holds QEMU's lock on the file); "
                    "shut down the virtual machine or close the QEMU tool, then run again"};
}

Reason cannot_hold_reason(std::string_view resolved, int error) {
  if (Reason why = not_regular_reason(); !why.empty()) return why;
  FileInfo info;
  if (file_info(resolved, info) && !info.regular())
    return {"cannot_open", "the image is neither a regular file nor a folder"};
  return {"cannot_open", std::string("the image cannot be opened: ") + std::strerror(error)};
}

Reason changed_reason() {
  return {"changed", "the image changed while it was trimmed (another program wrote it); it was left "
                     "as that program left it"};
}

bool keep_going(uint32_t, uint32_t, void*) { return !stop_signalled(); }

// What the files the trim would replace take on the host today.
uint64_t host_bytes_now(const TrimForecast& forecast) {
  uint64_t n = 0;
  for (const ForecastFile& f : forecast.files) {
    FileInfo info;
    n += file_info(f.path, info) ? info.allocated : f.current_bytes;
  }
  return n;
}

Reason nothing_to_gain(const TrimForecast& forecast) {
  return {"nothing_to_gain", "nothing to gain: the trimmed image would take " +
                                 std::to_string(forecast.bytes()) + " bytes, it takes " +
                                 std::to_string(forecast.current_bytes()) +
                                 " now; nothing was written"};
}

// Opens, maps, trims and swaps; returns the exit status. The keys are wiped once the map is built.
int run_trim(const CommandLine& cmd, std::string_view resolved, VolumeKeys& keys, RunOutcome& run) {
  StopSignals signals;
  // In place, the image's own handles let the one that punches in beside them for the run.
  platform::ReadOpensShareWrites sharing(cmd.in_place);
  clear_file_failure();
  clear_refused_file();
  // The image is held before its first byte is read, so that no hypervisor writes it while it is
  // trimmed and any other change shows at the swap.
  FileGuard guard;
  ActiveGuard active(guard);
  // A folder (a bundle) is no file to hold: its format holds each file it would rewrite as it
  // opens them.
  if (!is_directory(resolved)) {
    switch (guard.hold(resolved)) {
      case HoldResult::kHeld: break;
      case HoldResult::kInUse: return finish(run, ERR_OPEN, in_use_reason());
      case HoldResult::kCannotOpen: return fail_quietly(run, cannot_hold_reason(resolved, errno));
    }
  }
  // A swap of several files that a crash cut off is finished before anything reads them; a journal
  // that names anything but the image's own files is left alone for the user to look at.
  bool cut_off = false;
  std::vector<std::string> own_files;
  if (cut_off_swap_pending(resolved) && list_image_files(resolved, own_files) != OK)
    return finish(run, ERR_NO_MEMORY, failure_reason(ERR_NO_MEMORY, resolved));
  if (ErrorCode rc = finish_cut_off_swap(resolved, own_files, cut_off); rc == ERR_BAD_RECORD) {
    return finish(run, rc, untrusted_journal_reason(resolved));
  } else if (rc != OK) {
    return finish(run, ERR_CREATE, unfinishable_swap_reason());
  }
  if (cut_off)
    std::fprintf(stderr, "quorvex: %.*s: a run was cut off in the middle of the swap of this image's "
                         "files; that swap is now complete, or undone where it had failed\n",
                 static_cast<int>(run.shown_path.size()), run.shown_path.data());
  DiskImage image;
  const ErrorCode opened =
      cmd.format.empty() ? open_image(image, resolved, true) : open_image_named(image, resolved, true, cmd.format);
  if (opened != OK)
    return guard.saw_file_in_use() ? finish(run, ERR_OPEN, in_use_reason())
                                   : fail_quietly(run, open_reason(opened, resolved, cmd.format));
  if (cmd.format.empty())
    if (const std::string note = format_note(image, resolved); !note.empty())
      std::fprintf(stderr, "quorvex: %.*s: %s\n", static_cast<int>(run.shown_path.size()), run.shown_path.data(),
                   note.c_str());
  // Over the wrong parent the map itself would be wrong: refuse before anything is built.
  if (ErrorCode rc = parent_chain_status(image); rc != OK)
    return finish(run, rc, parent_chain_reason(rc));
  ErrorCode map_error = OK;
  uint32_t recognised = 0;
  std::unique_ptr<UsageMap> map = build_usage_map(image, map_error, recognised, MapContext{&keys});
  keys.clear();
  if (!map) return fail_quietly(run, map_failure_reason(map_error, resolved));
  if (!map->table_note.empty())
    std::fprintf(stderr, "quorvex: %.*s: %s\n", static_cast<int>(run.shown_path.size()), run.shown_path.data(),
                 map->table_note.text.c_str());

  ProgressState progress{cmd.silent, cmd.delete_backup, 0};
  progress.once_per_percent = !platform::output_is_terminal();
  progress.json = cmd.json;
  if (get_geometry(image).bytes_per_sector) progress.unit_bytes = get_geometry(image).bytes_per_sector;
  ErrorCode result = ERR_UNSUPPORTED;
  FileInfo before;
  const bool tell_host_bytes =
      !cmd.json && (cmd.in_place || image.format == FORMAT_RAW) && file_info(resolved, before);
  Reason reason;
  if (cmd.in_place) {
    clear_refusal();
    result = trim_image_in_place(image, resolved, *map, print_progress, &progress);
    if (result == OK && stop_signalled()) result = CANCELLED;
    const std::string_view key = refusal_key() ? refusal_key() : "";
    if (result != OK)
      reason = result == ERR_UNSUPPORTED ? refusal_reason("in_place_refused", "this image cannot be trimmed in place; trim it without --in-place")
               : result == ERR_OPEN && key == "in_use"  ? in_use_reason()
               : result == ERR_OPEN && key == "changed" ? changed_reason()
                                                        : failure_reason(result, resolved);
  } else if ((reason = why_not_trimmed(image)).empty()) {
    clear_file_failure();
    // The trim run without writing says what it would write (and decides for the trim that
    // follows): nothing is written when that gains nothing, or does not fit.
    TrimForecast forecast;
    TrimDecisions decisions;
    CountingSink counting(forecast);
    result = trim_image(image, resolved, *map, counting, keep_going, nullptr, &decisions);
    // A raw image keeps its length: what it can gain is room on the host.
    const bool no_gain = image.format == FORMAT_RAW ? forecast.host_bytes >= host_bytes_now(forecast)
                                                    : forecast.bytes() >= forecast.current_bytes();
    if (result == OK && no_gain) {
      // Names an earlier run left behind (a crash before its swap ended) go, as a run that writes
      // would remove them; the image's own name already holds a whole image.
      for (const ForecastFile& f : forecast.files)
        for (const std::string& left : {f.path + "_TEMP", f.path + std::string(kBackupSuffix) + "_TEMP"})
          (void)remove_stale_file(left);
      run.size_before = run.size_after = forecast.current_bytes();
      run.reason = nothing_to_gain(forecast);
      return end_run(run, 0);
    }
    if (result == OK && forecast.host_bytes > folder_free_bytes(resolved)) {
      run.size_before = forecast.current_bytes();
      return finish(run, ERR_WRITE, no_room(forecast.host_bytes, folder_free_bytes(resolved)));
    }
    if (result != OK) return finish(run, result, failure_reason(result, resolved));
    WriterRecord record;
    FileSink files(record);
    result = trim_image(image, resolved, *map, files, print_progress, &progress, &decisions);
    // Nothing of the image may stay open while its files are renamed.
    destroy_usage_map(*map);
    close_image(image);
    // A stop that came after the last progress call still stops the run.
    if (result == OK && stop_signalled()) result = CANCELLED;
    if (result == OK) {
      note_new_files(record, cmd.delete_backup, run);
      // A swap that failed is a failed run, whatever the trim achieved.
      result = commit_writer_record(record, kBackupSuffix, cmd.delete_backup,
                                    SwapNotice{print_swap_event, cmd.json ? &run : nullptr});
      if (result != OK) (void)discard_writer_record(record);
    } else {
      (void)discard_writer_record(record);
    }
    if (result != OK)
      reason = guard.saw_file_in_use() ? in_use_reason()
               : result == CANCELLED || is_directory(resolved) || guard.unchanged(resolved)
                   ? failure_reason(result, resolved)
                   : changed_reason();
  }
  FileInfo after;
  if (result == OK && tell_host_bytes && !cmd.silent && file_info(resolved, after))
    std::printf("\nhost bytes: %llu before, %llu after", static_cast<unsigned long long>(before.allocated),
                static_cast<unsigned long long>(after.allocated));
  return finish(run, result, std::move(reason));
}

}  // namespace

bool parse_command_line(std::span<const char* const> args, CommandLine& out) noexcept {
  out = CommandLine{};
  if (args.empty()) return false;
  if (args.size() == 1 && (std::string_view(args[0]) == "--help" || std::string_view(args[0]) == "--version")) {
    (std::string_view(args[0]) == "--help" ? out.help : out.version) = true;
    return true;
  }
  bool seen_d = false, seen_s = false;
  try {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
      if (take_key_file_option(args, i, args.size() - 1, out.key_files)) continue;
      bool took = false;
      const std::string_view next = i + 2 < args.size() ? args[i + 1] : "";
      const std::string_view arg(args[i]);
      const char* why = arg.starts_with("--key-file") ? "needs a key file before the image"
                                                      : parse_option(arg, next, took, out, seen_d, seen_s);
      if (why) {
        out.fault = {arg, why};
        return false;
      }
      i += took;
    }
  } catch (...) {
    return false;
  }
  out.path = args.back();
  return true;
}

void print_usage() noexcept {
  // The version as the first releases showed it: "Ver.<major> alpha<minor, two digits>".
  const std::string_view version = kQuorvexVersion;
  const size_t dot = version.find('.');
  std::printf("QUORVEX Ver.%.*s alpha%02d\nUsage:\nquorvex [-d] [-s] [--json] [--in-place] [-f FORMAT] "
              "[--key-file FILE]... filepath\n",
              static_cast<int>(dot), version.data(), std::atoi(kQuorvexVersion + dot + 1));
  std::fflush(stdout);
}

void print_help() noexcept {
  print_usage();
  std::fputs(
      "Makes a virtual-disk image smaller without changing what the guest sees; the old image is\n"
      "kept beside it as filepath_DEL.\n"
      "  -d         delete the backup (filepath_DEL) after a successful swap\n"
      "  -s         silent: no progress line and no result word (a failure still gives its reason\n"
      "             on standard error)\n"
      "  --json     JSON lines on standard output instead of the progress line and the result\n"
      "             word: progress events, then one final object (see man quorvex)\n"
      "  --in-place give the free space back inside the image itself (raw and QCOW2 images): no\n"
      "             second file and no backup; cannot be given with -d\n"
      "  -f FORMAT  (also --format FORMAT) the image's format, not probed: qemu-img's names (raw,\n"
      "             qcow2, qcow, vmdk, vpc or vhd, vhdx, vdi, parallels, bochs) or a format name\n"
      "             as quorvex-inspect reports it\n"
      "  --key-file FILE\n"
      "             a passphrase for the LUKS volumes in the image, read whole from FILE (\"-\":\n"
      "             standard input, up to its first line end); VOLUME=FILE gives it to one volume\n"
      "             only (a partition number or a LUKS UUID). May be given more than once; every\n"
      "             key slot is tried with each. Without a key, an encrypted volume is kept whole.\n"
      "  --help     this text\n"
      "  --version  the version\n"
      "-d and -s may also be written /d and /s, in either case.\n"
      "Exit status: 0 success, 1 usage error or no such file, 2 failure (the reason is on\n"
      "standard error).\n",
      stdout);
  std::fflush(stdout);
}

int run_quorvex(int argc, const char* const* argv) noexcept {
  std::setlocale(LC_ALL, "");
  CommandLine cmd;
  const std::span<const char* const> args(argv + 1, static_cast<size_t>(argc > 1 ? argc - 1 : 0));
  RunOutcome run;
  run.shown_path = argc > 1 ? argv[argc - 1] : "";
  for (const char* a : args) run.json = run.json || std::string_view(a) == "--json";
  try {
    // A usage error in a --json run still ends with the final object, so a script reads one shape.
    const auto usage_error = [&](Reason reason) {
      if (!run.json) print_usage();
      run.reason = std::move(reason);
      return end_run(run, 1, false);
    };
    if (!parse_command_line(args, cmd)) {
      run.usage_error = true;
      return usage_error(usage_reason("quorvex", cmd.fault.argument, cmd.fault.why));
    }
    if (!cmd.format.empty() && !is_format_name(cmd.format)) {
      run.usage_error = true;
      return usage_error(usage_reason("quorvex", cmd.format, "no format of that name (-f)"));
    }
    if (cmd.help || cmd.version) {
      if (cmd.help) print_help();
      else std::printf("quorvex %s\n", kQuorvexVersion);
      return 0;
    }
    std::string resolved;
    if (!platform::resolve_path(argv[argc - 1], resolved)) return usage_error(unresolved_reason(errno));
    run.silent = cmd.silent;
    VolumeKeys keys;
    std::string failure;
    if (!read_key_files(cmd.key_files, keys, failure)) {
      run.reason = {"key_file", failure};
      return end_run(run, 1, false);
    }
    return run_trim(cmd, resolved, keys, run);
  } catch (...) {
    run.reason = {"no_memory", "out of memory"};
    return end_run(run, 2, false);
  }
}

}  // namespace qx
