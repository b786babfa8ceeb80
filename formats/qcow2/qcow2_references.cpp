// The references to every host cluster of a QCOW2 file, counted as qemu-img check counts them, held
// against the refcounts: a cluster that more entries name than its refcount says (or that an entry
// flagged "copied" shares) would lose data when one of its names drops it. Leaks are harmless here.
#include <algorithm>
#include <vector>

#include "formats/qcow2/qcow2_image.hpp"
#include "image/byte_order.hpp"
#include "image/primitives.hpp"

namespace qx {
namespace {

// Beyond this many counters (2 bytes each, one per cluster of the file) the check would cost more
// memory than a trim in place may take.
constexpr uint64_t kMaxCountedClusters = uint64_t{1} << 28;
constexpr uint16_t kSaturated = UINT16_MAX;

class References {
 public:
  explicit References(Qcow2Image& st) : st_(st) {}

  ErrorCode count() {
    const uint64_t clusters = ceil_div_u64(st_.file_length, st_.cluster);
    if (clusters > kMaxCountedClusters) {
      note_refusal("in_place_refused",
                   "the image file is too large for its clusters to be counted; trim it without --in-place");
      return ERR_UNSUPPORTED;
    }
    return guard_no_memory([&] {
      refs_.assign(static_cast<size_t>(clusters), 0);
      copied_.assign(static_cast<size_t>(ceil_div_u64(clusters, 64)), 0);
      return count_all();
    });
  }

  // True when no cluster is named more often than its refcount allows.
  ErrorCode agrees(bool& sound) {
    sound = false;
    const std::vector<uint64_t>& table = refcount_table_;
    const uint64_t per_block = st_.cluster * 8 >> st_.refcount_order;
    std::vector<uint8_t> block(static_cast<size_t>(st_.cluster));
    for (uint64_t k = 0; k < refs_.size(); k += per_block) {
      const uint64_t t = k / per_block;
      const uint64_t at = t < table.size() ? table[static_cast<size_t>(t)] : 0;
      if (at != 0 && !st_.file.read_at(at, block)) return ERR_READ;
      for (uint64_t i = 0; i < per_block && k + i < refs_.size(); ++i) {
        const uint64_t named = refs_[static_cast<size_t>(k + i)];
        const uint64_t count = at ? qcow2_refcount_entry(block, i, st_.refcount_order) : 0;
        // A saturated counter tells nothing against a refcount as high.
        if (named > count && !(named == kSaturated && count >= kSaturated)) return OK;
        if (named > 1 && (copied_[static_cast<size_t>((k + i) / 64)] >> ((k + i) % 64) & 1)) return OK;
      }
    }
    sound = true;
    return OK;
  }

 private:
  // `times` references to every cluster of [offset, offset + length) that lies in the file.
  void add(uint64_t offset, uint64_t length, uint64_t times = 1) {
    if (length == 0) return;
    const uint64_t last = std::min<uint64_t>((offset + length - 1) / st_.cluster, refs_.size() - 1);
    for (uint64_t k = offset / st_.cluster; k <= last; ++k) {
      uint16_t& n = refs_[static_cast<size_t>(k)];
      n = static_cast<uint16_t>(std::min<uint64_t>(n + times, kSaturated));
    }
  }
  void flag_copied(uint64_t offset) {
    const uint64_t k = offset / st_.cluster;
    if (k < refs_.size()) copied_[static_cast<size_t>(k / 64)] |= uint64_t{1} << (k % 64);
  }

  ErrorCode count_all() {
    add(0, st_.cluster);
    if (ErrorCode rc = count_tables(); rc != OK) return rc;
    add(st_.snapshots_offset, st_.snapshot_table.size());
    if (ErrorCode rc = qcow2_refcount_table(st_, refcount_table_); rc != OK) return rc;
    add(be64(st_.head.data() + 48), refcount_table_.size() * 8);
    for (uint64_t block : refcount_table_) add(block, block ? st_.cluster : 0);
    return count_bitmaps();
  }

