// QCOW2 trimmed inside the live file. A stop at any point leaves the image consistent: a crash
// between the steps of a table leaks clusters at worst (QEMU's check counts leaks, no
// corruption); no data is lost or exposed.
#include <algorithm>
#include <map>
#include <vector>

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

// The walk decides every cluster as a trim into a new file would; each L2 table's dropped
// clusters that this entry alone names then leave the file together, once the walk is past the
// table, in the order that keeps the image consistent: their L2 entries cleared and flushed,
// their refcounts lowered and flushed, their host ranges punched.
class InPlaceWriter : public BlockWriter {
 public:
  InPlaceWriter(Qcow2Image& st, File& target) : st_(st), target_(target) {}

  // The refcount table, where the header names it (checked at open; checked again here).
  ErrorCode begin(TrimWalk&) override {
    per_block_ = st_.cluster * 8 >> st_.refcount_order;
    return qcow2_refcount_table(st_, refcount_table_);
  }

  ErrorCode keep(TrimWalk&, uint32_t block, uint32_t, uint32_t) override { return enter(block); }

  // A plain allocated cluster that only this entry names (refcount one) leaves the file.
  ErrorCode drop(TrimWalk&, uint32_t block, uint32_t, uint32_t, BlockFate) override {
    if (ErrorCode rc = enter(block); rc != OK) return rc;
    Qcow2Cluster c;
    if (ErrorCode rc = qcow2_cluster(st_, block, c); rc != OK) return rc;
    if (c.compressed || c.host == 0 || c.zero || !(st_.l2[block % st_.l2_entries] & kCopiedFlag)) return OK;
    uint64_t count = 0;
    if (ErrorCode rc = refcount(c.host, count); rc != OK) return rc;
    if (count != 1) return OK;
    return guard_no_memory([&] {
      dropped_.emplace_back(static_cast<uint32_t>(block % st_.l2_entries), c.host);
      return OK;
    });
  }

  ErrorCode finish(TrimWalk&) override { return release(); }

 private:
  // The walk has reached the table of `block`: the one before it gives its clusters back.
  ErrorCode enter(uint32_t block) {
    const uint64_t table = block / st_.l2_entries;
    if (table == table_) return OK;
    if (ErrorCode rc = release(); rc != OK) return rc;
    table_ = table;
    return OK;
  }

  // The three steps for the current table, each made durable before the next begins.
  ErrorCode release() {
    if (dropped_.empty()) return OK;
    const uint64_t at = st_.l1[static_cast<size_t>(table_)] & kOffsetMask;
    std::vector<uint64_t> l2;
    if (ErrorCode rc = qcow2_read_table(st_, at, l2); rc != OK) return rc;
    std::vector<uint64_t> hosts;
    for (const auto& [index, host] : dropped_) {
      l2[index] = 0;
      hosts.push_back(host);
    }
    dropped_.clear();
    for (uint64_t& e : l2) e = swap64(e);
    if (!target_.write_at(at, std::span(reinterpret_cast<const uint8_t*>(l2.data()), l2.size() * 8)) ||
        !target_.sync())
      return ERR_WRITE;
    st_.l2_at = 0;  // the cached table is stale now
    if (ErrorCode rc = lower_refcounts(hosts); rc != OK) return rc;
    return punch(hosts);
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
      i = j;
    }
    return OK;
  }

  Qcow2Image& st_;
  File& target_;
  uint64_t per_block_ = 0;
  std::vector<uint64_t> refcount_table_;
  std::map<uint64_t, std::vector<uint8_t>> blocks_;
  uint64_t table_ = UINT64_MAX;
  std::vector<std::pair<uint32_t, uint64_t>> dropped_;  // of the current table: index, host cluster
};

}  // namespace

ErrorCode qcow2_trim_in_place(DiskImage& image, TrimJob& job) {
  Qcow2Image& st = qcow2(*image.state);
  if (const char* why = in_place_refusal(st)) {
    note_refusal("in_place_refused", why);
    return ERR_UNSUPPORTED;
  }
  // A cluster that another entry still names must never be dropped: the refcounts must hold first.
  if (ErrorCode rc = qcow2_check_references(st); rc != OK) return rc;
  // A host that cannot punch holes must be found out before any table changes.
  File target;
  if (ErrorCode rc = open_to_punch(job.path, st.file, st.cluster, target); rc != OK) return rc;
  InPlaceWriter writer(st, target);
  TrimWalk walk(image, job);
  if (ErrorCode rc = walk.run(TrimSpan{0, st.geometry.total_sectors, st.cluster_sectors(), false}, writer); rc != OK)
    return rc;
  return target.close() ? OK : ERR_WRITE;
}

}  // namespace qx
