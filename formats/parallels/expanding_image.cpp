#include "formats/parallels/expanding_image.hpp"

#include <algorithm>
#include <cstring>

#include "image/file_copy.hpp"
#include "image/primitives.hpp"
#include "volume/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

constexpr char kSectorSignature[] = "WithoutFreeSpace";
constexpr char kClusterSignature[] = "WithouFreSpacExt";
constexpr uint64_t kTableOffset = sizeof(ParallelsHeader);
// 32 MiB clusters; the writer holds one in memory.
constexpr uint32_t kMaxClusterSectors = 1u << 16;
constexpr size_t kScanChunk = 1u << 20;
constexpr size_t kFirstScanChunk = 4u << 10;

template <typename S>
std::span<uint8_t> bytes_of(S& s) noexcept {
  return {reinterpret_cast<uint8_t*>(&s), sizeof(S)};
}

// Where the stand-alone image of the sector-counting signature puts its first cluster.
uint64_t sector_signature_data_start(uint64_t entries) noexcept {
  return ((4 * entries + 65) & ~uint64_t{511}) + 512;
}

ErrorCode read_signature(ExpandingImage& img) {
  if (std::memcmp(img.header.signature, kSectorSignature, 16) == 0) img.cluster_entries = false;
  else if (std::memcmp(img.header.signature, kClusterSignature, 16) == 0) img.cluster_entries = true;
  else return ERR_BAD_FORMAT;
  const uint32_t cs = img.header.cluster_sectors;
  if (cs == 0 || cs > kMaxClusterSectors) return ERR_BAD_FORMAT;
  img.cluster_sectors = cs;
  img.cluster_bytes = cs * kSectorSize;
  return OK;
}

// The first byte of cluster data, checked against the table and the file.
ErrorCode find_data_start(ExpandingImage& img) {
  const uint64_t entries = img.header.bat_entries;
  const uint64_t table_end = kTableOffset + 4 * entries;
  const uint64_t field = uint64_t{img.header.data_offset} * kSectorSize;
  if (img.rules.in_bundle) {
    // The stand-alone data start still has to fit: it bounds the table by the file.
    if (img.length < sector_signature_data_start(entries) || field < table_end) return ERR_BAD_FORMAT;
    img.data_start = field;
  } else if (img.cluster_entries) {
    if (field < table_end || field % img.cluster_bytes != 0) return ERR_BAD_FORMAT;
    img.data_start = field;
  } else {
    img.data_start = sector_signature_data_start(entries);
  }
  return img.length < img.data_start ? ERR_BAD_FORMAT : OK;
}

ErrorCode read_table(ExpandingImage& img) {
  img.bat.resize(img.header.bat_entries);
  if (!img.file.read_at(kTableOffset, std::span(reinterpret_cast<uint8_t*>(img.bat.data()),
                                                img.bat.size() * 4)))
    return ERR_READ;
  std::vector<uint64_t> positions;
  for (uint32_t i = 0; i < img.bat.size(); ++i) {
    if (img.bat[i] == 0) continue;
    // Every cluster must lie wholly in the data area, so that no read lands in the table.
    const uint64_t at = cluster_position(img, i);
    if (at < img.data_start || at > img.length || img.length - at < img.cluster_bytes)
      return ERR_BAD_FORMAT;
    positions.push_back(at);
  }
  if (img.length != img.data_start + positions.size() * uint64_t{img.cluster_bytes})
    return ERR_BAD_FORMAT;
  // Two guest clusters in one place would change together; a copy would part them.
  std::sort(positions.begin(), positions.end());
  for (size_t i = 1; i < positions.size(); ++i)
    if (positions[i] - positions[i - 1] < img.cluster_bytes) return ERR_BAD_FORMAT;
  return OK;
}

ErrorCode work_out_geometry(ExpandingImage& img) {
  const ParallelsHeader& h = img.header;
  uint64_t total = 0;
  if (img.rules.in_bundle) total = uint32_t(h.total_sectors & 0xFFFFFFFFu);
  else if (img.cluster_entries) total = h.total_sectors;
  else total = uint64_t{h.heads} * h.cylinders * img.cluster_sectors;
  if (total > UINT32_MAX) return ERR_UNSUPPORTED;
  // A disk beyond the table would address entries that do not exist.
  if (total == 0 || total > uint64_t{h.bat_entries} * img.cluster_sectors) return ERR_BAD_FORMAT;
  DiskGeometry& g = img.geometry;
  g.total_sectors = static_cast<uint32_t>(total);
  g.heads = h.heads;
  g.bytes_per_sector = kSectorSize;
  if (!img.rules.in_bundle) g.sectors_per_track = img.cluster_sectors;
  else if (h.cylinders != 0 && h.heads != 0) g.sectors_per_track = g.total_sectors / h.cylinders / h.heads;
  return OK;
}

