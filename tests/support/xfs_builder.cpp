#include "support/xfs_builder.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "image/byte_order.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

constexpr uint32_t kNull = 0xFFFFFFFF;
constexpr uint32_t kLogBlock = 512;

uint32_t ceil_div(uint64_t a, uint64_t b) { return static_cast<uint32_t>((a + b - 1) / b); }

struct GroupContext {
  XfsImage& image;
  const XfsSpec& spec;
  uint32_t group;
  uint32_t next_block;  // next free block of the tree area
};

// Lays out one tree over `records` (in tree order) and writes its blocks.
XfsTree write_tree(GroupContext& ctx, const std::vector<XfsFreeExtent>& records, uint32_t magic) {
  const uint32_t bs = ctx.spec.block_size;
  const uint32_t leaf_max = (bs - 16) / 8, node_max = (bs - 16) / 12;
  const uint32_t leaf_cap = ctx.spec.leaf_records ? ctx.spec.leaf_records : leaf_max;
  const uint32_t node_cap = ctx.spec.node_records ? ctx.spec.node_records : node_max;
  if (leaf_cap > leaf_max || node_cap > node_max || node_cap < 2) throw std::logic_error("capacity");

  std::vector<uint32_t> widths{std::max<uint32_t>(1, ceil_div(records.size(), leaf_cap))};
  while (widths.back() > 1) widths.push_back(ceil_div(widths.back(), node_cap));
  uint32_t total = 0;
  for (uint32_t w : widths) total += w;

  XfsTree tree;
  tree.levels = static_cast<uint32_t>(widths.size());
  uint32_t ordinal = 0;
  for (uint32_t w : widths) {
    tree.blocks.emplace_back();
    for (uint32_t i = 0; i < w; ++i, ++ordinal)
      tree.blocks.back().push_back(ctx.next_block + (ctx.spec.tree_blocks_descending ? total - 1 - ordinal : ordinal));
  }
  ctx.next_block += total;
  tree.root = tree.blocks.back().front();

  // First record of every block per level, for the keys of the level above.
  std::vector<XfsFreeExtent> firsts;
  for (uint32_t level = 0; level < tree.levels; ++level) {
    const std::vector<uint32_t>& row = tree.blocks[level];
    const uint32_t cap = level == 0 ? leaf_cap : node_cap;
    const size_t items = level == 0 ? records.size() : tree.blocks[level - 1].size();
    std::vector<XfsFreeExtent> next_firsts;
    for (uint32_t i = 0; i < row.size(); ++i) {
      const uint64_t at = ctx.image.block_offset(ctx.group, row[i]);
      const size_t from = size_t{i} * cap, to = std::min(items, from + cap);
      ctx.image.put32(at, magic);
      ctx.image.put16(at + 4, static_cast<uint16_t>(level));
      ctx.image.put16(at + 6, static_cast<uint16_t>(to - from));
      ctx.image.put32(at + 8, i ? row[i - 1] : kNull);
      ctx.image.put32(at + 12, i + 1 < row.size() ? row[i + 1] : kNull);
      for (size_t k = from; k < to; ++k) {
        const XfsFreeExtent e = level == 0 ? records[k] : firsts[k];
        const uint32_t slot = static_cast<uint32_t>(k - from);
        ctx.image.put32(ctx.image.record_offset(at, slot), e.start);
        ctx.image.put32(ctx.image.record_offset(at, slot) + 4, e.count);
        if (level) ctx.image.put32(ctx.image.pointer_offset(at, slot), tree.blocks[level - 1][k]);
      }
      next_firsts.push_back(from < to ? (level == 0 ? records[from] : firsts[from]) : XfsFreeExtent{0, 0});
    }
    firsts = std::move(next_firsts);
  }
  return tree;
}

void write_log(XfsImage& image, const XfsSpec& spec) {
  const uint64_t n = uint64_t{spec.log_blocks} * (spec.block_size / kLogBlock);
  const uint32_t c = spec.log_cycle;
  if (c == 0) return;
  if (spec.log_head < 1 || spec.log_head > n || n < 2) throw std::logic_error("log head");
  const uint64_t head = spec.log_head;
  const uint64_t header = (head + n - 2) % n, data = (head + n - 1) % n;
  const auto cycle_of = [&](uint64_t p) { return p < head ? c : c - 1; };
  for (uint64_t p = 0; p < n; ++p)
    if (cycle_of(p)) image.put32(image.log_offset + p * kLogBlock, cycle_of(p));
  const uint64_t h = image.log_offset + header * kLogBlock;
  image.put32(h, 0xFEEDBABE);
  image.put32(h + 4, cycle_of(header));
  image.put32(h + 8, 2);
  image.put32(h + 12, kLogBlock);
  image.put64(h + 16, uint64_t{cycle_of(header)} << 32 | header);
  image.put64(h + 24, uint64_t{cycle_of(header)} << 32 | header);
  image.put32(h + 36, kNull);
  image.put32(h + 40, 1);
  image.put32(h + 44, 0xB0C0D0D0);  // the word the data block's cycle stamp replaced
  image.put32(h + 300, 1);
  image.put32(h + 320, 32768);
  const uint64_t d = image.log_offset + data * kLogBlock;
  image.put32(d, cycle_of(data));
  image.put32(d + 4, 8);
  image.bytes.at(d + 8) = 0xAA;
  image.bytes.at(d + 9) = spec.log_unmounted ? 0x20 : 0x01;
}

}  // namespace

