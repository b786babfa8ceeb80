#include "app/inspect.hpp"

#include <bit>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/key_files.hpp"
#include "app/run_outcome.hpp"
#include "formats/image_files.hpp"
#include "formats/trim_walk.hpp"
#include "image/disk_image.hpp"
#include "image/detect.hpp"
#include "image/file.hpp"
#include "image/replacement.hpp"
#include "image/sector_bitmap.hpp"
#include "platform/file_ops.hpp"
#include "volume/luks.hpp"

namespace qx {
namespace {

// Sectors asked per query: 128 KiB of bitmap.
constexpr uint32_t kQuerySectors = 1u << 20;
constexpr const char* kProgram = "quorvex-inspect";
constexpr const char* kUsage =
    "Usage: quorvex-inspect [--json] [--ranges] [--estimate] [-f FORMAT] [--key-file FILE]... IMAGE...\n";
constexpr const char* kHelp =
    "Shows what quorvex would see in each image (format, geometry, volumes and the sectors no\n"
    "file system uses) without writing anything.\n"
    "  --json      one JSON object per image instead of text (see man quorvex-inspect)\n"
    "  --ranges    also the runs of used sectors of every volume\n"
    "  --estimate  also the size of every file a trim would write\n"
    "  -f FORMAT   (also --format FORMAT) the images' format, not probed, as quorvex -f takes it\n"
    "  --key-file FILE\n"
    "              a passphrase for the LUKS volumes in the images (see quorvex --help)\n"
    "  --          ends the options (for an image whose name begins with -)\n"
    "  --help      this text\n"
    "  --version   the version\n"
    "Exit status: 0 every report printed, 1 usage error, 2 an image failed (its reason is on\n"
    "standard error, and with --json an object {\"path\", \"error\", \"reason\"} on standard\n"
    "output).\n";

class Report {
 public:
  Report(std::FILE* out, const InspectOptions& options) : out_(out), options_(options) {}

  // `refusal`: why a trim of this image would be refused, when its format says; `why_not`: why
  // quorvex would not trim it, empty when it would; `note`: see format_note.
  void begin(const DiskImage& image, const char* refusal, const Reason& why_not, const KeptWholeReason& table_note,
             const std::string& note) {
    const DiskGeometry g = get_geometry(image);
    if (options_.json) {
      std::fprintf(out_,
                   "{\n  \"format\": %d,\n  \"geometry\": {\"total_sectors\": %u, \"heads\": %u, "
                   "\"sectors_per_track\": %u, \"bytes_per_sector\": %u},\n",
                   static_cast<int>(image.format), g.total_sectors, g.heads, g.sectors_per_track,
                   g.bytes_per_sector);
      if (!note.empty()) std::fprintf(out_, "  \"format_note\": %s,\n", json_quote(note).c_str());
      if (refusal) std::fprintf(out_, "  \"trim_refusal\": \"%s\",\n", refusal);
      std::fprintf(out_, "  \"trimmable\": %s,\n", why_not.empty() ? "true" : "false");
      if (!why_not.empty()) {
        std::fputs("  \"reason\": ", out_);
        reason_object(why_not.key, why_not.text);
        std::fputs(",\n", out_);
      }
      if (!table_note.empty()) {
        std::fputs("  \"table_note\": ", out_);
        reason_object(table_note.key, table_note.text);
        std::fputs(",\n", out_);
      }
      std::fputs("  \"volumes\": [", out_);
    } else {
      std::fprintf(out_, "format: %d (%s)\n", static_cast<int>(image.format),
                   format_name(image.format));
      if (!note.empty()) std::fprintf(out_, "format note: %s\n", note.c_str());
      std::fprintf(out_,
                   "geometry: %u sectors, %u heads, %u sectors per track, %u bytes per sector\n",
                   g.total_sectors, g.heads, g.sectors_per_track, g.bytes_per_sector);
      if (refusal) std::fprintf(out_, "trim refused: %s\n", refusal);
      if (why_not.empty()) std::fputs("trimmable: yes\n", out_);
      else std::fprintf(out_, "trimmable: no (%s): %s\n", why_not.key.c_str(), why_not.text.c_str());
      if (!table_note.empty())
        std::fprintf(out_, "partition table (%s): %s\n", table_note.key.c_str(), table_note.text.c_str());
      std::fprintf(out_, "volumes:\n  %-12s %-12s %-18s %s\n", "start", "length", "kind", "used");
    }
  }

