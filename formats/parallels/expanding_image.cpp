#include "formats/parallels/expanding_image.hpp"

#include <algorithm>
#include <cstring>

#include "image/content_check.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"
#include "image/sector_use.hpp"

namespace qx {
namespace {

constexpr char kSectorSignature[] = "WithoutFreeSpace";
constexpr char kClusterSignature[] = "WithouFreSpacExt";
constexpr uint64_t kTableOffset = sizeof(ParallelsHeader);
// 32 MiB clusters; the writer holds one in memory.
constexpr uint32_t kMaxClusterSectors = 1u << 16;
constexpr size_t kScanChunk = 1u << 20;


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

ErrorCode write_table_area(TrimSink& out, std::span<const uint32_t> entries, uint64_t data_start,
                           bool fill_words) {
  std::vector<uint8_t> area(static_cast<size_t>(data_start - kTableOffset), fill_words ? 0xFF : 0);
  for (size_t i = 0; i < entries.size(); ++i) store_le<uint32_t>(area.data() + 4 * i, entries[i]);
  return out.write(kTableOffset, area);
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

ErrorCode read_expanding(ExpandingImage& img, uint64_t offset, std::span<uint8_t> out) {
  return read_by_blocks(img.cluster_bytes, offset, out, [&](uint64_t block, uint64_t in, std::span<uint8_t> piece) {
    const uint64_t at = cluster_position(img, static_cast<uint32_t>(block));
    if (at == 0) std::fill(piece.begin(), piece.end(), 0);
    else if (!img.file.read_at(at + in, piece)) return ERR_READ;
    return OK;
  });
}

ErrorCode expanding_layer_status(ExpandingImage& img, uint32_t first, uint32_t count, LayerRun& out) {
  const uint32_t cluster = first / img.cluster_sectors, in = first % img.cluster_sectors;
  out = LayerRun{};
  out.count = std::min(count, img.cluster_sectors - in);
  if (const uint64_t at = cluster_position(img, cluster); at != 0) {
    out.holding = LayerHolding::kStored;
    out.file = &img.file;
    out.offset = at + uint64_t{in} * kSectorSize;
  }
  return OK;
}

bool expanding_trimmable(const ExpandingImage& img) noexcept {
  if (img.header.in_use == kParallelsInUse) return false;
  return !img.cluster_entries || img.header.extension_offset == 0;
}

namespace {

// The header as in the source, the new table, the kept clusters packed from the data start in
// cluster order. Every byte of a kept cluster is the file's own: the copier takes it as it lies.
class ExpandingWriter : public BlockWriter {
 public:
  ExpandingWriter(ExpandingImage& img, const ExpandingTrimPlan& plan) : img_(img), plan_(plan) {}

  ErrorCode begin(TrimWalk& walk) override {
    TrimSink& out = walk.out();
    const uint32_t cs = img_.cluster_sectors;
    if (plan_.data_start < kTableOffset + 4 * uint64_t{img_.bat.size()} ||
        plan_.data_start % kSectorSize != 0 ||
        (img_.cluster_entries && plan_.data_start % img_.cluster_bytes != 0))
      return ERR_UNSUPPORTED;
    if (ErrorCode rc = guard_no_memory([&] {
          entries_.assign(img_.bat.size(), 0);
          if (img_.scratch.empty()) img_.scratch.resize(std::min<size_t>(kScanChunk, size_t{cs} * kSectorSize));
          return OK;
        });
        rc != OK)
      return rc;
    ParallelsHeader header = img_.header;
    if (plan_.set_data_offset) header.data_offset = static_cast<uint32_t>(plan_.data_start / kSectorSize);
    if (ErrorCode rc = out.write(0, bytes_of(header)); rc != OK) return rc;
    position_ = plan_.data_start;
    return write_table_area(out, entries_, plan_.data_start, plan_.fill_words);
  }

  // What the disk does not show of the cluster that reaches past its end is nobody's to drop: the
  // cluster stays unless that part is all zero too.
  ErrorCode decide_free(TrimWalk&, uint32_t block, uint32_t n, BlockFate& fate) override {
    fate = kDropBlock;
    return n == img_.cluster_sectors ? OK : decide_hidden(block, n, fate);
  }

  ErrorCode keep(TrimWalk& walk, uint32_t block, uint32_t, uint32_t) override {
    return keep_cluster(walk.out(), block);
  }

  // Clusters wholly past what the disk shows, then the table.
  ErrorCode finish(TrimWalk& walk) override {
    TrimSink& out = walk.out();
    for (uint64_t i = ceil_div_u64(plan_.visible_sectors, img_.cluster_sectors); i < img_.bat.size(); ++i) {
      BlockFate fate = kDropBlock;
      if (ErrorCode rc = decide_hidden(static_cast<uint32_t>(i), 0, fate); rc != OK) return rc;
      if (fate == kKeepBlock)
        if (ErrorCode rc = keep_cluster(out, static_cast<uint32_t>(i)); rc != OK) return rc;
    }
    if (ErrorCode rc = write_table_area(out, entries_, plan_.data_start, plan_.fill_words); rc != OK)
      return rc;
    return out.set_length(position_);
  }

 private:
  // Cluster i, of which the first `shown` sectors are on the disk and free.
  ErrorCode decide_hidden(uint32_t i, uint32_t shown, BlockFate& fate) {
    const uint64_t source = cluster_position(img_, i);
    fate = kDropBlock;
    if (source == 0) return OK;
    bool zero = true;
    if (ErrorCode rc = is_file_range_zero(img_.file, source + uint64_t{shown} * kSectorSize,
                                          uint64_t{img_.cluster_sectors - shown} * kSectorSize,
                                          img_.scratch, zero);
        rc != OK)
      return rc;
    if (!zero) fate = kKeepBlock;
    return OK;
  }

  ErrorCode keep_cluster(TrimSink& out, uint32_t i) {
    const uint64_t value = img_.cluster_entries ? position_ / img_.cluster_bytes
                                                : position_ / kSectorSize - plan_.entry_bias;
    if (value == 0 || value > UINT32_MAX) return ERR_UNSUPPORTED;
    if (ErrorCode rc = out.copy(cluster_position(img_, i), position_, img_.cluster_bytes); rc != OK) return rc;
    entries_[i] = static_cast<uint32_t>(value);
    position_ += img_.cluster_bytes;
    return OK;
  }

  ExpandingImage& img_;
  const ExpandingTrimPlan& plan_;
  std::vector<uint32_t> entries_;
  uint64_t position_ = 0;
};

}  // namespace

ErrorCode trim_expanding(ExpandingImage& img, DiskImage& disk, TrimJob& job, TextView target,
                         const ExpandingTrimPlan& plan) {
  ExpandingWriter writer(img, plan);
  const TrimSpan span{plan.disk_first, plan.visible_sectors, img.cluster_sectors, plan.layer_local};
  return trim_file(disk, job, target, img.file, span, writer);
}

}  // namespace qx