// True in `zero` when the file's bytes [offset, offset + n) are all zero; reads a small piece
// first, since data usually shows at once.
ErrorCode file_bytes_zero(ExpandingImage& img, uint64_t offset, uint64_t n, bool& zero) {
  if (img.scratch.empty()) img.scratch.resize(std::min<size_t>(kScanChunk, img.cluster_bytes));
  size_t limit = std::min(kFirstScanChunk, img.scratch.size());
  zero = true;
  while (n) {
    std::span<uint8_t> buf(img.scratch.data(), static_cast<size_t>(std::min<uint64_t>(n, limit)));
    if (!img.file.read_at(offset, buf)) return ERR_READ;
    if (!is_all_zero(buf)) {
      zero = false;
      return OK;
    }
    offset += buf.size();
    n -= buf.size();
    limit = img.scratch.size();
  }
  return OK;
}

// One allocated piece: free when no sector the map calls used (every one without a map) holds
// a non-zero byte.
ErrorCode allocated_piece_free(ExpandingImage& img, const UsageMap* map, uint64_t at,
                               uint32_t first, uint32_t n, bool& free) {
  if (!map) return file_bytes_zero(img, at, uint64_t{n} * kSectorSize, free);
  img.used.resize(bitmap_bytes(img.cluster_sectors));
  if (ErrorCode rc = query_used(*map, img.rules.first_sector + first, n, img.used); rc != OK)
    return rc;
  free = true;
  for (uint32_t i = 0; i < n;) {
    if (!test_bit(img.used, i)) {
      ++i;
      continue;
    }
    uint32_t j = i + 1;
    while (j < n && test_bit(img.used, j)) ++j;
    if (ErrorCode rc = file_bytes_zero(img, at + uint64_t{i} * kSectorSize,
                                       uint64_t{j - i} * kSectorSize, free);
        rc != OK || !free)
      return rc;
    i = j;
  }
  return OK;
}

ErrorCode write_table_area(File& out, std::span<const uint32_t> entries, uint64_t data_start,
                           bool fill_words) {
  std::vector<uint8_t> area(static_cast<size_t>(data_start - kTableOffset), fill_words ? 0xFF : 0);
  for (size_t i = 0; i < entries.size(); ++i) store_le<uint32_t>(area.data() + 4 * i, entries[i]);
  return out.write_at(kTableOffset, area) ? OK : ERR_WRITE;
}

}  // namespace

uint64_t cluster_position(const ExpandingImage& img, uint32_t i) noexcept {
  const uint32_t entry = img.bat[i];
  if (entry == 0) return 0;
  if (img.cluster_entries) return uint64_t{entry} * img.cluster_bytes;
  return (uint64_t{entry} + img.rules.padding) * kSectorSize;
}

ErrorCode open_expanding(ExpandingImage& img, std::string_view path, const ExpandingRules& rules) {
  img.rules = rules;
  img.file = File::open_existing(path, true);
  if (!img.file) return ERR_OPEN;
  if (!img.file.read_at(0, bytes_of(img.header))) return ERR_READ;
  if (ErrorCode rc = read_signature(img); rc != OK) return rc;
  if (!img.file.length(img.length)) return ERR_FILE_SIZE;
  // Entries of the cluster-counting signature carry no padding; one that asks for it is not
  // understood.
  if (rules.in_bundle && (rules.padding > img.length / kSectorSize ||
                          (img.cluster_entries && rules.padding != 0)))
    return ERR_BAD_FORMAT;
  if (ErrorCode rc = find_data_start(img); rc != OK) return rc;
  if (ErrorCode rc = read_table(img); rc != OK) return rc;
  return work_out_geometry(img);
}

void close_expanding(ExpandingImage& img) noexcept {
  img.file.close();
  img.bat = {};
  img.scratch = {};
  img.used = {};
}

ErrorCode read_expanding(ExpandingImage& img, uint64_t offset, std::span<uint8_t> out) {
  const uint64_t size = img.geometry.size_bytes();
  if (offset > size || out.size() > size - offset) return ERR_UNSUPPORTED;
  size_t done = 0;
  for (BlockSplit64 sp(img.cluster_bytes, offset, out.size()); sp.more(); sp.next()) {
    const auto piece = out.subspan(done, static_cast<size_t>(sp.piece));
    const uint64_t at = cluster_position(img, static_cast<uint32_t>(sp.block));
    if (at == 0) std::fill(piece.begin(), piece.end(), 0);
    else if (!img.file.read_at(at + sp.offset, piece)) return ERR_READ;
    done += piece.size();
  }
  return OK;
}

