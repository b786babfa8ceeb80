// QCOW2 trimmed inside the live file. Each L2 table's droppable clusters leave it in the order that
// keeps the image consistent after a stop at any point: their L2 entries cleared and flushed, then
// their refcounts lowered and flushed, then their host ranges punched. A crash in between leaks
// clusters at worst (QEMU's check counts leaks, no corruption); no data is lost or exposed.
#include <algorithm>
#include <map>
#include <vector>

#include "formats/format_ids.hpp"
#include "formats/qcow2/qcow2.hpp"
#include "formats/qcow2/qcow2_image.hpp"
#include "formats/trim_walk.hpp"
#include "image/byte_order.hpp"
#include "image/primitives.hpp"

namespace qx {
namespace {

// Why an image is kept out of the in-place trim; null when it may go in.
const char* in_place_refusal(const Qcow2Image& st) noexcept {
  if (st.external) return "its data lies in an external data file; trim it without --in-place";
  if (st.has_backing)
    return "a QCOW2 image over a backing file is not trimmed in place (a dropped cluster would show "
           "the backing file's data); trim it without --in-place";
  if (st.nb_snapshots)
    return "a QCOW2 image with internal snapshots is not trimmed in place; trim it without --in-place";
  if (!st.bitmaps.empty() || st.bitmaps_ext_at)
    return "a QCOW2 image with persistent bitmaps is not trimmed in place; trim it without --in-place";
  if (st.extended)
    return "a QCOW2 image with extended L2 entries is not trimmed in place; trim it without --in-place";
  return nullptr;
}

class InPlace {
 public:
  InPlace(Qcow2Image& st, DiskImage& image, const SectorUse& map, File& target)
      : st_(st), image_(image), map_(map), target_(target) {}

  // The refcount table, where the header names it (checked at open; checked again here).
  ErrorCode read_refcount_table() {
    per_block_ = st_.cluster * 8 >> st_.refcount_order;
    return qcow2_refcount_table(st_, refcount_table_);
  }

  // One L2 table: decide, then the three steps, each made durable before the next begins.
  ErrorCode table(uint64_t l1_index) {
    const uint64_t at = st_.l1[static_cast<size_t>(l1_index)] & kOffsetMask;
    if (at == 0) return OK;
    std::vector<uint64_t> l2;
    if (ErrorCode rc = qcow2_read_table(st_, at, l2); rc != OK) return rc;
    std::vector<uint64_t> hosts;
    for (uint64_t i = 0; i < st_.l2_entries; ++i) {
      const uint64_t guest = l1_index * st_.l2_entries + i;
      if (guest * st_.cluster >= st_.size) break;
      bool drop = false;
      if (ErrorCode rc = droppable(guest, l2[static_cast<size_t>(i)], drop); rc != OK) return rc;
      if (!drop) continue;
      hosts.push_back(l2[static_cast<size_t>(i)] & kOffsetMask);
      l2[static_cast<size_t>(i)] = 0;
    }
    if (hosts.empty()) return OK;
    for (uint64_t& e : l2) e = swap64(e);
    if (!target_.write_at(at, std::span(reinterpret_cast<const uint8_t*>(l2.data()), l2.size() * 8)) ||
        !target_.sync())
      return ERR_WRITE;
    st_.l2_at = 0;  // the cached table is stale now
    if (ErrorCode rc = lower_refcounts(hosts); rc != OK) return rc;
    return punch(hosts);
  }

  uint64_t punched() const noexcept { return punched_; }

 private:
  // A plain allocated cluster that only this entry names (refcount one), whose guest sectors are
  // all free or zero.
  ErrorCode droppable(uint64_t guest, uint64_t entry, bool& drop) {
    drop = false;
    Qcow2Cluster c;
    if (ErrorCode rc = qcow2_decode(st_, entry, 0, c); rc != OK) return rc;
    if (c.compressed || c.host == 0 || c.zero || !(entry & kCopiedFlag)) return OK;
    uint64_t count = 0;
    if (ErrorCode rc = refcount(c.host, count); rc != OK) return rc;
    if (count != 1) return OK;
    const uint64_t first = guest * st_.cluster / kSectorBytes;
    const uint64_t end = std::min<uint64_t>(first + st_.cluster_sectors(), st_.geometry.total_sectors);
    return is_range_free(image_, &map_, static_cast<uint32_t>(first), static_cast<uint32_t>(end - first),
                         drop, nullptr);
  }

