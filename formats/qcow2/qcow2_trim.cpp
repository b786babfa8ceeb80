// The QCOW2 trim: a new file with the source's header and extensions, fresh tables, the kept
// clusters packed in guest order (compressed ones copied as they are stored), every cluster a
// snapshot names kept, bitmaps carried over with what the trim changed marked dirty, and
// refcounts counted from what the new file holds.
//
// The new file, cluster by cluster: header | L1 | snapshot table | snapshot L1 tables | bitmap
// directory | bitmap tables and their data | L2 tables | what snapshots name, in source order |
// data clusters | compressed clusters | refcount table | refcount blocks.
#include <algorithm>
#include <bit>
#include <cstring>

#include "formats/format_ids.hpp"
#include "formats/qcow2/qcow2_image.hpp"
#include "formats/trim_walk.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"

namespace qx {
namespace {

// A dropped cluster that must read as zeros: the backing file holds other data under used sectors.
constexpr BlockFate kZeroBlock = 2;
// A kept cluster that takes no data cluster of its own in the new file: compressed, shared with a
// snapshot, or holding no used sector in its allocated subclusters.
constexpr BlockFate kKeepShared = kKept | 1;

uint64_t clusters_for(uint64_t bytes, uint64_t cluster) noexcept { return ceil_div_u64(bytes, cluster); }

// Host clusters that some snapshot names (its L2 tables and the data they map), kept in source
// order: the new place of each follows from how many such clusters come before it.
class SnapshotClusters {
 public:
  ErrorCode build(Qcow2Image& st) {
    st_ = &st;
    if (st.snapshots.empty()) return OK;
    const uint64_t clusters = clusters_for(st.file_length, st.cluster);
    bits_.assign(static_cast<size_t>(ceil_div_u64(clusters, 64)), 0);
    if (ErrorCode rc = each_reference([&](uint64_t c) { mark(c); }); rc != OK) return rc;
    before_.resize(bits_.size());
    for (size_t w = 0; w < bits_.size(); ++w) {
      before_[w] = total_;
      total_ += static_cast<uint64_t>(std::popcount(bits_[w]));
    }
    counts_.assign(static_cast<size_t>(total_), 0);
    return each_reference([&](uint64_t c) { ++counts_[static_cast<size_t>(rank(c))]; });
  }

  uint64_t size() const noexcept { return total_; }
  const std::vector<uint64_t>& tables() const noexcept { return tables_; }
  bool has(uint64_t c) const noexcept { return c / 64 < bits_.size() && (bits_[c / 64] >> (c % 64) & 1); }
  // Every cluster of [offset, offset + length) that the file holds is kept here.
  bool holds(uint64_t offset, uint64_t length) const noexcept {
    const uint64_t end = std::min(offset + length, st_->file_length);
    for (uint64_t c = offset / st_->cluster; c * st_->cluster < end; ++c)
      if (!has(c)) return false;
    return true;
  }
  uint64_t rank(uint64_t c) const noexcept {
    const uint64_t below = bits_[c / 64] & ((uint64_t{1} << (c % 64)) - 1);
    return before_[c / 64] + static_cast<uint64_t>(std::popcount(below));
  }
  // A further reference from the active tables to [offset, offset + length).
  void add_reference(uint64_t offset, uint64_t length) {
    const uint64_t end = std::min(offset + length, st_->file_length);
    for (uint64_t c = offset / st_->cluster; c * st_->cluster < end; ++c) ++counts_[static_cast<size_t>(rank(c))];
  }
  uint64_t count(uint64_t i) const noexcept { return counts_[static_cast<size_t>(i)]; }