ErrorCode expanding_range_free(ExpandingImage& img, const UsageMap* map, uint32_t first,
                               uint32_t count, bool& free, ProgressRelay* relay) {
  if (uint64_t{first} + count > img.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  for (BlockSplit sp(img.cluster_sectors, first, count); sp.more(); sp.next()) {
    if (const uint64_t at = cluster_position(img, sp.block); at != 0) {
      bool piece_free = true;
      if (ErrorCode rc = allocated_piece_free(img, map, at + uint64_t{sp.offset} * kSectorSize,
                                              sp.block * img.cluster_sectors + sp.offset, sp.piece,
                                              piece_free);
          rc != OK)
        return rc;
      if (!piece_free) {
        free = false;
        return OK;
      }
    }
    if (!relay_check_in(sp.piece, relay)) return CANCELLED;
  }
  return OK;
}

bool expanding_trimmable(const ExpandingImage& img) noexcept {
  if (img.header.in_use == kParallelsInUse) return false;
  return !img.cluster_entries || img.header.extension_offset == 0;
}

namespace {

ErrorCode write_trimmed(ExpandingImage& img, File& out, const UsageMap& map,
                        const ExpandingTrimPlan& plan, ProgressCallback progress, void* user) {
  const uint32_t cs = img.cluster_sectors;
  if (plan.data_start < kTableOffset + 4 * uint64_t{img.bat.size()} ||
      plan.data_start % kSectorSize != 0 ||
      (img.cluster_entries && plan.data_start % img.cluster_bytes != 0))
    return ERR_UNSUPPORTED;
  std::vector<uint32_t> entries(img.bat.size(), 0);
  FileCopier copier(img.file, out);
  if (!copier.is_open()) return ERR_CREATE;

  ParallelsHeader header = img.header;
  if (plan.set_data_offset) header.data_offset = static_cast<uint32_t>(plan.data_start / kSectorSize);
  if (!out.write_at(0, bytes_of(header))) return ERR_WRITE;
  if (ErrorCode rc = write_table_area(out, entries, plan.data_start, plan.fill_words); rc != OK)
    return rc;

  const uint32_t visible = plan.visible_sectors;
  if (progress && !progress(plan.progress_base, plan.progress_total, user)) return CANCELLED;
  uint64_t position = plan.data_start;
  for (uint32_t i = 0; i < img.bat.size(); ++i) {
    const uint64_t source = cluster_position(img, i);
    const uint64_t local = uint64_t{i} * cs;
    const uint32_t shown = local < visible ? static_cast<uint32_t>(std::min<uint64_t>(cs, visible - local)) : 0;
    const uint32_t done = plan.progress_base + static_cast<uint32_t>(std::min<uint64_t>(local + cs, visible));
    if (source != 0) {
      const uint32_t disk_sector = plan.disk_first + static_cast<uint32_t>(local);
      bool free = true;
      if (shown != 0) {
        ProgressRelay relay{progress, user, done, plan.progress_total, 0};
        const ErrorCode rc = plan.layer_local
                                 ? is_range_free_in_layer(*plan.disk, &map, disk_sector, shown, free)
                                 : is_range_free(*plan.disk, &map, disk_sector, shown, free, &relay);
        if (rc != OK) return rc;
      }
      // What the disk does not show is nobody's to drop: it stays unless it is all zero.
      const uint64_t hidden_at = source + uint64_t{shown} * kSectorSize;
      const uint64_t hidden_bytes = uint64_t{cs - shown} * kSectorSize;
      if (free && hidden_bytes != 0)
        if (ErrorCode rc = file_bytes_zero(img, hidden_at, hidden_bytes, free); rc != OK) return rc;
      // Every byte of a kept cluster is the file's own: the copier takes it as it lies.
      if (!free) {
        const uint64_t value = img.cluster_entries ? position / img.cluster_bytes
                                                   : position / kSectorSize - plan.entry_bias;
        if (value == 0 || value > UINT32_MAX) return ERR_UNSUPPORTED;
        if (!copier.copy(source, position, img.cluster_bytes)) return ERR_READ;
        entries[i] = static_cast<uint32_t>(value);
        position += img.cluster_bytes;
      }
    }
    if (progress && !progress(done, plan.progress_total, user)) return CANCELLED;
  }
  if (!copier.finish()) return ERR_READ;
  if (ErrorCode rc = write_table_area(out, entries, plan.data_start, plan.fill_words); rc != OK)
    return rc;
  if (!out.set_length(position)) return ERR_WRITE;
  // The rename that follows must not publish a file whose data never reached the disk.
  if (!out.sync()) return ERR_WRITE;
  return out.close() ? OK : ERR_WRITE;
}

}  // namespace

ErrorCode write_trimmed_expanding(ExpandingImage& img, File& out, const UsageMap& map,
                                  const ExpandingTrimPlan& plan, ProgressCallback progress,
                                  void* user) {
  return guard_no_memory([&] { return write_trimmed(img, out, map, plan, progress, user); });
}

}  // namespace qx
