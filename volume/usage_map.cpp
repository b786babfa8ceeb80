#include "volume/usage_map.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "fs/reader.hpp"
#include "image/primitives.hpp"
#include "volume/luks.hpp"
#include "volume/partitions.hpp"
#include "volume/signatures.hpp"
#include "image/sector_bitmap.hpp"

namespace qx {
namespace {

inline constexpr uint32_t kMaxPartitions = 256;

std::array<const FsReader*, kReaderKindCount> g_reader_overrides{};

const FsReader& reader_of(int32_t kind) noexcept {
  if (kind == KIND_LUKS) return kLuksReader;
  if (kind >= 0 && kind < kReaderKindCount && g_reader_overrides[static_cast<size_t>(kind)])
    return *g_reader_overrides[static_cast<size_t>(kind)];
  return fs_reader(kind);
}

// The reader that the partition type names, or -1 when every kind must be probed.
int32_t preferred_kind(uint8_t type) noexcept {
  switch (type) {
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x0B:
    case 0x0C:
    case 0x0E: return KIND_FAT;
    case 0x07: return KIND_NTFS;
    case 0x83: return KIND_EXT;
    case 0xFB: return KIND_PLACEHOLDER_5;
    default: return -1;
  }
}

bool try_probe(VolumeEntry& entry, DiskImage& image, int32_t kind) {
  std::unique_ptr<ReaderState> state;
  ErrorCode rc = ERR_FILE_SYSTEM;
  ReasonCapture capture;
  try {
    rc = reader_of(kind).probe(image, entry.start, entry.length, state);
  } catch (...) {
    rc = ERR_NO_MEMORY;
  }
  if (rc != OK || !state) {
    if (entry.reason.empty() && !capture.reason().empty()) entry.reason = capture.reason();
    return false;
  }
  entry.kind = kind;
  entry.state = std::move(state);
  entry.reason = {};
  return true;
}

// A failed probe is never an error of the map: the region is simply kept whole. What the table or
// a signature names as another system's storage comes first (BitLocker To Go, for one, looks like
// FAT), then encrypted volumes. Swap goes last, so that a file system made over an old swap area
// without wiping its signature is read as that file system.
void probe_volume(VolumeEntry& entry, DiskImage& image, uint8_t type, const PartitionOrigin& origin,
                  const MapContext& context) {
  NamedVolume named = named_volume_of_kind(origin.named_kind);
  if (named.kind == KIND_UNRECOGNISED) named = find_named_volume(image, entry.start, entry.length);
  if (named.kind != KIND_UNRECOGNISED) {
    entry.kind = named.kind;
    entry.reason = {volume_kind_name(named.kind), named.text};
    return;
  }
  if (probe_luks(entry, image, origin.number, context)) return;
  const int32_t preferred = preferred_kind(type);
  if (preferred >= 0 && try_probe(entry, image, preferred)) return;
  for (int32_t kind = 0; kind < kReaderKindCount; ++kind)
    if (kind != KIND_SWAP && try_probe(entry, image, kind)) return;
  if (try_probe(entry, image, KIND_SWAP)) return;
  entry.kind = KIND_UNRECOGNISED;
  if (entry.reason.empty())
    entry.reason = {"unknown_file_system", "no file system that this tool reads was found here"};
}

// A partition in disk order with what its table said of it.
struct Placed {
  PartitionEntry entry;
  PartitionOrigin origin;
};

// Cuts the disk into partitions and gaps; the layout is checked whole before any volume is probed.
ErrorCode cut_volumes(std::span<const Placed> parts, uint32_t total, std::vector<VolumeEntry>& out,
                      std::vector<Placed>& found) {
  uint64_t end = 0;
  auto add = [&](uint32_t start, uint32_t length, int32_t kind, const Placed& from) {
    VolumeEntry& e = out.emplace_back();
    e.start = start;
    e.length = length;
    e.kind = kind;
    if (kind == KIND_GAP) e.reason = {"outside_partitions", "space outside every partition is kept"};
    found.push_back(from);
  };
  for (const Placed& p : parts) {
    const uint32_t start = p.entry.start_sector, length = p.entry.sector_count;
    if (start < end || length == 0) return ERR_LAYOUT;
    if (start > end) add(static_cast<uint32_t>(end), static_cast<uint32_t>(start - end), KIND_GAP, {});
    add(start, length, KIND_UNRECOGNISED, p);
    end = uint64_t{start} + length;
  }
  if (total < end) return ERR_LAYOUT;
  if (total > end) add(static_cast<uint32_t>(end), static_cast<uint32_t>(total - end), KIND_GAP, {});
  return OK;
}

ErrorCode build(UsageMap& map, DiskImage& image, uint32_t& recognised, const MapContext& context) {
  std::vector<PartitionEntry> entries;
  std::vector<PartitionOrigin> origins;
  TableFindings findings;
  if (ErrorCode rc = enumerate_partitions(image, 0, kMaxPartitions, entries, &findings, &origins); rc != OK)
    return rc;
  map.table_note = findings.note;
  if (findings.keep_whole) {
    VolumeEntry& whole = map.volumes.emplace_back();
    whole.length = get_geometry(image).total_sectors;
    whole.reason = findings.note;
    return OK;
  }
  std::vector<Placed> parts;
  for (size_t i = 0; i < entries.size(); ++i) parts.push_back({entries[i], origins[i]});
  std::stable_sort(parts.begin(), parts.end(), [](const Placed& a, const Placed& b) {
    return a.entry.start_sector.get() < b.entry.start_sector.get();
  });
  std::vector<Placed> found;
  if (ErrorCode rc = cut_volumes(parts, get_geometry(image).total_sectors, map.volumes, found); rc != OK)
    return rc;
  for (size_t i = 0; i < map.volumes.size(); ++i)
    if (map.volumes[i].kind == KIND_UNRECOGNISED)
      probe_volume(map.volumes[i], image, found[i].entry.type, found[i].origin, context);
  // A volume is read when a reader holds its state; one kept whole holds none.
  recognised = static_cast<uint32_t>(std::count_if(map.volumes.begin(), map.volumes.end(),
                                                   [](const VolumeEntry& e) { return e.state != nullptr; }));
  return OK;
}

}  // namespace

std::unique_ptr<UsageMap> build_usage_map(DiskImage& image, ErrorCode& error,
                                          uint32_t& recognised) noexcept {
  return build_usage_map(image, error, recognised, MapContext{});
}

std::unique_ptr<UsageMap> build_usage_map(DiskImage& image, ErrorCode& error, uint32_t& recognised,
                                          const MapContext& context) noexcept {
  recognised = 0;
  try {
    auto map = std::make_unique<UsageMap>();
    error = build(*map, image, recognised, context);
    // A file system taken for foreign, or a table for absent, because it could not be read.
    if (error == OK && image_read_failed(image)) error = ERR_READ;
    if (error != OK) return nullptr;
    return map;
  } catch (...) {
    error = ERR_NO_MEMORY;
    return nullptr;
  }
}

ErrorCode UsageMap::query(uint32_t first, uint32_t count, std::span<uint8_t> bitmap) const {
  const UsageMap& map = *this;
  if (bitmap.size() < bitmap_bytes(count)) return ERR_UNSUPPORTED;
  size_t i = 0;
  uint32_t offset = first;
  while (i < map.volumes.size() && offset >= map.volumes[i].length) offset -= map.volumes[i++].length;
  if (i == map.volumes.size()) return ERR_UNSUPPORTED;
  uint32_t bit = 0;
  for (; count && i < map.volumes.size(); ++i, offset = 0) {
    const VolumeEntry& e = map.volumes[i];
    const uint32_t n = std::min(count, e.length - offset);
    if (e.kind >= 0 && e.state) {
      if (ErrorCode rc = reader_of(e.kind).mark(*e.state, offset, n, bitmap, bit); rc != OK) return rc;
      // What lies past the file system's own end is no part of it: some other data may be there.
      const uint64_t declared = e.state->declared_sectors();
      if (declared < uint64_t{offset} + n) {
        const uint64_t from = std::max<uint64_t>(declared, offset) - offset;
        put_bits(bitmap, bit + from, n - from, true);
      }
    } else {
      put_bits(bitmap, bit, n, true);
    }
    bit += n;
    count -= n;
  }
  return count ? ERR_UNSUPPORTED : OK;
}

bool holds_known_layout(DiskImage& image) noexcept {
  try {
    if (holds_partition_table(image)) return true;
    VolumeEntry whole;
    whole.length = get_geometry(image).total_sectors;
    probe_volume(whole, image, 0, {}, {});
    // A reader that knew its file system but keeps it whole left its own reason.
    return whole.kind >= 0 || (!whole.reason.empty() && whole.reason.key != "unknown_file_system");
  } catch (...) {
    return false;
  }
}

void destroy_usage_map(UsageMap& map) noexcept { map.volumes.clear(); }

void override_fs_reader(int32_t kind, const FsReader* reader) noexcept {
  if (kind >= 0 && kind < kReaderKindCount) g_reader_overrides[static_cast<size_t>(kind)] = reader;
}

}  // namespace qx