  // Calls `seen(cluster)` for every reference a snapshot makes: each L1 entry to its table, each
  // distinct table's entries to their data.
  template <typename Seen>
  ErrorCode each_reference(Seen&& seen) {
    Qcow2Image& st = *st_;
    const bool first_pass = tables_.empty();
    std::vector<uint64_t> words;
    for (const Qcow2Snapshot& s : st.snapshots) {
      if (ErrorCode rc = read_l1(s, words); rc != OK) return rc;
      for (uint64_t e : words)
        if (const uint64_t t = e & kOffsetMask; t != 0) {
          seen(t / st.cluster);
          if (first_pass) tables_.push_back(t);
        }
    }
    if (first_pass) {
      std::sort(tables_.begin(), tables_.end());
      tables_.erase(std::unique(tables_.begin(), tables_.end()), tables_.end());
    }
    for (uint64_t t : tables_) {
      if (ErrorCode rc = qcow2_read_table(st, t, words); rc != OK) return rc;
      for (uint64_t i = 0; i < st.l2_entries; ++i) {
        Qcow2Cluster c;
        const size_t at = static_cast<size_t>(i * st.entry_words());
        if (ErrorCode rc = qcow2_decode(st, words[at], st.extended ? words[at + 1] : 0, c); rc != OK) return rc;
        const uint64_t length = c.compressed ? c.length : (c.host ? st.cluster : 0);
        const uint64_t end = std::min(c.host + length, st.file_length);
        for (uint64_t k = c.host / st.cluster; length && k * st.cluster < end; ++k) seen(k);
      }
    }
    return OK;
  }

  ErrorCode read_l1(const Qcow2Snapshot& s, std::vector<uint64_t>& out) const {
    out.resize(s.l1_size);
    if (!st_->file.read_at(s.l1_offset, std::span(reinterpret_cast<uint8_t*>(out.data()), out.size() * 8)))
      return ERR_READ;
    for (uint64_t& e : out) e = swap64(e);
    return OK;
  }

 private:
  void mark(uint64_t c) {
    if (c / 64 < bits_.size()) bits_[c / 64] |= uint64_t{1} << (c % 64);
  }

  Qcow2Image* st_ = nullptr;
  std::vector<uint64_t> bits_;    // one bit a host cluster
  std::vector<uint64_t> before_;  // set bits in the words before each
  std::vector<uint32_t> counts_;  // references to each kept cluster, in their order
  std::vector<uint64_t> tables_;  // the snapshots' L2 tables, sorted
  uint64_t total_ = 0;
};

struct Layout {
  uint64_t l1 = 0, snapshot_table = 0, bitmap_directory = 0, l2 = 0, metadata_end = 0;
  std::vector<uint64_t> snapshot_l1;
  std::vector<uint64_t> bitmap_table, bitmap_data;
  uint64_t snapshots = 0, data = 0, compressed = 0;  // first clusters of those regions
};

class Qcow2Writer : public BlockWriter {
 public:
  Qcow2Writer(Qcow2Image& st, bool layered) : st_(st), layered_(layered) {}

  ErrorCode prepare() {
    if (ErrorCode rc = snapshots_.build(st_); rc != OK) return rc;
    const uint64_t blocks = ceil_div_u64(st_.size, st_.cluster);
    tables_ = ceil_div_u64(blocks, st_.l2_entries);
    used_tables_.assign(static_cast<size_t>(tables_), 0);
    if (!st_.bitmaps.empty()) changed_.assign(bitmap_bytes(blocks), 0);
    l2_.assign(static_cast<size_t>(st_.l2_entries * st_.entry_words()), 0);
    refcount_max_ = st_.refcount_order == 6 ? UINT64_MAX : (uint64_t{1} << (1u << st_.refcount_order)) - 1;
    return OK;
  }

  // What a cluster that stays needs is learned here, once: the subclusters that hold a used sector
  // (noted for keep and drop where not all of them do), and whether it takes a data cluster.
  ErrorCode decide(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n, BlockFate& fate) override {
    if (ErrorCode rc = layered_ ? decide_child(walk, block, first, n, fate) : BlockWriter::decide(walk, block, first, n, fate);
        rc != OK)
      return rc;
    if (fate == kDropBlock) return OK;
    const uint32_t used = used_subclusters(walk, first, n);
    if (used != st_.all_subclusters())
      if (ErrorCode rc = walk.note(used); rc != OK) return rc;
    if (fate != kKeepBlock) return OK;
    Qcow2Cluster c;
    if (ErrorCode rc = qcow2_cluster(st_, block, c); rc != OK) return rc;
    if (c.compressed || !(c.alloc & used) || snapshots_.holds(c.host, st_.cluster)) fate = kKeepShared;
    return OK;
  }