  // The volume's line, and what an unlocked volume holds; ranges follow through range() and end
  // with end_volume().
  ErrorCode volume(const VolumeEntry& v, uint64_t used) {
    if (options_.json) {
      std::fprintf(out_,
                   "%s\n    {\"start\": %u, \"length\": %u, \"kind\": %d, \"kind_name\": \"%s\", "
                   "\"used_sectors\": %llu",
                   volumes_ ? "," : "", v.start, v.length, static_cast<int>(v.kind),
                   volume_kind_name(v.kind), static_cast<unsigned long long>(used));
      reason(v.reason);
    } else {
      char kind[32];
      std::snprintf(kind, sizeof kind, "%s (%d)", volume_kind_name(v.kind), static_cast<int>(v.kind));
      std::fprintf(out_, "  %-12u %-12u %-18s %llu\n", v.start, v.length, kind,
                   static_cast<unsigned long long>(used));
      reason(v.reason);
    }
    uint32_t payload = 0;
    if (const UsageMap* inner = luks_inner_map(v, payload))
      if (ErrorCode rc = inside(*inner, uint64_t{v.start} + payload, 6); rc != OK) return rc;
    if (options_.json && options_.ranges) std::fputs(", \"used_ranges\": [", out_);
    ++volumes_;
    ranges_ = 0;
    return OK;
  }

  // What an unlocked volume holds, each volume's start counted on the disk from `base` (where the
  // payload starts); nested as deep as volumes were unlocked.
  ErrorCode inside(const UsageMap& inner, uint64_t base, int indent) {
    if (options_.json) std::fputs(", \"inside\": [", out_);
    bool first = true;
    for (const VolumeEntry& v : inner.volumes) {
      uint64_t used = 0;
      if (ErrorCode rc = count_used_sectors(inner, v, used); rc != OK) return rc;
      const auto start = static_cast<unsigned long long>(base + v.start);
      if (options_.json) {
        std::fprintf(out_, "%s{\"start\": %llu, \"length\": %u, \"kind\": %d, \"kind_name\": \"%s\", "
                           "\"used_sectors\": %llu",
                     first ? "" : ", ", start, v.length, static_cast<int>(v.kind), volume_kind_name(v.kind),
                     static_cast<unsigned long long>(used));
      } else {
        char kind[32];
        std::snprintf(kind, sizeof kind, "%s (%d)", volume_kind_name(v.kind), static_cast<int>(v.kind));
        std::fprintf(out_, "%*sinside: %-12llu %-12u %-18s %llu\n", indent, "", start, v.length, kind,
                     static_cast<unsigned long long>(used));
      }
      reason(v.reason, indent + 4);
      uint32_t offset = 0;
      if (const UsageMap* deeper = luks_inner_map(v, offset))
        if (ErrorCode rc = inside(*deeper, base + v.start + offset, indent + 4); rc != OK) return rc;
      if (options_.json) std::fputs("}", out_);
      first = false;
    }
    if (options_.json) std::fputs("]", out_);
    return OK;
  }

  void range(uint32_t first, uint32_t count) {
    if (options_.json) std::fprintf(out_, "%s[%u, %u]", ranges_ ? ", " : "", first, count);
    else std::fprintf(out_, "      used %u +%u\n", first, count);
    ++ranges_;
  }

  void end_volume() {
    if (options_.json) std::fputs(options_.ranges ? "]}" : "}", out_);
  }

