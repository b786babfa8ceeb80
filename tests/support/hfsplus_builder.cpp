#include "support/hfsplus_builder.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>

#include "support/file_patch.hpp"
#include "support/fs_support.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

constexpr uint32_t kDate = 0xE0000000;  // some day in 2023, seconds since 1904
constexpr uint32_t kFirstUserId = 16;
constexpr uint32_t kRootFolderId = 2;
constexpr uint32_t kRootParentId = 1;

class Writer {
 public:
  explicit Writer(const std::string& path)
      : f_(path, std::ios::binary | std::ios::in | std::ios::out) {
    if (!f_) throw std::runtime_error("cannot open " + path);
  }
  void write(uint64_t offset, const std::vector<uint8_t>& data) {
    f_.seekp(static_cast<std::streamoff>(offset));
    f_.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f_) throw std::runtime_error("write failed");
  }

 private:
  std::fstream f_;
};

struct Allocator {
  std::vector<bool>& used;
  uint32_t cursor = 0;

  uint32_t run(uint32_t n) {
    while (true) {
      if (uint64_t{cursor} + n > used.size()) throw std::runtime_error("hfsplus volume too small");
      uint32_t i = 0;
      while (i < n && !used[cursor + i]) ++i;
      if (i == n) break;
      cursor += i + 1;
    }
    const uint32_t start = cursor;
    for (uint32_t i = 0; i < n; ++i) used[start + i] = true;
    cursor += n;
    return start;
  }
  // `blocks` blocks in `pieces` runs with one free block after each.
  std::vector<HfsPlusExtent> fragmented(uint32_t blocks, uint32_t pieces) {
    pieces = std::max<uint32_t>(1, std::min(pieces, blocks));
    std::vector<HfsPlusExtent> out;
    uint32_t left = blocks;
    for (uint32_t p = 0; p < pieces; ++p) {
      const uint32_t n = left / (pieces - p);
      out.push_back({run(n), n});
      left -= n;
      if (p + 1 < pieces) ++cursor;
    }
    return out;
  }
};

// The 80-byte fork data record: the first eight extents inline.
void put_fork(std::vector<uint8_t>& b, size_t at, uint64_t logical, uint32_t clump,
              const std::vector<HfsPlusExtent>& extents) {
  uint32_t total = 0;
  for (const auto& e : extents) total += e.count;
  put64_be(b, at, logical);
  put32_be(b, at + 8, clump);
  put32_be(b, at + 12, total);
  for (size_t i = 0; i < extents.size() && i < 8; ++i) {
    put32_be(b, at + 16 + 8 * i, extents[i].start);
    put32_be(b, at + 20 + 8 * i, extents[i].count);
  }
}

// A B-tree node assembled from its records; offsets (and the free-space offset) at the end.
std::vector<uint8_t> make_node(uint32_t size, uint32_t flink, uint32_t blink, int8_t kind,
                               uint8_t height, const std::vector<std::vector<uint8_t>>& records) {
  std::vector<uint8_t> n(size, 0);
  put32_be(n, 0, flink);
  put32_be(n, 4, blink);
  n[8] = static_cast<uint8_t>(kind);
  n[9] = height;
  put16_be(n, 10, static_cast<uint32_t>(records.size()));
  size_t at = 14;
  for (size_t i = 0; i < records.size(); ++i) {
    if (at + records[i].size() + 2 * (records.size() + 1) > size)
      throw std::runtime_error("b-tree node overflow");
    std::copy(records[i].begin(), records[i].end(), n.begin() + static_cast<ptrdiff_t>(at));
    put16_be(n, size - 2 * (i + 1), static_cast<uint32_t>(at));
    at += records[i].size();
  }
  put16_be(n, size - 2 * (records.size() + 1), static_cast<uint32_t>(at));
  return n;
}

struct TreeHeader {
  uint16_t depth = 0;
  uint32_t root = 0, leaf_records = 0, first_leaf = 0, last_leaf = 0;
  uint16_t node_size = 0, max_key_length = 0;
  uint32_t total_nodes = 0, used_nodes = 0, clump = 0;
  uint8_t compare_type = 0;
  uint32_t attributes = 0;
};