  ErrorCode plan(TrimWalk& walk) override {
    for (uint64_t block = 0; block < walk.blocks(); ++block) {
      if (walk.fate(block) == kDropBlock) continue;
      used_tables_[static_cast<size_t>(block / st_.l2_entries)] = 1;
      hosts_ += walk.fate(block) == kKeepBlock;
    }
    lay_out();
    TrimSink& out = walk.out();
    if (ErrorCode rc = write_l1(out); rc != OK) return rc;
    if (ErrorCode rc = write_snapshots(walk); rc != OK) return rc;
    return write_bitmap_tables(out);
  }

  ErrorCode keep(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n) override {
    if (ErrorCode rc = enter(walk.out(), block); rc != OK) return rc;
    Qcow2Cluster c;
    if (ErrorCode rc = qcow2_cluster(st_, block, c); rc != OK) return rc;
    if (c.compressed) return keep_compressed(walk.out(), block, c);
    const uint32_t used = walk.noted(block, st_.all_subclusters());
    const uint32_t alloc = c.alloc & used, zero = c.zero & used;
    uint64_t host = 0;
    if (alloc) {
      if (snapshots_.holds(c.host, st_.cluster)) {
        host = snapshot_place(c.host);
        snapshots_.add_reference(c.host, st_.cluster);
      } else {
        if (data_used_ >= hosts_) return ERR_UNSUPPORTED;
        host = (layout_.data + data_used_++) * st_.cluster;
        if (ErrorCode rc = copy_subclusters(walk, first, n, alloc, host); rc != OK) return rc;
      }
    }
    const bool shared = alloc && host < layout_.data * st_.cluster;
    if (alloc != c.alloc || zero != c.zero) mark_changed(block);
    // The copied flag says "refcount exactly one": never of a cluster a snapshot shares.
    const uint64_t flags = alloc && !shared ? kCopiedFlag : (!st_.extended && zero ? kZeroFlag : 0);
    set_entry(block, host | flags, uint64_t{alloc} | uint64_t{zero} << 32);
    return OK;
  }

  ErrorCode drop(TrimWalk& walk, uint32_t block, uint32_t, uint32_t, BlockFate fate) override {
    if (ErrorCode rc = enter(walk.out(), block); rc != OK) return rc;
    Qcow2Cluster c;
    if (ErrorCode rc = qcow2_cluster(st_, block, c); rc != OK) return rc;
    if (c.compressed || c.alloc || c.zero) mark_changed(block);
    if (fate != kZeroBlock) return OK;
    if (!st_.extended) {
      set_entry(block, kZeroFlag, 0);
      return OK;
    }
    // Only what this layer held reads as zeros; the rest still comes from the backing file.
    const uint32_t held = c.compressed ? st_.all_subclusters() : c.alloc | c.zero;
    const uint32_t zero = held & walk.noted(block, st_.all_subclusters());
    set_entry(block, 0, uint64_t{zero} << 32);
    return OK;
  }

  // Everything after the last block: the last L2 table, bitmaps, refcounts and the header.
  ErrorCode finish(TrimWalk& walk) override {
    TrimSink& out = walk.out();
    if (ErrorCode rc = flush_table(out); rc != OK) return rc;
    if (ErrorCode rc = write_bitmap_data(out); rc != OK) return rc;
    const uint64_t end = std::max(compressed_end_, (layout_.data + hosts_) * st_.cluster);
    refcounts_at_ = clusters_for(std::max(end, layout_.compressed * st_.cluster), st_.cluster);
    if (ErrorCode rc = write_refcounts(out); rc != OK) return rc;
    if (ErrorCode rc = write_head(out); rc != OK) return rc;
    return out.set_length((refcounts_at_ + refcount_table_ + refcount_blocks_) * st_.cluster);
  }

 private:
  // ---- deciding ----

  // A child keeps what its own layer holds under used sectors. Where those all read zero it
  // needs nothing of its own when the backing file reads zero there too; otherwise the cluster
  // reads as zeros (version 3), or stays as it is (version 2 has no such cluster).
  ErrorCode decide_child(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n, BlockFate& fate) {
    LayerUse use;
    if (ErrorCode rc = walk.layer_use(first, n, true, use); rc != OK) return rc;
    if (!use.used) return decide_free(walk, block, n, fate);
    fate = kKeepBlock;
    if (!use.zeros) return OK;
    bool below = false;
    if (ErrorCode rc = walk.is_free_below(first, n, below); rc != OK) return rc;
    if (below) fate = kDropBlock;
    else if (st_.version >= 3) fate = kZeroBlock;
    return OK;
  }