  // `estimate`: with --estimate, the forecast, or null when the image would not be trimmed.
  void end(uint64_t unused, const TrimForecast* estimate) {
    if (options_.json) {
      std::fprintf(out_, "\n  ],\n  \"unused_sectors\": %llu", static_cast<unsigned long long>(unused));
      if (options_.estimate && !estimate) std::fputs(",\n  \"estimate\": null", out_);
      if (estimate) {
        std::fputs(",\n  \"estimate\": {\"files\": [", out_);
        for (size_t i = 0; i < estimate->files.size(); ++i)
          std::fprintf(out_, "%s{\"path\": %s, \"bytes\": %llu}", i ? ", " : "",
                       json_quote(estimate->files[i].path).c_str(),
                       static_cast<unsigned long long>(estimate->files[i].bytes));
        std::fprintf(out_, "], \"host_bytes\": %llu}", static_cast<unsigned long long>(estimate->host_bytes));
      }
      std::fputs("\n}\n", out_);
      return;
    }
    std::fprintf(out_, "unused sectors: %llu (a trim may drop them, unless they hold data)\n",
                 static_cast<unsigned long long>(unused));
    if (options_.estimate && !estimate) std::fputs("estimate: none (the image would not be trimmed)\n", out_);
    if (!estimate) return;
    for (const ForecastFile& f : estimate->files)
      std::fprintf(out_, "estimate: %s: %llu bytes (now %llu)\n", f.path.c_str(),
                   static_cast<unsigned long long>(f.bytes), static_cast<unsigned long long>(f.current_bytes));
    std::fprintf(out_, "estimate: the host needs %llu bytes for the new files\n",
                 static_cast<unsigned long long>(estimate->host_bytes));
  }

 private:
  // Why a volume is kept whole, where a reader left a reason.
  void reason(const KeptWholeReason& r, int indent = 6) {
    if (r.empty()) return;
    if (options_.json) {
      std::fputs(", \"reason\": ", out_);
      reason_object(r.key, r.text);
    } else {
      std::fprintf(out_, "%*skept whole (%s): %s\n", indent, "", r.key.c_str(), r.text.c_str());
    }
  }

  void reason_object(const std::string& key, const std::string& text) {
    std::fprintf(out_, "{\"key\": %s, \"text\": %s}", json_quote(key).c_str(), json_quote(text).c_str());
  }