std::vector<uint8_t> make_header_node(const TreeHeader& h) {
  std::vector<uint8_t> rec(106, 0);
  put16_be(rec, 0, h.depth);
  put32_be(rec, 2, h.root);
  put32_be(rec, 6, h.leaf_records);
  put32_be(rec, 10, h.first_leaf);
  put32_be(rec, 14, h.last_leaf);
  put16_be(rec, 18, h.node_size);
  put16_be(rec, 20, h.max_key_length);
  put32_be(rec, 22, h.total_nodes);
  put32_be(rec, 26, h.total_nodes - h.used_nodes);
  put32_be(rec, 32, h.clump);
  rec[36] = 0;  // btree type
  rec[37] = h.compare_type;
  put32_be(rec, 38, h.attributes);
  const std::vector<uint8_t> user(128, 0);
  std::vector<uint8_t> map(h.node_size - 256u, 0);
  if (h.total_nodes > map.size() * 8) throw std::runtime_error("b-tree needs map nodes");
  for (uint32_t i = 0; i < h.used_nodes; ++i) map[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
  return make_node(h.node_size, 0, 0, 1, 0, {rec, user, map});
}

std::vector<uint8_t> extent_key(uint32_t file_id, uint32_t start_block) {
  std::vector<uint8_t> k(12, 0);
  put16_be(k, 0, 10);
  k[2] = 0;  // data fork
  put32_be(k, 4, file_id);
  put32_be(k, 8, start_block);
  return k;
}

struct OverflowRecord {
  uint32_t file_id;
  uint32_t start_block;
  std::vector<HfsPlusExtent> extents;  // up to 8
};

// Records for every extent of a fork beyond the eighth.
void add_overflow(std::vector<OverflowRecord>& out, uint32_t file_id,
                  const std::vector<HfsPlusExtent>& extents) {
  uint32_t logical = 0;
  for (size_t i = 0; i < extents.size(); ++i) {
    if (i >= 8 && i % 8 == 0) out.push_back({file_id, logical, {}});
    if (i >= 8) out.back().extents.push_back(extents[i]);
    logical += extents[i].count;
  }
}

uint32_t overflow_record_count(uint32_t fragments) {
  return fragments > 8 ? (fragments - 1) / 8 : 0;
}

std::vector<uint8_t> uni_name(const std::string& name) {
  std::vector<uint8_t> n(2 + 2 * name.size(), 0);
  put16_be(n, 0, static_cast<uint32_t>(name.size()));
  for (size_t i = 0; i < name.size(); ++i) put16_be(n, 2 + 2 * i, static_cast<uint8_t>(name[i]));
  return n;
}

std::vector<uint8_t> catalog_key(uint32_t parent, const std::string& name) {
  std::vector<uint8_t> k(6, 0);
  const std::vector<uint8_t> n = uni_name(name);
  put16_be(k, 0, static_cast<uint32_t>(4 + n.size()));
  put32_be(k, 2, parent);
  k.insert(k.end(), n.begin(), n.end());
  return k;
}

void put_bsd_info(std::vector<uint8_t>& b, size_t at, uint32_t mode) {
  put32_be(b, at, 0);      // owner
  put32_be(b, at + 4, 0);  // group
  put16_be(b, at + 10, mode);
}

std::vector<uint8_t> thread_record(uint16_t type, uint32_t parent, const std::string& name) {
  std::vector<uint8_t> r(8, 0);
  put16_be(r, 0, type);
  put32_be(r, 4, parent);
  const std::vector<uint8_t> n = uni_name(name);
  r.insert(r.end(), n.begin(), n.end());
  return r;
}

}  // namespace

std::vector<uint8_t> hfsplus_file_content(size_t index, uint64_t bytes, uint32_t block_size) {
  std::vector<uint8_t> data(bytes);
  for (uint64_t at = 0; at < bytes; at += block_size) {
    char tag[32];
    const int n = std::snprintf(tag, sizeof tag, "file %zu block %llu:", index,
                                static_cast<unsigned long long>(at / block_size));
    for (uint64_t j = 0; j < block_size && at + j < bytes; ++j)
      data[at + j] = j < static_cast<uint64_t>(n) ? static_cast<uint8_t>(tag[j])
                                                  : static_cast<uint8_t>('a' + (index + j) % 26);
  }
  return data;
}

uint64_t hfsplus_file_bytes(const HfsPlusFileSpec& file, uint32_t block_size) {
  const uint64_t bytes = uint64_t{file.blocks} * block_size;
  return bytes ? bytes - 100 : 0;
}