  // The subclusters that hold a used sector.
  uint32_t used_subclusters(TrimWalk& walk, uint32_t first, uint32_t n) {
    if (!st_.extended) return 1;
    used_.resize(bitmap_bytes(n));
    if (query_used(walk.map(), first, n, used_) != OK) return st_.all_subclusters();
    const uint32_t per = static_cast<uint32_t>(st_.subcluster_bytes() / kSectorSize);
    uint32_t mask = 0;
    for (uint32_t i = 0; i < n; ++i)
      if (test_bit(used_, i)) mask |= 1u << (i / per);
    return mask;
  }

  // ---- the layout ----

  void lay_out() {
    const uint64_t C = st_.cluster;
    uint64_t at = 1;
    const auto take = [&](uint64_t bytes) {
      const uint64_t first = at;
      at += clusters_for(bytes, C);
      return first;
    };
    layout_.l1 = take(uint64_t{st_.l1_size} * 8);
    layout_.snapshot_table = take(st_.snapshot_table.size());
    for (const Qcow2Snapshot& s : st_.snapshots) layout_.snapshot_l1.push_back(take(uint64_t{s.l1_size} * 8));
    layout_.bitmap_directory = take(st_.bitmap_directory.size());
    for (const Qcow2Bitmap& b : st_.bitmaps) {
      layout_.bitmap_table.push_back(take(uint64_t{b.table_size} * 8));
      layout_.bitmap_data.push_back(take(uint64_t{b.table_size} * C));
    }
    layout_.l2 = at;
    slots_.assign(used_tables_.size(), 0);
    for (size_t i = 0; i < used_tables_.size(); ++i)
      if (used_tables_[i]) slots_[i] = static_cast<uint32_t>(at++ - layout_.l2);
    layout_.metadata_end = at;
    layout_.snapshots = at;
    at += snapshots_.size();
    layout_.data = at;
    at += hosts_;
    layout_.compressed = at;
    compressed_cursor_ = at * C;
  }

  uint64_t table_place(uint64_t table) const noexcept { return (layout_.l2 + slots_[table]) * st_.cluster; }
  uint64_t snapshot_place(uint64_t host) const noexcept {
    return (layout_.snapshots + snapshots_.rank(host / st_.cluster)) * st_.cluster + host % st_.cluster;
  }

  // ---- tables ----

  ErrorCode write_words(TrimSink& out, uint64_t at, const std::vector<uint64_t>& words) {
    std::vector<uint8_t> bytes(words.size() * 8);
    for (size_t i = 0; i < words.size(); ++i) store_be<uint64_t>(bytes.data() + i * 8, words[i]);
    return out.write(at, bytes);
  }

  ErrorCode write_l1(TrimSink& out) {
    std::vector<uint64_t> l1(st_.l1_size, 0);
    for (size_t i = 0; i < used_tables_.size(); ++i)
      if (used_tables_[i]) l1[i] = table_place(i) | kCopiedFlag;
    return write_words(out, layout_.l1 * st_.cluster, l1);
  }

  // An entry of a snapshot's table with its cluster in the new place.
  uint64_t moved_entry(uint64_t entry, const Qcow2Cluster& c) const {
    if (c.compressed) {
      const uint32_t shift = 62 - (st_.cluster_bits - 8);
      const uint64_t offset_mask = (uint64_t{1} << shift) - 1;
      return (entry & ~offset_mask) | snapshot_place(c.host);
    }
    if (c.host == 0) return entry;
    return (entry & ~kOffsetMask) | snapshot_place(c.host);
  }

