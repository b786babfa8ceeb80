#include "support/ext_builder.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "image/crc32c.hpp"
#include "support/fs_support.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

uint32_t get_le32(const std::vector<uint8_t>& b, size_t off) {
  return uint32_t{b[off]} | uint32_t{b[off + 1]} << 8 | uint32_t{b[off + 2]} << 16 |
         uint32_t{b[off + 3]} << 24;
}
uint16_t get_le16(const std::vector<uint8_t>& b, size_t off) {
  return static_cast<uint16_t>(b[off] | b[off + 1] << 8);
}
void set_le32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
void set_le16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}

std::vector<uint8_t> read_range(const std::string& path, uint64_t offset, size_t n) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> data(n);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(n));
  if (static_cast<size_t>(in.gcount()) != n) data.clear();
  return data;
}

void write_range(const std::string& path, uint64_t offset, const std::vector<uint8_t>& data) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

}  // namespace

bool make_ext_volume(const std::string& path, const MkExtOptions& o, std::string* log) {
  const uint64_t size = o.blocks * o.block_size + o.tail_bytes;
  if (o.dirty_bytes >= size) {
    make_dirty_file(path, size);
  } else {
    write_file(path, {});
    make_sparse_file(path, size);
    fill_pattern(path, 0, o.dirty_bytes, 0x5C);
  }
  std::string cmd = "mke2fs -F -q -E " + shell_quote("nodiscard" + (o.extended.empty() ? "" : "," + o.extended)) +
                    " -t " + o.type + " -b " + std::to_string(o.block_size);
  if (o.blocks_per_group) cmd += " -g " + std::to_string(o.blocks_per_group);
  if (!o.features.empty()) cmd += " -O " + shell_quote(o.features);
  if (!o.tree.empty()) cmd += " -d " + shell_quote(o.tree);
  cmd += " " + shell_quote(path) + " " + std::to_string(o.blocks) + " 2>&1";
  const CommandResult r = run_command(cmd);
  if (log) *log = r.output;
  return r.status == 0;
}

bool debugfs_write(const std::string& path, const std::string& requests, std::string* log) {
  const std::string script = path + ".debugfs";
  std::ofstream(script) << requests;
  const CommandResult r =
      run_command("debugfs -w -f " + shell_quote(script) + " " + shell_quote(path) + " 2>&1");
  std::filesystem::remove(script);
  if (log) *log = r.output;
  return r.status == 0;
}

std::vector<char> dumpe2fs_block_states(const std::string& path) {
  const CommandResult r = run_command("dumpe2fs " + shell_quote(path) + " 2>/dev/null");
  const ExtSummary s = read_ext_summary(path);
  if (r.status != 0 || !s.valid) return {};
  std::vector<char> states(s.block_count, 'a');
  std::istringstream in(r.output);
  std::string line;
  const std::string key = "  Free blocks: ";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::istringstream ranges(line.substr(key.size()));
    std::string range;
    while (std::getline(ranges, range, ',')) {
      const size_t dash = range.find('-');
      const uint64_t first = std::stoull(range);
      const uint64_t last = dash == std::string::npos ? first : std::stoull(range.substr(dash + 1));
      for (uint64_t b = first; b <= last && b < states.size(); ++b) states[b] = 'f';
    }
  }
  return states;
}

bool ext_volume_clean(const std::string& path, std::string* log) {
  const CommandResult r = run_command("e2fsck -fn " + shell_quote(path) + " 2>&1");
  if (log) *log = r.output;
  return r.status == 0;
}

uint32_t ExtSummary::blocks_in_group(uint32_t g) const {
  const uint64_t start = uint64_t{g} * blocks_per_group;
  return static_cast<uint32_t>(
      std::min<uint64_t>(blocks_per_group, block_count - first_data_block - start));
}

ExtSummary read_ext_summary(const std::string& path) {
  ExtSummary s;
  const std::vector<uint8_t> sb = read_range(path, ExtOffsets::kSuperblock, 1024);
  if (sb.empty() || get_le16(sb, 0x38) != 0xEF53 || get_le32(sb, 0x18) > 6) return s;
  s.block_count = get_le32(sb, 0x04);
  s.first_data_block = get_le32(sb, 0x14);
  s.block_size = 1024u << get_le32(sb, 0x18);
  s.blocks_per_group = get_le32(sb, 0x20);
  s.feature_incompat = get_le32(sb, 0x60);
  s.feature_ro_compat = get_le32(sb, 0x64);
  if (s.feature_incompat & 0x80) s.descriptor_size = get_le16(sb, 0xFE);
  if (s.descriptor_size < 32) return s;
  if (!s.blocks_per_group || s.block_count <= s.first_data_block) return s;
  const uint32_t groups =
      (s.block_count - s.first_data_block + s.blocks_per_group - 1) / s.blocks_per_group;
  const size_t d = s.descriptor_size;
  const std::vector<uint8_t> table = read_range(path, s.descriptor_offset(0), groups * d);
  if (table.empty()) return s;
  for (uint32_t g = 0; g < groups; ++g)
    s.groups.push_back({get_le32(table, g * d), get_le16(table, g * d + 12),
                        get_le16(table, g * d + 18)});
  s.valid = true;
  return s;
}