  std::FILE* out_;
  const InspectOptions& options_;
  uint32_t volumes_ = 0;
  uint32_t ranges_ = 0;
};

// Reports one image on `out`; a failure gives its reason instead, the report left unfinished.
Reason inspect(const InspectOptions& options, const VolumeKeys& keys, std::string_view shown, std::FILE* out) {
  // Resolved and opened exactly as the trim does, and its failures given in the same words.
  const std::string path(shown);
  std::string resolved;
  if (!platform::resolve_path(path.c_str(), resolved)) return unresolved_reason(errno);
  clear_file_failure();
  clear_refused_file();
  // A journal that quorvex would refuse to act on is named as quorvex names it.
  if (cut_off_swap_pending(resolved)) {
    std::vector<std::string> own_files;
    if (list_image_files(resolved, own_files) != OK) return failure_reason(ERR_NO_MEMORY, resolved);
    if (judge_cut_off_swap(resolved, own_files) == JournalVerdict::kUntrusted)
      return untrusted_journal_reason(resolved);
  }
  DiskImage image;
  if (ErrorCode rc = options.format.empty() ? open_image(image, resolved, true)
                                            : open_image_named(image, resolved, true, options.format);
      rc != OK)
    return open_reason(rc, resolved, options.format);
  // A map read through the wrong parent would describe another disk's file systems.
  if (ErrorCode rc = parent_chain_status(image); rc != OK) return parent_chain_reason(rc);
  ErrorCode rc = OK;
  uint32_t recognised = 0;
  std::unique_ptr<UsageMap> map = build_usage_map(image, rc, recognised, MapContext{&keys});
  if (!map) return map_failure_reason(rc, resolved);

  Report report(out, options);
  const Reason why_not = why_not_trimmed(image);
  report.begin(image, why_not.empty() ? nullptr : refusal_note(), why_not, map->table_note,
               options.format.empty() ? format_note(image, resolved) : std::string());
  uint64_t unused = 0;
  for (const VolumeEntry& v : map->volumes) {
    uint64_t used = 0;
    if (rc = count_used_sectors(*map, v, used); rc != OK) return map_failure_reason(rc, resolved);
    if (rc = report.volume(v, used); rc != OK) return map_failure_reason(rc, resolved);
    if (options.ranges) {
      uint64_t again = 0;
      rc = count_used_sectors(*map, v, again,
                              [&](uint32_t first, uint32_t count) { report.range(first, count); });
      if (rc != OK) return map_failure_reason(rc, resolved);
    }
    report.end_volume();
    unused += v.length - used;
  }
  TrimForecast forecast;
  CountingSink counting(forecast);
  if (options.estimate && why_not.empty())
    if (rc = trim_image(image, resolved, *map, counting, nullptr, nullptr); rc != OK)
      return failure_reason(rc, resolved);
  report.end(unused, options.estimate && why_not.empty() ? &forecast : nullptr);
  return {};
}

}  // namespace

bool parse_inspect_arguments(std::span<const char* const> args, InspectOptions& out) noexcept {
  out = InspectOptions{};
  if (args.size() == 1 && (std::string_view(args[0]) == "--help" || std::string_view(args[0]) == "--version")) {
    (std::string_view(args[0]) == "--help" ? out.help : out.version) = true;
    return true;
  }
  bool have_path = false, options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg(args[i]);
    if (!options_done && take_key_file_option(args, i, args.size(), out.key_files)) {
      continue;
    } else if (!options_done && arg.starts_with("--key-file")) {
      out.fault = {arg, "needs a key file"};
      return false;
    } else if (!options_done && (arg == "-f" || arg == "--format" || arg.starts_with("--format="))) {
      const bool inline_name = arg.starts_with("--format=");
      if (!out.format.empty()) {
        out.fault = {arg, "given twice"};
        return false;
      }
      if (inline_name ? arg.size() == 9 : i + 1 == args.size() || args[i + 1][0] == '\0') {
        out.fault = {arg, "needs a format name"};
        return false;
      }
      out.format = inline_name ? arg.substr(9) : std::string_view(args[++i]);
    } else if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && arg.starts_with("-")) {
      bool* flag = arg == "--json"       ? &out.json
                   : arg == "--ranges"   ? &out.ranges
                   : arg == "--estimate" ? &out.estimate
                                         : nullptr;
      if (!flag || *flag) {
        out.fault = {arg, flag                                     ? "given twice"
                          : arg == "--help" || arg == "--version" ? "stands alone"
                                                                  : "not an option"};
        return false;
      }
      *flag = true;
    } else if (arg.empty()) {
      out.fault = {arg, "an empty argument names no image"};
      return false;
    } else if (have_path) {
      out.more_paths.push_back(arg);
    } else {
      out.path = arg;
      have_path = true;
    }
  }
  if (!have_path) out.fault = {};
  return have_path;
}

ErrorCode count_used_sectors(const UsageMap& map, const VolumeEntry& volume, uint64_t& used,
                             const UsedRangeSink& on_range) {
  used = 0;
  return guard_no_memory([&]() -> ErrorCode {
    std::vector<uint8_t> bitmap(bitmap_bytes(std::min(kQuerySectors, volume.length)));
    const uint64_t end = uint64_t{volume.start} + volume.length;
    bool in_run = false;
    uint64_t run_start = 0;
    for (uint64_t pos = volume.start; pos < end;) {
      const auto n = static_cast<uint32_t>(std::min<uint64_t>(kQuerySectors, end - pos));
      if (ErrorCode rc = query_used(map, static_cast<uint32_t>(pos), n, bitmap); rc != OK) return rc;
      for (uint32_t i = 0; i < n / 8; ++i) used += static_cast<uint64_t>(std::popcount(bitmap[i]));
      for (uint32_t i = n / 8 * 8; i < n; ++i) used += test_bit(bitmap, i);
      if (on_range) {
        for (uint32_t i = 0; i < n;) {
          // Whole bytes that continue the current state are skipped at once.
          if (i % 8 == 0 && n - i >= 8) {
            const uint8_t b = bitmap[i / 8];
            if ((b == 0x00 && !in_run) || (b == 0xFF && in_run)) {
              i += 8;
              continue;
            }
          }
          const bool bit = test_bit(bitmap, i);
          if (bit != in_run) {
            if (bit) run_start = pos + i;
            else on_range(static_cast<uint32_t>(run_start), static_cast<uint32_t>(pos + i - run_start));
            in_run = bit;
          }
          ++i;
        }
      }
      pos += n;
    }
    if (on_range && in_run)
      on_range(static_cast<uint32_t>(run_start), static_cast<uint32_t>(end - run_start));
    return OK;
  });
}