  // Snapshot tables, their L1 and L2 tables in the new places, and their data copied as it is.
  ErrorCode write_snapshots(TrimWalk& walk) {
    TrimSink& out = walk.out();
    if (st_.snapshots.empty()) return OK;
    const uint64_t C = st_.cluster;
    std::vector<uint8_t> table = st_.snapshot_table;
    std::vector<uint64_t> words;
    for (size_t i = 0; i < st_.snapshots.size(); ++i) {
      const Qcow2Snapshot& s = st_.snapshots[i];
      store_be<uint64_t>(table.data() + s.entry_at, s.l1_size ? layout_.snapshot_l1[i] * C : 0);
      if (ErrorCode rc = snapshots_.read_l1(s, words); rc != OK) return rc;
      for (uint64_t& e : words)
        if (const uint64_t t = e & kOffsetMask; t != 0) e = (e & ~kOffsetMask) | snapshot_place(t);
      if (ErrorCode rc = write_words(out, layout_.snapshot_l1[i] * C, words); rc != OK) return rc;
    }
    if (ErrorCode rc = out.write(layout_.snapshot_table * C, table); rc != OK) return rc;
    for (uint64_t t : snapshots_.tables()) {
      if (ErrorCode rc = qcow2_read_table(st_, t, words); rc != OK) return rc;
      for (uint64_t i = 0; i < st_.l2_entries; ++i) {
        const size_t at = static_cast<size_t>(i * st_.entry_words());
        Qcow2Cluster c;
        if (ErrorCode rc = qcow2_decode(st_, words[at], st_.extended ? words[at + 1] : 0, c); rc != OK) return rc;
        words[at] = moved_entry(words[at], c);
      }
      if (ErrorCode rc = write_words(out, snapshot_place(t), words); rc != OK) return rc;
    }
    return copy_snapshot_data(walk);
  }

  // Runs of kept clusters that are not tables, copied in source order.
  ErrorCode copy_snapshot_data(TrimWalk& walk) {
    const uint64_t C = st_.cluster;
    const auto& tables = snapshots_.tables();
    const uint64_t clusters = clusters_for(st_.file_length, C);
    for (uint64_t c = 0; c < clusters;) {
      if (!snapshots_.has(c) || std::binary_search(tables.begin(), tables.end(), c * C)) {
        ++c;
        continue;
      }
      uint64_t end = c + 1;
      while (end < clusters && snapshots_.has(end) && !std::binary_search(tables.begin(), tables.end(), end * C)) ++end;
      const uint64_t length = std::min(end * C, st_.file_length) - c * C;
      if (ErrorCode rc = walk.out().copy(c * C, snapshot_place(c * C), length); rc != OK) return rc;
      if (ErrorCode rc = walk.check_in(length / kSectorSize); rc != OK) return rc;
      c = end;
    }
    return OK;
  }

  // ---- the active L2 tables, filled in guest order ----

  ErrorCode enter(TrimSink& out, uint32_t block) {
    const uint64_t table = block / st_.l2_entries;
    if (table == table_) return OK;
    if (ErrorCode rc = flush_table(out); rc != OK) return rc;
    table_ = table;
    std::fill(l2_.begin(), l2_.end(), 0);
    return OK;
  }

  ErrorCode flush_table(TrimSink& out) {
    if (table_ == kNoTable || !used_tables_[static_cast<size_t>(table_)]) return OK;
    return write_words(out, table_place(table_), l2_);
  }

  void set_entry(uint32_t block, uint64_t entry, uint64_t bitmap) {
    const size_t i = static_cast<size_t>(block % st_.l2_entries * st_.entry_words());
    l2_[i] = entry;
    if (st_.extended) l2_[i + 1] = bitmap;
  }

  // Only bitmaps ask what changed.
  void mark_changed(uint32_t block) {
    if (!changed_.empty()) put_bit(changed_, block, true);
  }

  // Allocated subclusters go through the shared copier; the others stay holes.
  ErrorCode copy_subclusters(TrimWalk& walk, uint32_t first, uint32_t n, uint32_t alloc, uint64_t host) {
    if (!st_.extended) return walk.put_sectors(first, n, host, st_.cluster);
    const auto per = static_cast<uint32_t>(st_.subcluster_bytes() / kSectorSize);
    for (uint32_t s = 0; s < 32;) {
      if (!(alloc >> s & 1)) {
        ++s;
        continue;
      }
      uint32_t e = s + 1;
      while (e < 32 && (alloc >> e & 1)) ++e;
      const uint32_t from = s * per, to = std::min(n, e * per);
      if (from < to)
        if (ErrorCode rc = walk.put_sectors(first + from, to - from, host + uint64_t{from} * kSectorSize,
                                            uint64_t{e - s} * st_.subcluster_bytes());
            rc != OK)
          return rc;
      s = e;
    }
    return OK;
  }