uint32_t ExtLayout::group_count() const {
  return (block_count - first_data_block() + group_size() - 1) / group_size();
}

uint32_t ext_metadata_end(const ExtLayout& l) {
  const uint32_t table_blocks = (l.group_count() * 32 + l.block_size - 1) / l.block_size;
  return l.first_data_block() + 1 + table_blocks + l.group_count();
}

void build_ext_volume(const std::string& path, const ExtLayout& l, uint64_t volume_bytes) {
  write_file(path, {});
  make_sparse_file(path, volume_bytes);
  const uint32_t bs = l.block_size;
  const uint32_t fdb = l.first_data_block();
  const uint32_t bpg = l.group_size();
  const uint32_t groups = l.group_count();
  const uint32_t table_blocks = (groups * 32 + bs - 1) / bs;
  const uint32_t meta_end = ext_metadata_end(l);
  uint32_t log = 0;
  while ((1024u << log) < bs) ++log;

  std::vector<uint8_t> sb(1024, 0);
  set_le32(sb, 0x00, 16);              // inodes
  set_le32(sb, 0x04, l.block_count);
  set_le32(sb, 0x14, fdb);
  set_le32(sb, 0x18, log);
  set_le32(sb, 0x1C, log);
  set_le32(sb, 0x20, bpg);
  set_le32(sb, 0x24, bpg);
  set_le32(sb, 0x28, 8);               // inodes per group: a table of one 1024-byte block
  set_le16(sb, 0x38, 0xEF53);
  set_le16(sb, 0x3A, l.state);
  set_le32(sb, 0x4C, 1);               // dynamic revision
  set_le16(sb, 0x58, 128);             // inode size
  set_le32(sb, 0x60, l.feature_incompat);
  set_le32(sb, 0x64, l.feature_ro_compat);
  write_range(path, 1024, sb);

  std::vector<uint8_t> table(size_t{table_blocks} * bs, 0);
  for (uint32_t g = 0; g < groups; ++g) {
    std::vector<uint8_t> bitmap(bs, 0);
    const uint32_t first_block = fdb + g * bpg;
    const uint32_t n = std::min(bpg, l.block_count - first_block);
    uint32_t free = 0;
    for (uint32_t j = 0; j < 8 * bs; ++j) {
      bool on;
      if (j >= n) {
        on = l.padding_used;
      } else {
        const uint32_t b = first_block + j;
        on = b < meta_end || (l.used && l.used(b));
        if (l.force_free && l.force_free(b)) on = false;
        free += !on;
      }
      if (on) bitmap[j / 8] |= static_cast<uint8_t>(1u << (j % 8));
    }
    const uint32_t bitmap_block = fdb + 1 + table_blocks + g;
    write_range(path, uint64_t{bitmap_block} * bs, bitmap);
    set_le32(table, g * 32 + 0, bitmap_block);
    // The inode bitmap and table share the block: readers only ask that they lie in the volume.
    set_le32(table, g * 32 + 4, bitmap_block);
    set_le32(table, g * 32 + 8, bitmap_block);
    set_le16(table, g * 32 + 12, static_cast<uint16_t>(free));
    set_le16(table, g * 32 + 18, l.group_flags);
  }
  write_range(path, uint64_t{fdb + 1} * bs, table);
}

void reseal_ext_superblock(const std::string& path) {
  const std::vector<uint8_t> sb = read_range(path, ExtOffsets::kSuperblock, 1024);
  const uint32_t crc = crc32c_update(~0u, std::span(sb).first(0x3FC));
  patch_le32(path, ExtOffsets::kChecksum, crc);
}

void patch_le16(const std::string& path, uint64_t offset, uint16_t value) {
  std::vector<uint8_t> b(2);
  set_le16(b, 0, value);
  write_range(path, offset, b);
}

void patch_le32(const std::string& path, uint64_t offset, uint32_t value) {
  std::vector<uint8_t> b(4);
  set_le32(b, 0, value);
  write_range(path, offset, b);
}

uint8_t read_byte(const std::string& path, uint64_t offset) {
  const std::vector<uint8_t> b = read_range(path, offset, 1);
  return b.empty() ? 0 : b[0];
}

void write_byte(const std::string& path, uint64_t offset, uint8_t value) {
  write_range(path, offset, {value});
}

}  // namespace qx::test