  ErrorCode block_of(uint64_t host, std::vector<uint8_t>*& block, uint64_t& index) {
    const uint64_t k = host >> st_.cluster_bits;
    const uint64_t t = k / per_block_;
    index = k % per_block_;
    if (t >= refcount_table_.size() || refcount_table_[static_cast<size_t>(t)] == 0) return ERR_BAD_FORMAT;
    const uint64_t at = refcount_table_[static_cast<size_t>(t)];
    auto [it, fresh] = blocks_.try_emplace(at);
    if (fresh) {
      if (at % st_.cluster || !qcow2_in_file(st_, at, st_.cluster)) return ERR_BAD_FORMAT;
      it->second.resize(static_cast<size_t>(st_.cluster));
      if (!st_.file.read_at(at, it->second)) return ERR_READ;
    }
    block = &it->second;
    return OK;
  }

  ErrorCode refcount(uint64_t host, uint64_t& out) {
    std::vector<uint8_t>* block = nullptr;
    uint64_t i = 0;
    if (ErrorCode rc = block_of(host, block, i); rc != OK) return rc;
    out = qcow2_refcount_entry(*block, i, st_.refcount_order);
    return OK;
  }

  // Every cluster here has refcount one (checked as it was chosen): its entry becomes zero.
  ErrorCode lower_refcounts(const std::vector<uint64_t>& hosts) {
    std::vector<uint64_t> touched;
    for (uint64_t host : hosts) {
      std::vector<uint8_t>* block = nullptr;
      uint64_t i = 0;
      if (ErrorCode rc = block_of(host, block, i); rc != OK) return rc;
      const uint32_t width = 1u << st_.refcount_order;
      if (width >= 8) {
        std::fill_n(block->begin() + static_cast<std::ptrdiff_t>(i * (width / 8)), width / 8, 0);
      } else {
        (*block)[static_cast<size_t>(i * width / 8)] &= static_cast<uint8_t>(~(((1u << width) - 1) << (i * width % 8)));
      }
      touched.push_back(refcount_table_[static_cast<size_t>((host >> st_.cluster_bits) / per_block_)]);
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    for (uint64_t at : touched)
      if (!target_.write_at(at, blocks_[at])) return ERR_WRITE;
    return target_.sync() ? OK : ERR_WRITE;
  }

  ErrorCode punch(std::vector<uint64_t>& hosts) {
    std::sort(hosts.begin(), hosts.end());
    for (size_t i = 0; i < hosts.size();) {
      size_t j = i + 1;
      while (j < hosts.size() && hosts[j] == hosts[j - 1] + st_.cluster) ++j;
      bool unsupported = false;
      const uint64_t length = (j - i) * st_.cluster;
      if (!target_.punch_hole(hosts[i], length, unsupported)) return ERR_WRITE;
      punched_ += length;
      i = j;
    }
    return OK;
  }

  Qcow2Image& st_;
  DiskImage& image_;
  const SectorUse& map_;
  File& target_;
  uint64_t per_block_ = 0;
  std::vector<uint64_t> refcount_table_;
  std::map<uint64_t, std::vector<uint8_t>> blocks_;
  uint64_t punched_ = 0;
};

}  // namespace

ErrorCode qcow2_trim_in_place(std::string_view path, DiskImage& image, const SectorUse& map,
                              ProgressCallback progress, void* user) {
  if (image.format != FORMAT_QCOW2 || !image.state) return ERR_UNSUPPORTED;
  Qcow2Image& st = qcow2(*image.state);
  if (const char* why = in_place_refusal(st)) {
    note_refusal("in_place_refused", why);
    return ERR_UNSUPPORTED;
  }
  // A cluster that another entry still names must never be dropped: the refcounts must hold first.
  if (ErrorCode rc = qcow2_check_references(st); rc != OK) return rc;
  // A host that cannot punch holes must be found out before any table changes.
  File target;
  if (ErrorCode rc = open_to_punch(path, st.file, st.cluster, target); rc != OK) return rc;
  InPlace run(st, image, map, target);
  if (ErrorCode rc = run.read_refcount_table(); rc != OK) return rc;
  const uint64_t sectors_per_table = st.l2_entries * st.cluster_sectors();
  if (progress && !progress(0, st.geometry.total_sectors, user)) return CANCELLED;
  for (uint64_t t = 0; t < st.l1.size(); ++t) {
    if (t * sectors_per_table >= st.geometry.total_sectors) break;
    if (ErrorCode rc = run.table(t); rc != OK) return rc;
    const uint64_t reached = std::min<uint64_t>((t + 1) * sectors_per_table, st.geometry.total_sectors);
    if (progress && !progress(static_cast<uint32_t>(reached), st.geometry.total_sectors, user)) return CANCELLED;
  }
  return target.close() ? OK : ERR_WRITE;
}

}  // namespace qx