HfsPlusLayout build_hfsplus(const std::string& path, const HfsPlusOptions& o) {
  HfsPlusLayout L;
  const uint32_t bs = o.block_size;
  L.block_size = bs;
  L.total_blocks = static_cast<uint32_t>(o.volume_bytes / bs);
  L.volume_offset = o.offset;
  L.volume_bytes = o.volume_bytes;
  L.used.assign(L.total_blocks, false);
  if (o.extents_node_size < 512 || o.catalog_node_size < 4096)
    throw std::runtime_error("node size");

  // Reserved areas: the first 1536 bytes, the backup header and the last sector.
  for (uint32_t b = 0; b <= 1535 / bs; ++b) L.used[b] = true;
  for (uint64_t at : {o.volume_bytes - 1024, o.volume_bytes - 512})
    if (at / bs < L.total_blocks) L.used[at / bs] = true;

  Allocator alloc{L.used};
  const uint64_t bitmap_bytes = (uint64_t{L.total_blocks} + 7) / 8;
  const uint32_t alloc_blocks =
      static_cast<uint32_t>((bitmap_bytes + bs - 1) / bs) + o.allocation_extra_blocks;
  L.allocation_extents = alloc.fragmented(alloc_blocks, o.allocation_fragments);

  if (o.journal != HfsJournal::kNone) {
    L.journal_info_block = alloc.run(1);
    const uint32_t jblocks = std::max<uint32_t>(1, 65536 / bs);
    L.journal_header = L.block_offset(alloc.run(jblocks));
  }

  // The extents tree is sized from the fragment counts before anything it describes is placed.
  uint32_t records = overflow_record_count(static_cast<uint32_t>(L.allocation_extents.size()));
  for (const auto& f : o.files) records += overflow_record_count(std::min(f.fragments, f.blocks));
  const uint32_t ens = o.extents_node_size;
  const uint32_t per_leaf = (ens - 14 - 2) / (76 + 2);
  const uint32_t leaves = (records + per_leaf - 1) / per_leaf;
  const uint32_t index_nodes = leaves > 1 ? 1 : 0;
  if (leaves > (ens - 16) / 18) throw std::runtime_error("extents tree too deep for the builder");
  const uint32_t ext_used_nodes = 1 + leaves + index_nodes;
  const uint64_t ext_bytes_min = uint64_t{std::max(o.extents_min_nodes, ext_used_nodes)} * ens;
  const uint32_t ext_blocks = static_cast<uint32_t>((ext_bytes_min + bs - 1) / bs);
  L.extents_file = {alloc.run(ext_blocks), ext_blocks};
  const uint32_t ext_total_nodes = static_cast<uint32_t>(uint64_t{ext_blocks} * bs / ens);

  const uint32_t cns = o.catalog_node_size;
  const uint32_t cat_blocks = static_cast<uint32_t>((uint64_t{4} * cns + bs - 1) / bs);
  L.catalog_file = {alloc.run(cat_blocks), cat_blocks};
  const uint32_t cat_total_nodes = static_cast<uint32_t>(uint64_t{cat_blocks} * bs / cns);

  for (const auto& f : o.files) {
    if (f.at_block) {
      if (f.at_block < alloc.cursor) throw std::runtime_error("file placed over laid-out blocks");
      alloc.cursor = f.at_block;
    }
    L.file_extents.push_back(alloc.fragmented(f.blocks, f.fragments));
  }
  const uint32_t next_allocation = alloc.cursor;

  // The file: sized, optionally dirty, then every structure written over it.
  const uint64_t end = o.offset + o.volume_bytes;
  if (!std::filesystem::exists(path)) write_file(path, {});
  if (std::filesystem::file_size(path) < end) make_sparse_file(path, end);
  if (o.dirty) fill_pattern(path, o.offset, o.volume_bytes, 0x3C);
  Writer w(path);

  // File contents, whole blocks (the tail behind the logical size too).
  for (size_t i = 0; i < o.files.size(); ++i) {
    const std::vector<uint8_t> data = hfsplus_file_content(i, uint64_t{o.files[i].blocks} * bs, bs);
    size_t at = 0;
    for (const auto& e : L.file_extents[i]) {
      const size_t n = size_t{e.count} * bs;
      w.write(L.block_offset(e.start),
              std::vector<uint8_t>(data.begin() + static_cast<ptrdiff_t>(at),
                                   data.begin() + static_cast<ptrdiff_t>(at + n)));
      at += n;
    }
  }

  // Allocation file: one bit per block, most significant bit first.
  {
    std::vector<uint8_t> bitmap(size_t{alloc_blocks} * bs, 0);
    for (uint32_t b = 0; b < L.total_blocks; ++b)
      if (L.used[b]) bitmap[b / 8] |= static_cast<uint8_t>(0x80 >> (b % 8));
    size_t at = 0;
    for (const auto& e : L.allocation_extents) {
      w.write(
          L.block_offset(e.start),
          std::vector<uint8_t>(bitmap.begin() + static_cast<ptrdiff_t>(at),
                               bitmap.begin() + static_cast<ptrdiff_t>(at + size_t{e.count} * bs)));
      at += size_t{e.count} * bs;
    }
  }

  // Extents overflow tree.
  {
    std::vector<OverflowRecord> recs;
    add_overflow(recs, 6, L.allocation_extents);
    for (size_t i = 0; i < o.files.size(); ++i)
      add_overflow(recs, kFirstUserId + static_cast<uint32_t>(i), L.file_extents[i]);
    std::sort(recs.begin(), recs.end(), [](const OverflowRecord& a, const OverflowRecord& b) {
      return std::tie(a.file_id, a.start_block) < std::tie(b.file_id, b.start_block);
    });
    auto node_offset = [&](uint32_t n) {
      return L.block_offset(L.extents_file.start) + uint64_t{n} * ens;
    };
    TreeHeader h;
    h.node_size = static_cast<uint16_t>(ens);
    h.max_key_length = 10;
    h.total_nodes = ext_total_nodes;
    h.used_nodes = ext_used_nodes;
    h.clump = ext_blocks * bs;
    h.attributes = 2;  // big keys
    if (leaves) {
      h.depth = index_nodes ? 2 : 1;
      h.root = index_nodes ? leaves + 1 : 1;
      h.leaf_records = static_cast<uint32_t>(recs.size());
      h.first_leaf = 1;
      h.last_leaf = leaves;
    }
    w.write(node_offset(0), make_header_node(h));
    L.extents_nodes.push_back({0, 1, node_offset(0)});
    std::vector<std::vector<uint8_t>> index_records;
    for (uint32_t l = 0; l < leaves; ++l) {
      std::vector<std::vector<uint8_t>> leaf;
      const uint32_t number = l + 1;
      uint64_t at = 14;
      for (uint32_t r = l * per_leaf; r < recs.size() && r < (l + 1) * per_leaf; ++r) {
        std::vector<uint8_t> rec = extent_key(recs[r].file_id, recs[r].start_block);
        rec.resize(76, 0);
        for (size_t e = 0; e < recs[r].extents.size(); ++e) {
          put32_be(rec, 12 + 8 * e, recs[r].extents[e].start);
          put32_be(rec, 16 + 8 * e, recs[r].extents[e].count);
        }
        if (recs[r].file_id == 6) L.overflow_records.push_back(node_offset(number) + at);
        at += rec.size();
        leaf.push_back(rec);
      }
      std::vector<uint8_t> ix =
          extent_key(recs[l * per_leaf].file_id, recs[l * per_leaf].start_block);
      ix.resize(16, 0);
      put32_be(ix, 12, number);
      index_records.push_back(ix);
      w.write(node_offset(number), make_node(ens, number < leaves ? number + 1 : 0,
                                             number > 1 ? number - 1 : 0, -1, 1, leaf));
      L.extents_nodes.push_back({number, -1, node_offset(number)});
    }
    if (index_nodes) {
      w.write(node_offset(leaves + 1), make_node(ens, 0, 0, 0, 2, index_records));
      L.extents_nodes.push_back({leaves + 1, 0, node_offset(leaves + 1)});
    }
  }

  // Catalog tree: one leaf holding the root folder, its thread, and each file with its thread.
  {
    struct Entry {
      uint32_t parent;
      std::string name;
      std::vector<uint8_t> body;
    };
    std::vector<Entry> entries;
    std::vector<uint8_t> folder(88, 0);
    put16_be(folder, 0, 1);
    put32_be(folder, 4, static_cast<uint32_t>(o.files.size()));  // valence
    put32_be(folder, 8, kRootFolderId);
    for (int d = 0; d < 5; ++d) put32_be(folder, 12 + 4 * d, kDate);
    put_bsd_info(folder, 32, 040755);
    entries.push_back({kRootParentId, o.volume_name, folder});
    entries.push_back({kRootFolderId, "", thread_record(3, kRootParentId, o.volume_name)});
    for (size_t i = 0; i < o.files.size(); ++i) {
      const uint32_t id = kFirstUserId + static_cast<uint32_t>(i);
      std::vector<uint8_t> file(248, 0);
      put16_be(file, 0, 2);
      put16_be(file, 2, 0x0002);  // thread exists
      put32_be(file, 8, id);
      for (int d = 0; d < 5; ++d) put32_be(file, 12 + 4 * d, kDate);
      put_bsd_info(file, 32, 0100644);
      put_fork(file, 88, hfsplus_file_bytes(o.files[i], bs), bs, L.file_extents[i]);
      entries.push_back({kRootFolderId, o.files[i].name, file});
      entries.push_back({id, "", thread_record(4, kRootFolderId, o.files[i].name)});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      return std::tie(a.parent, a.name) < std::tie(b.parent, b.name);
    });
    std::vector<std::vector<uint8_t>> leaf;
    for (const auto& e : entries) {
      std::vector<uint8_t> rec = catalog_key(e.parent, e.name);
      rec.insert(rec.end(), e.body.begin(), e.body.end());
      leaf.push_back(rec);
    }
    auto node_offset = [&](uint32_t n) {
      return L.block_offset(L.catalog_file.start) + uint64_t{n} * cns;
    };
    TreeHeader h;
    h.depth = 1;
    h.root = 1;
    h.leaf_records = static_cast<uint32_t>(leaf.size());
    h.first_leaf = h.last_leaf = 1;
    h.node_size = static_cast<uint16_t>(cns);
    h.max_key_length = 516;
    h.total_nodes = cat_total_nodes;
    h.used_nodes = 2;
    h.clump = cat_blocks * bs;
    h.compare_type = o.hfsx ? 0xBC : 0;  // HFSX: binary names
    h.attributes = 2 | 4;                // big keys, variable index keys
    w.write(node_offset(0), make_header_node(h));
    w.write(node_offset(1), make_node(cns, 0, 0, -1, 1, leaf));
    L.catalog_nodes = {{0, 1, node_offset(0)}, {1, -1, node_offset(1)}};
  }

  // Journal info block and journal header, as an Intel machine writes them.
  if (o.journal != HfsJournal::kNone) {
    std::vector<uint8_t> info(bs, 0);
    put32_be(info, 0, 1);  // journal in this file system
    const uint64_t jstart = L.journal_header - o.offset;
    put64_be(info, 36, jstart);
    put64_be(info, 44, 65536);
    w.write(L.block_offset(L.journal_info_block), info);
    std::vector<uint8_t> jh(512, 0);
    put32(jh, 0, 0x4A4E4C78);
    put32(jh, 4, 0x12345678);
    put64(jh, 8, 512);
    put64(jh, 16, o.journal == HfsJournal::kPending ? 512 + 4096 : 512);
    put64(jh, 24, 65536);
    put32(jh, 32, 4096);
    put32(jh, 40, 512);
    w.write(L.journal_header, jh);
  }

  // Volume header and its backup.
  {
    uint32_t free_blocks = 0;
    for (bool u : L.used) free_blocks += !u;
    std::vector<uint8_t> vh(512, 0);
    put16_be(vh, 0, o.hfsx ? 0x4858 : 0x482B);
    put16_be(vh, 2, o.hfsx ? 5 : 4);
    uint32_t attributes = o.clean_unmount ? 0x100 : 0;
    if (o.journal != HfsJournal::kNone) attributes |= 0x2000;
    put32_be(vh, 4, attributes);
    put32_be(vh, 8, o.journal != HfsJournal::kNone ? 0x4846534A : 0x31302E30);  // "HFSJ" / "10.0"
    put32_be(vh, 12, L.journal_info_block);
    put32_be(vh, 16, kDate);
    put32_be(vh, 20, kDate);
    put32_be(vh, 28, kDate);
    put32_be(vh, 32, static_cast<uint32_t>(o.files.size()));
    put32_be(vh, 36, 0);
    put32_be(vh, 40, bs);
    put32_be(vh, 44, L.total_blocks);
    put32_be(vh, 48, free_blocks);
    put32_be(vh, 52, next_allocation);
    put32_be(vh, 56, 65536);
    put32_be(vh, 60, 65536);
    put32_be(vh, 64, kFirstUserId + static_cast<uint32_t>(o.files.size()));
    put32_be(vh, 68, 1);
    put64_be(vh, 72, 1);  // MacRoman
    put_fork(vh, 112, uint64_t{alloc_blocks} * bs, bs, L.allocation_extents);
    put_fork(vh, 192, uint64_t{ext_blocks} * bs, ext_blocks * bs, {L.extents_file});
    put_fork(vh, 272, uint64_t{cat_blocks} * bs, cat_blocks * bs, {L.catalog_file});
    w.write(L.header_offset(), vh);
    if (o.header_copy_in_boot_blocks) w.write(o.offset + 512, vh);
    w.write(o.offset + o.volume_bytes - 1024, vh);
  }
  return L;
}

}  // namespace qx::test
