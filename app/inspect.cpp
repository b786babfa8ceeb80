#include "app/inspect.hpp"

#include <bit>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <vector>

#include "app/key_files.hpp"
#include "app/run_outcome.hpp"
#include "formats/trim_walk.hpp"
#include "image/disk_image.hpp"
#include "image/sector_bitmap.hpp"
#include "platform/file_ops.hpp"
#include "volume/luks.hpp"

namespace qx {
namespace {

// Sectors asked per query: 128 KiB of bitmap.
constexpr uint32_t kQuerySectors = 1u << 20;
constexpr const char* kUsage =
    "Usage: quorvex-inspect [--json] [--ranges] [--estimate] [--key-file FILE]... IMAGE...\n";

class Report {
 public:
  Report(std::FILE* out, const InspectOptions& options) : out_(out), options_(options) {}

  // `refusal`: why a trim of this image would be refused, when its format says; `why_not`: why
  // quorvex would not trim it, empty when it would.
  void begin(const DiskImage& image, const char* refusal, const Reason& why_not) {
    const DiskGeometry g = get_geometry(image);
    if (options_.json) {
      std::fprintf(out_,
                   "{\n  \"format\": %d,\n  \"geometry\": {\"total_sectors\": %u, \"heads\": %u, "
                   "\"sectors_per_track\": %u, \"bytes_per_sector\": %u},\n",
                   static_cast<int>(image.format), g.total_sectors, g.heads, g.sectors_per_track,
                   g.bytes_per_sector);
      if (refusal) std::fprintf(out_, "  \"trim_refusal\": \"%s\",\n", refusal);
      std::fprintf(out_, "  \"trimmable\": %s,\n", why_not.empty() ? "true" : "false");
      if (!why_not.empty()) {
        std::fputs("  \"reason\": ", out_);
        reason_object(why_not.key, why_not.text);
        std::fputs(",\n", out_);
      }
      std::fputs("  \"volumes\": [", out_);
    } else {
      std::fprintf(out_, "format: %d (%s)\n", static_cast<int>(image.format),
                   format_name(image.format));
      std::fprintf(out_,
                   "geometry: %u sectors, %u heads, %u sectors per track, %u bytes per sector\n",
                   g.total_sectors, g.heads, g.sectors_per_track, g.bytes_per_sector);
      if (refusal) std::fprintf(out_, "trim refused: %s\n", refusal);
      if (why_not.empty()) std::fputs("trimmable: yes\n", out_);
      else std::fprintf(out_, "trimmable: no (%s): %s\n", why_not.key.c_str(), why_not.text.c_str());
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

int fail(std::FILE* err, std::string_view path, ErrorCode rc) {
  const char* why = refusal_note();
  std::fprintf(err, "quorvex-inspect: %.*s: %s%s%s%s\n", static_cast<int>(path.size()), path.data(),
               error_name(rc), why ? " (" : "", why ? why : "", why ? ")" : "");
  return 2;
}

int inspect(const InspectOptions& options, const VolumeKeys& keys, std::FILE* out, std::FILE* err) {
  // Resolved and opened exactly as the trim does.
  const std::string path(options.path);
  std::string resolved;
  if (!platform::resolve_path(path.c_str(), resolved)) return fail(err, options.path, ERR_OPEN);
  DiskImage image;
  if (ErrorCode rc = open_image(image, resolved, true); rc != OK) return fail(err, options.path, rc);
  // A map read through the wrong parent would describe another disk's file systems.
  if (ErrorCode rc = parent_chain_status(image); rc != OK) {
    const char* why = rc == ERR_UNSUPPORTED
                          ? "the image (or a parent) holds writes in its log that were never applied; "
                            "open it once in the hypervisor that wrote it"
                          : "the parent image is not the disk this image was made over";
    std::fprintf(err, "quorvex-inspect: %.*s: %s (%s)\n", static_cast<int>(options.path.size()),
                 options.path.data(), why, error_name(rc));
    return 2;
  }
  ErrorCode rc = OK;
  uint32_t recognised = 0;
  std::unique_ptr<UsageMap> map = build_usage_map(image, rc, recognised, MapContext{&keys});
  if (!map) return fail(err, options.path, rc);

  Report report(out, options);
  const Reason why_not = why_not_trimmed(image);
  report.begin(image, why_not.empty() ? nullptr : refusal_note(), why_not);
  uint64_t unused = 0;
  for (const VolumeEntry& v : map->volumes) {
    uint64_t used = 0;
    if (rc = count_used_sectors(*map, v, used); rc != OK) return fail(err, options.path, rc);
    if (rc = report.volume(v, used); rc != OK) return fail(err, options.path, rc);
    if (options.ranges) {
      uint64_t again = 0;
      rc = count_used_sectors(*map, v, again,
                              [&](uint32_t first, uint32_t count) { report.range(first, count); });
      if (rc != OK) return fail(err, options.path, rc);
    }
    report.end_volume();
    unused += v.length - used;
  }
  TrimForecast forecast;
  if (options.estimate && why_not.empty())
    if (rc = forecast_trim(image, resolved, *map, forecast, nullptr, nullptr); rc != OK)
      return fail(err, options.path, rc);
  report.end(unused, options.estimate && why_not.empty() ? &forecast : nullptr);
  if (std::fflush(out) != 0 || std::ferror(out)) return fail(err, options.path, ERR_WRITE);
  return 0;
}

}  // namespace

bool parse_inspect_arguments(std::span<const char* const> args, InspectOptions& out) noexcept {
  out = InspectOptions{};
  bool have_path = false, options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg(args[i]);
    if (!options_done && take_key_file_option(args, i, args.size(), out.key_files)) {
      continue;
    } else if (!options_done && arg == "--json" && !out.json) {
      out.json = true;
    } else if (!options_done && arg == "--ranges" && !out.ranges) {
      out.ranges = true;
    } else if (!options_done && arg == "--estimate" && !out.estimate) {
      out.estimate = true;
    } else if (!options_done && arg == "--") {
      options_done = true;
    } else if ((options_done || arg.empty() || arg[0] != '-') && !have_path) {
      out.path = arg;
      have_path = true;
    } else if ((options_done || (!arg.empty() && arg[0] != '-')) && have_path && !arg.empty()) {
      out.more_paths.push_back(arg);
    } else {
      return false;
    }
  }
  return have_path && !out.path.empty();
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

// One report of several: the text report under a line naming the image; in JSON the report on one
// line with its path, or the path and the error of an image that fails.
int inspect_one_of_many(const InspectOptions& options, const VolumeKeys& keys, std::FILE* out, std::FILE* err) {
  platform::TextCapture report, error;
  int status = 2;
  if (platform::open_capture(report) && platform::open_capture(error))
    status = inspect(options, keys, report.stream, error.stream);
  std::string text = platform::close_capture(report), why = platform::close_capture(error);
  std::fputs(why.c_str(), err);
  while (!why.empty() && why.back() == '\n') why.pop_back();
  const std::string path = json_quote(options.path);
  if (!options.json) {
    std::fprintf(out, "image: %.*s\n%s", static_cast<int>(options.path.size()), options.path.data(),
                 status == 0 ? text.c_str() : (why + "\n").c_str());
    return status;
  }
  if (status != 0) {
    std::fprintf(out, "{\"path\": %s, \"error\": %s}\n", path.c_str(), json_quote(why).c_str());
    return status;
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
  std::fprintf(out, "{\"path\": %s, %s\n", path.c_str(), line.c_str() + 1);
  return 0;
}

}  // namespace

int run_inspect(int argc, const char* const* argv, std::FILE* out, std::FILE* err) noexcept {
  std::setlocale(LC_ALL, "");
  InspectOptions options;
  if (argc < 2 || !parse_inspect_arguments(
                      std::span<const char* const>(argv + 1, static_cast<size_t>(argc - 1)), options)) {
    std::fputs(kUsage, err);
    return 1;
  }
  try {
    // Read once for every image; wiped when the run ends.
    VolumeKeys keys;
    std::string failure;
    if (!read_key_files(options.key_files, keys, failure)) {
      std::fprintf(err, "quorvex-inspect: %s\n", failure.c_str());
      return 1;
    }
    if (options.more_paths.empty()) return inspect(options, keys, out, err);
    // An inventory goes on past an image that fails.
    int status = 0;
    std::vector<std::string_view> paths{options.path};
    paths.insert(paths.end(), options.more_paths.begin(), options.more_paths.end());
    for (const std::string_view path : paths) {
      InspectOptions one = options;
      one.path = path;
      one.more_paths.clear();
      if (inspect_one_of_many(one, keys, out, err) != 0) status = 2;
    }
    std::fflush(out);
    return status;
  } catch (...) {
    return fail(err, options.path, ERR_NO_MEMORY);
  }
}

}  // namespace qx