uint32_t XfsImage::get32(uint64_t offset) const { return be32(&bytes.at(offset + 3) - 3); }
void XfsImage::put16(uint64_t offset, uint16_t value) { store_be<uint16_t>(&bytes.at(offset + 1) - 1, value); }
void XfsImage::put32(uint64_t offset, uint32_t value) { store_be<uint32_t>(&bytes.at(offset + 3) - 3, value); }
void XfsImage::put64(uint64_t offset, uint64_t value) { store_be<uint64_t>(&bytes.at(offset + 7) - 7, value); }
void XfsImage::save(const std::string& path) const { write_file(path, bytes); }

XfsImage build_xfs_image(const XfsSpec& spec) {
  const uint32_t groups = static_cast<uint32_t>(spec.groups.size());
  if (groups == 0) throw std::logic_error("no groups");
  const uint64_t data_blocks = spec.data_blocks ? spec.data_blocks : uint64_t{groups} * spec.ag_blocks;
  XfsImage image;
  image.block_size = spec.block_size;
  image.sector_size = spec.sector_size;
  image.ag_blocks = spec.ag_blocks;
  image.bytes.assign(data_blocks * spec.block_size, 0);
  image.log_offset = image.block_offset(spec.log_group, spec.log_block);

  const uint8_t ag_block_log = static_cast<uint8_t>(std::bit_width(spec.ag_blocks - 1));
  const uint32_t header_blocks = 3 * spec.sector_size / spec.block_size + 1;
  for (uint32_t g = 0; g < groups; ++g) {
    const uint64_t sb = image.block_offset(g, 0);
    image.put32(sb, 0x58465342);
    image.put32(sb + 4, spec.block_size);
    image.put64(sb + 8, data_blocks);
    image.put64(sb + 48, uint64_t{spec.log_group} << ag_block_log | spec.log_block);
    image.put32(sb + 84, spec.ag_blocks);
    image.put32(sb + 88, groups);
    image.put32(sb + 96, spec.log_blocks);
    image.put16(sb + 100, spec.version);
    image.put16(sb + 102, static_cast<uint16_t>(spec.sector_size));
    image.bytes.at(sb + 120) = static_cast<uint8_t>(std::countr_zero(spec.block_size));
    image.bytes.at(sb + 121) = static_cast<uint8_t>(std::countr_zero(spec.sector_size));
    image.bytes.at(sb + 124) = ag_block_log;
    image.put32(sb + 200, spec.features2);
    image.put32(sb + 204, spec.features2);

    const XfsGroupSpec& gs = spec.groups[g];
    GroupContext ctx{image, spec, g, spec.tree_area ? spec.tree_area : header_blocks};
    XfsGroupLayout layout;
    layout.by_block = write_tree(ctx, gs.free, 0x41425442);
    std::vector<XfsFreeExtent> by_size = gs.free;
    std::sort(by_size.begin(), by_size.end(), [](XfsFreeExtent a, XfsFreeExtent b) {
      return a.count != b.count ? a.count < b.count : a.start < b.start;
    });
    layout.by_size = write_tree(ctx, by_size, 0x41425443);

    const uint64_t length = std::min<uint64_t>(spec.ag_blocks, data_blocks - uint64_t{g} * spec.ag_blocks);
    uint64_t free_total = 0;
    uint32_t longest = 0;
    for (const XfsFreeExtent& e : gs.free) {
      free_total += e.count;
      longest = std::max(longest, e.count);
    }
    const uint32_t slots = spec.sector_size / 4;
    const uint32_t listed = static_cast<uint32_t>(gs.free_list.size());
    const uint64_t agf = image.agf_offset(g);
    image.put32(agf, 0x58414746);
    image.put32(agf + 4, 1);
    image.put32(agf + 8, g);
    image.put32(agf + 12, static_cast<uint32_t>(length));
    image.put32(agf + 16, layout.by_block.root);
    image.put32(agf + 20, layout.by_size.root);
    image.put32(agf + 28, layout.by_block.levels);
    image.put32(agf + 32, layout.by_size.levels);
    image.put32(agf + 40, 0);
    image.put32(agf + 44, listed ? listed - 1 : slots - 1);
    image.put32(agf + 48, listed);
    image.put32(agf + 52, static_cast<uint32_t>(free_total));
    image.put32(agf + 56, longest);
    const uint64_t agfl = image.free_list_offset(g);
    for (uint32_t i = 0; i < slots; ++i) image.put32(agfl + 4 * i, i < listed ? gs.free_list[i] : kNull);
    image.groups.push_back(std::move(layout));
  }
  write_log(image, spec);
  return image;
}

}  // namespace qx::test