  // ---- compressed clusters ----

  // Copied as stored, at the same place within a sector. Clusters that followed each other in the
  // source follow each other here too; a host cluster takes no more references than a refcount
  // holds.
  ErrorCode keep_compressed(TrimSink& out, uint32_t block, const Qcow2Cluster& c) {
    const uint32_t shift = 62 - (st_.cluster_bits - 8);
    const uint64_t sectors = (c.host % kSectorSize + c.length) / kSectorSize;
    uint64_t at = 0;
    if (snapshots_.holds(c.host, c.length)) {
      at = snapshot_place(c.host);
      snapshots_.add_reference(c.host, c.length);
    } else {
      if (ErrorCode rc = place_compressed(out, c, at); rc != OK) return rc;
    }
    set_entry(block, kCompressedFlag | (sectors - 1) << shift | at, 0);
    return OK;
  }

  ErrorCode place_compressed(TrimSink& out, const Qcow2Cluster& c, uint64_t& at) {
    const uint64_t stored_end = std::min(c.host + c.length, st_.file_length);
    bool continued = last_end_ != 0 && c.host >= last_host_ && c.host <= last_end_;
    // (host - cursor) wraps, but 2^64 is a multiple of a sector.
    at = continued ? last_at_ + (c.host - last_host_)
                   : compressed_cursor_ + (c.host - compressed_cursor_) % kSectorSize;
    if (!room_for(at, c.length)) {
      at = ceil_div_u64(std::max(compressed_cursor_, at), st_.cluster) * st_.cluster + c.host % kSectorSize;
      continued = false;
      if (!room_for(at, c.length)) return ERR_UNSUPPORTED;
    }
    const uint64_t from = continued ? std::max(c.host, last_end_) : c.host;
    if (stored_end > from)
      if (ErrorCode rc = out.copy(from, at + (from - c.host), stored_end - from); rc != OK) return rc;
    if (continued) {
      last_end_ = std::max(last_end_, stored_end);
    } else {
      last_host_ = c.host;
      last_at_ = at;
      last_end_ = stored_end;
    }
    count_compressed(at, c.length);
    compressed_cursor_ = std::max(compressed_cursor_, at + (stored_end - c.host));
    compressed_end_ = std::max(compressed_end_, at + c.length);
    return OK;
  }

  // The host clusters whose refcount a compressed cluster at [at, at + length) raises.
  std::pair<uint64_t, uint64_t> touched(uint64_t at, uint64_t length) const noexcept {
    const uint64_t start = at / kSectorSize * kSectorSize;
    return {start / st_.cluster, (at + length - 1) / st_.cluster};
  }

  bool room_for(uint64_t at, uint64_t length) {
    const auto [first, last] = touched(at, length);
    if (first < layout_.compressed) return false;
    for (uint64_t k = first; k <= last; ++k) {
      const uint64_t i = k - layout_.compressed;
      if (i < compressed_counts_.size() && compressed_counts_[static_cast<size_t>(i)] >= std::min<uint64_t>(refcount_max_, UINT16_MAX))
        return false;
    }
    return true;
  }

  void count_compressed(uint64_t at, uint64_t length) {
    const auto [first, last] = touched(at, length);
    if (compressed_counts_.size() <= last - layout_.compressed)
      compressed_counts_.resize(static_cast<size_t>(last - layout_.compressed + 1), 0);
    for (uint64_t k = first; k <= last; ++k) ++compressed_counts_[static_cast<size_t>(k - layout_.compressed)];
  }

  // ---- bitmaps ----

  ErrorCode write_bitmap_tables(TrimSink& out) {
    if (st_.bitmaps.empty()) return OK;
    const uint64_t C = st_.cluster;
    std::vector<uint8_t> directory = st_.bitmap_directory;
    for (size_t j = 0; j < st_.bitmaps.size(); ++j) {
      const Qcow2Bitmap& b = st_.bitmaps[j];
      store_be<uint64_t>(directory.data() + b.entry_at, layout_.bitmap_table[j] * C);
      std::vector<uint64_t> table(b.table_size);
      for (uint32_t k = 0; k < b.table_size; ++k) table[k] = (layout_.bitmap_data[j] + k) * C;
      if (ErrorCode rc = write_words(out, layout_.bitmap_table[j] * C, table); rc != OK) return rc;
    }
    return out.write(layout_.bitmap_directory * C, directory);
  }