  // Every L1 table names its L2 tables; each L2 table names its data as many times as L1 entries
  // name it, but is read once. Only the active tables' copied flags count (as QEMU checks them).
  ErrorCode count_tables() {
    std::vector<uint64_t> names, active, words;
    add(st_.l1_offset, st_.l1.size() * 8);
    for (uint64_t e : st_.l1) {
      if ((e & kOffsetMask) == 0) continue;
      names.push_back(e & kOffsetMask);
      active.push_back(e & kOffsetMask);
      if (e & kCopiedFlag) flag_copied(e & kOffsetMask);
    }
    for (const Qcow2Snapshot& s : st_.snapshots) {
      if (ErrorCode rc = read_named(s.l1_offset, s.l1_size, words); rc != OK) return rc;
      for (uint64_t e : words)
        if (e & kOffsetMask) names.push_back(e & kOffsetMask);
    }
    std::sort(names.begin(), names.end());
    std::sort(active.begin(), active.end());
    for (size_t i = 0; i < names.size();) {
      size_t j = i + 1;
      while (j < names.size() && names[j] == names[i]) ++j;
      add(names[i], st_.cluster, j - i);
      const bool is_active = std::binary_search(active.begin(), active.end(), names[i]);
      if (ErrorCode rc = count_table(names[i], j - i, is_active, words); rc != OK) return rc;
      i = j;
    }
    return OK;
  }

  ErrorCode count_table(uint64_t table, uint64_t times, bool active, std::vector<uint64_t>& words) {
    if (ErrorCode rc = qcow2_read_table(st_, table, words); rc != OK) return rc;
    for (uint64_t i = 0; i < st_.l2_entries; ++i) {
      const size_t at = static_cast<size_t>(i * st_.entry_words());
      Qcow2Cluster c;
      if (ErrorCode rc = qcow2_decode(st_, words[at], st_.extended ? words[at + 1] : 0, c); rc != OK) return rc;
      if (c.host == 0 || st_.external) continue;
      add(c.host, c.compressed ? c.length : st_.cluster, times);
      if (active && (words[at] & kCopiedFlag)) flag_copied(c.host);
    }
    return OK;
  }

  // A table of `entries` words (checked at open), counted as one reference, read in host order.
  ErrorCode read_named(uint64_t offset, uint32_t entries, std::vector<uint64_t>& out) {
    add(offset, uint64_t{entries} * 8);
    out.resize(entries);
    if (!st_.file.read_at(offset, std::span(reinterpret_cast<uint8_t*>(out.data()), out.size() * 8))) return ERR_READ;
    for (uint64_t& e : out) e = swap64(e);
    return OK;
  }

  ErrorCode count_bitmaps() {
    if (st_.bitmap_directory.empty()) return OK;
    add(be64(st_.head.data() + st_.bitmaps_ext_at + 16), st_.bitmap_directory.size());
    std::vector<uint64_t> table;
    for (const Qcow2Bitmap& b : st_.bitmaps) {
      if (ErrorCode rc = read_named(b.table_offset, b.table_size, table); rc != OK) return rc;
      for (uint64_t e : table)
        if (e & kOffsetMask) add(e & kOffsetMask, st_.cluster);
    }
    return OK;
  }

  Qcow2Image& st_;
  std::vector<uint64_t> refcount_table_;  // read once, for the count and the comparison
  std::vector<uint16_t> refs_;    // names of each host cluster, saturating
  std::vector<uint64_t> copied_;  // a bit per host cluster: an active entry flagged copied names it
};

}  // namespace

ErrorCode qcow2_refcount_table(Qcow2Image& st, std::vector<uint64_t>& out) {
  if (st.head.size() < 60) return ERR_BAD_FORMAT;
  const uint64_t at = be64(st.head.data() + 48);
  const uint64_t bytes = uint64_t{be32(st.head.data() + 56)} * st.cluster;
  if (at == 0 || at % st.cluster || bytes == 0 || !qcow2_in_file(st, at, bytes)) return ERR_BAD_FORMAT;
  return guard_no_memory([&] {
    out.resize(static_cast<size_t>(bytes / 8));
    if (!st.file.read_at(at, std::span(reinterpret_cast<uint8_t*>(out.data()), bytes))) return ERR_READ;
    for (uint64_t& e : out) e = swap64(e) & kOffsetMask;
    return OK;
  });
}

ErrorCode qcow2_check_references(Qcow2Image& st) {
  References refs(st);
  if (ErrorCode rc = refs.count(); rc != OK) return rc;
  bool sound = false;
  if (ErrorCode rc = refs.agrees(sound); rc != OK) return rc;
  if (sound) return OK;
  note_refusal("corrupt", "corrupt: run qemu-img check -r all");
  return ERR_UNSUPPORTED;
}

}  // namespace qx