const char* format_name(int32_t id) noexcept {
  const FormatDriver* driver = id >= 0 ? format_driver(id) : format_special_driver(id);
  return driver && driver->name ? driver->name : "unknown";
}

namespace {

// The report of one image, or its reason line on `err` (with --json also its object on `out`);
// one of `many` gets its path on its report, in text as a line "image: PATH".
int report_image(const InspectOptions& options, const VolumeKeys& keys, std::string_view path, bool many,
                 std::FILE* out, std::FILE* err) {
  platform::TextCapture capture;
  Reason why{"no_memory", "out of memory"};
  std::string text;
  if (platform::open_capture(capture)) {
    why = inspect(options, keys, path, capture.stream);
    text = platform::close_capture(capture);
  }
  const std::string quoted = json_quote(path);
  if (!why.empty()) {
    print_reason_line(err, kProgram, path, why);
    if (options.json) {
      std::fprintf(out, "{\"path\": %s, \"error\": %s, \"reason\": %s}\n", quoted.c_str(),
                   json_quote(why.key).c_str(), json_quote(why.text).c_str());
    } else if (many) {
      std::fprintf(out, "image: %.*s\n", static_cast<int>(path.size()), path.data());
      print_reason_line(out, kProgram, path, why);
    }
    return 2;
  }
  if (!many) {
    std::fputs(text.c_str(), out);
    return 0;
  }
  if (!options.json) {
    std::fprintf(out, "image: %.*s\n%s", static_cast<int>(path.size()), path.data(), text.c_str());
    return 0;
  }
  // The report's strings hold no raw line ends: dropping them and the indentation after them
  // leaves the same object on one line.
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') {
      line += text[i];
      continue;
    }
    while (i + 1 < text.size() && text[i + 1] == ' ') ++i;
  }
  std::fprintf(out, "{\"path\": %s, %s\n", quoted.c_str(), line.c_str() + 1);
  return 0;
}

}  // namespace

int run_inspect(int argc, const char* const* argv, std::FILE* out, std::FILE* err) noexcept {
  std::setlocale(LC_ALL, "");
  InspectOptions options;
  try {
    const std::span<const char* const> args(argv + 1, static_cast<size_t>(argc > 1 ? argc - 1 : 0));
    if (!parse_inspect_arguments(args, options)) {
      print_reason_line(err, kProgram, {}, usage_reason(kProgram, options.fault.argument, options.fault.why));
      std::fputs(kUsage, err);
      return 1;
    }
    if (!options.format.empty() && !is_format_name(options.format)) {
      print_reason_line(err, kProgram, {}, usage_reason(kProgram, options.format, "no format of that name (-f)"));
      std::fputs(kUsage, err);
      return 1;
    }
    if (options.help || options.version) {
      if (options.help) std::fprintf(out, "%s%s", kUsage, kHelp);
      else std::fprintf(out, "%s %s\n", kProgram, kQuorvexVersion);
      return std::fflush(out) == 0 ? 0 : 2;
    }
    // Read once for every image; wiped when the run ends.
    VolumeKeys keys;
    std::string failure;
    if (!read_key_files(options.key_files, keys, failure)) {
      print_reason_line(err, kProgram, {}, {"key_file", failure});
      return 1;
    }
    // An inventory goes on past an image that fails.
    int status = report_image(options, keys, options.path, !options.more_paths.empty(), out, err);
    for (const std::string_view path : options.more_paths)
      if (report_image(options, keys, path, true, out, err) != 0) status = 2;
    if (std::fflush(out) != 0 || std::ferror(out)) {
      const int error = errno;
      print_reason_line(err, kProgram, {},
                        {"write_failed", std::string("the report could not be written to standard output: ") +
                                             std::strerror(error)});
      return 2;
    }
    return status;
  } catch (...) {
    print_reason_line(err, kProgram, options.path, {"no_memory", "out of memory"});
    return 2;
  }
}

}  // namespace qx