  // Each bitmap's data as it was, with every range whose content the trim changed marked dirty.
  ErrorCode write_bitmap_data(TrimSink& out) {
    const uint64_t C = st_.cluster;
    std::vector<uint64_t> table;
    std::vector<uint8_t> data(static_cast<size_t>(C));
    for (size_t j = 0; j < st_.bitmaps.size(); ++j) {
      const Qcow2Bitmap& b = st_.bitmaps[j];
      table.resize(b.table_size);
      if (!st_.file.read_at(b.table_offset, std::span(reinterpret_cast<uint8_t*>(table.data()), table.size() * 8)))
        return ERR_READ;
      const uint64_t bits = ceil_div_u64(st_.size, uint64_t{1} << b.granularity_bits);
      for (uint32_t k = 0; k < b.table_size; ++k) {
        const uint64_t e = swap64(table[k]);
        if (e & kOffsetMask) {
          const size_t n = static_cast<size_t>(std::min(C, st_.file_length - (e & kOffsetMask)));
          std::fill(data.begin(), data.end(), 0);
          if (!st_.file.read_at(e & kOffsetMask, std::span(data).first(n))) return ERR_READ;
        } else {
          std::fill(data.begin(), data.end(), (e & 1) ? 0xFF : 0x00);
        }
        mark_dirty(b, k, bits, data);
        if (ErrorCode rc = out.write((layout_.bitmap_data[j] + k) * C, data); rc != OK) return rc;
      }
    }
    return OK;
  }

  // Bits of cluster k of a bitmap: dirty where a changed block lies; none past the disk's end.
  void mark_dirty(const Qcow2Bitmap& b, uint32_t k, uint64_t bits, std::vector<uint8_t>& data) {
    const uint64_t C = st_.cluster;
    const uint64_t first_bit = uint64_t{k} * C * 8;
    const uint64_t last_bit = std::min(bits, first_bit + C * 8);
    if (first_bit >= bits) {
      std::fill(data.begin(), data.end(), 0);
      return;
    }
    const uint32_t g = b.granularity_bits;
    const uint64_t first_block = (first_bit << g) / C;
    const uint64_t end_block = std::min(ceil_div_u64(last_bit << g, C), ceil_div_u64(st_.size, C));
    for (uint64_t x = first_block; x < end_block; ++x) {
      if (!test_bit(changed_, x)) continue;
      const uint64_t from = std::max(first_bit, (x * C) >> g);
      const uint64_t to = std::min(last_bit, (((x + 1) * C - 1) >> g) + 1);
      if (from < to) put_bits(data, from - first_bit, to - from, true);
    }
    if (last_bit < first_bit + C * 8) put_bits(data, last_bit - first_bit, first_bit + C * 8 - last_bit, false);
  }

  // ---- refcounts ----

  uint64_t refcount_of(uint64_t k) const {
    if (k < layout_.metadata_end) return 1;
    if (k < layout_.data) return snapshots_.count(k - layout_.snapshots);
    if (k < layout_.compressed) return k < layout_.data + data_used_ ? 1 : 0;
    if (k < refcounts_at_) {
      const uint64_t i = k - layout_.compressed;
      return i < compressed_counts_.size() ? compressed_counts_[static_cast<size_t>(i)] : 0;
    }
    return k < refcounts_at_ + refcount_table_ + refcount_blocks_ ? 1 : 0;
  }

  void store_refcount(std::vector<uint8_t>& block, uint64_t i, uint64_t v) const {
    const uint32_t width = 1u << st_.refcount_order;
    if (width >= 8) {
      for (uint32_t b = 0; b < width / 8; ++b)
        block[static_cast<size_t>(i * (width / 8) + b)] = static_cast<uint8_t>(v >> (width - 8 - 8 * b));
      return;
    }
    block[static_cast<size_t>(i * width / 8)] |= static_cast<uint8_t>(v << (i * width % 8));
  }

