// quorvex-inspect: what a trim would see in an image (format, geometry, volumes and the sectors
// that no file system uses), without writing anything.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "app/trim_driver.hpp"
#include "image/error.hpp"
#include "volume/usage_map.hpp"

namespace qx {

struct InspectOptions {
  bool json = false;
  bool ranges = false;
  bool estimate = false;  // what a trim would write, by its own walk run without writing
  std::string_view format;  // -f: the images' format as the user names it; empty: probed
  std::string_view path;
  std::vector<std::string_view> more_paths;  // further images, one report each
  std::vector<std::string_view> key_files;   // as given: FILE, "-" or VOLUME=FILE
  bool help = false;     // "--help" alone
  bool version = false;  // "--version" alone
  ArgumentFault fault;   // when the arguments are refused
};

// False when the arguments (without the program name) are not
// "[--json] [--ranges] [--estimate] [-f FORMAT] [--key-file FILE]... IMAGE..." (-f also as
// --format; FORMAT is not checked here), "--help" or "--version"; `out.fault` then names the
// first argument at fault.
[[nodiscard]] bool parse_inspect_arguments(std::span<const char* const> args,
                                           InspectOptions& out) noexcept;

// Sectors of `volume` that the map calls used, asked in large queries. With `on_range`, every
// maximal run of used sectors is reported as (absolute first sector, sector count), in order.
using UsedRangeSink = std::function<void(uint32_t first, uint32_t count)>;
ErrorCode count_used_sectors(const UsageMap& map, const VolumeEntry& volume, uint64_t& used,
                             const UsedRangeSink& on_range = {});

// Name of a format id for reports ("vdi", "flat"...), or "unknown".
const char* format_name(int32_t id) noexcept;

// The whole program: exit status 0 (every report printed), 1 (the arguments are wrong: their
// reason and the usage on `err`) or 2 (an image failed: its reason on `err`, and with --json an
// object {"path", "error", "reason"} on `out`).
int run_inspect(int argc, const char* const* argv, std::FILE* out, std::FILE* err) noexcept;

}  // namespace qx