  // The table and its blocks go last, sized to count themselves.
  ErrorCode write_refcounts(TrimSink& out) {
    const uint64_t C = st_.cluster;
    const uint64_t per_block = C * 8 >> st_.refcount_order;
    refcount_table_ = 1;
    refcount_blocks_ = 1;
    for (int i = 0; i < 64; ++i) {
      const uint64_t total = refcounts_at_ + refcount_table_ + refcount_blocks_;
      const uint64_t blocks = ceil_div_u64(total, per_block);
      const uint64_t table = clusters_for(blocks * 8, C);
      if (blocks == refcount_blocks_ && table == refcount_table_) break;
      refcount_blocks_ = std::max(blocks, refcount_blocks_);
      refcount_table_ = std::max(table, refcount_table_);
    }
    std::vector<uint64_t> table(static_cast<size_t>(refcount_table_ * C / 8), 0);
    std::vector<uint8_t> block(static_cast<size_t>(C));
    const uint64_t first_block = refcounts_at_ + refcount_table_;
    for (uint64_t b = 0; b < refcount_blocks_; ++b) {
      std::fill(block.begin(), block.end(), 0);
      for (uint64_t i = 0; i < per_block; ++i) {
        const uint64_t v = refcount_of(b * per_block + i);
        if (v > refcount_max_) return ERR_UNSUPPORTED;
        if (v) store_refcount(block, i, v);
      }
      table[static_cast<size_t>(b)] = (first_block + b) * C;
      if (ErrorCode rc = out.write((first_block + b) * C, block); rc != OK) return rc;
    }
    return write_words(out, refcounts_at_ * C, table);
  }

  // The source's first cluster with the new places of its tables; autoclear bits this writer does
  // not know are cleared, as the format asks of any writer.
  ErrorCode write_head(TrimSink& out) {
    const uint64_t C = st_.cluster;
    std::vector<uint8_t> head = st_.head;
    store_be<uint64_t>(head.data() + 40, layout_.l1 * C);
    store_be<uint64_t>(head.data() + 48, refcounts_at_ * C);
    store_be<uint32_t>(head.data() + 56, static_cast<uint32_t>(refcount_table_));
    store_be<uint64_t>(head.data() + 64, st_.snapshots.empty() ? 0 : layout_.snapshot_table * C);
    if (st_.version >= 3) store_be<uint64_t>(head.data() + 88, st_.autoclear & kAutoclearBitmaps);
    if (st_.bitmaps_ext_at) store_be<uint64_t>(head.data() + st_.bitmaps_ext_at + 16, layout_.bitmap_directory * C);
    return out.write(0, head);
  }

  static constexpr uint64_t kNoTable = ~uint64_t{0};

  Qcow2Image& st_;
  bool layered_;
  SnapshotClusters snapshots_;
  Layout layout_;
  uint64_t tables_ = 0;
  std::vector<uint8_t> used_tables_;  // per L1 entry: some cluster of it keeps an entry
  std::vector<uint32_t> slots_;       // per L1 entry: its table's place among the L2 tables
  std::vector<uint8_t> changed_;      // per block: the trim changed what it reads
  std::vector<uint8_t> used_;
  std::vector<uint64_t> l2_;
  uint64_t table_ = kNoTable;
  uint64_t hosts_ = 0;       // data clusters the kept blocks need
  uint64_t data_used_ = 0;
  uint64_t refcount_max_ = 0;
  uint64_t compressed_cursor_ = 0, compressed_end_ = 0;
  uint64_t last_host_ = 0, last_at_ = 0, last_end_ = 0;  // the last compressed run copied
  std::vector<uint16_t> compressed_counts_;
  uint64_t refcounts_at_ = 0, refcount_table_ = 0, refcount_blocks_ = 0;
};

}  // namespace

ErrorCode qcow2_trim(DiskImage& image, TrimJob& job) {
  Qcow2Image& st = qcow2(*image.state);
  if (st.refusal || st.external) return ERR_UNSUPPORTED;
  const bool layered = needs_layer_local_trim(image);
  Qcow2Writer writer(st, layered);
  if (ErrorCode rc = writer.prepare(); rc != OK) return rc;
  return trim_file(image, job, job.path, st.file, TrimSpan{0, st.geometry.total_sectors, st.cluster_sectors(), layered},
                   writer);
}

}  // namespace qx
