// The VHDX writer on files built to exact shapes: which blocks survive and in what state, where the
// log, regions, BAT and blocks land, what becomes of a child's own layer, and what a cancelled or
// refused trim leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "image/disk_image.hpp"
#include "support/test_support.hpp"
#include "support/explicit_map.hpp"
#include "support/trim_run.hpp"
#include "support/vhdx_builder.hpp"
#include "image/sector_bitmap.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kMiB = 1u << 20;
using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((seed * 131 + i * 7) | 1);
  return b;
}

bool qemu_reads_as(const std::string& image, const Bytes& disk, const test::TempDir& dir) {
  const auto check = test::run_command("qemu-img check -f vhdx " + test::shell_quote(image) + " 2>&1");
  EXPECT_EQ(check.status, 0) << check.output;
  const auto r = test::run_command("qemu-img convert -f vhdx -O raw " + test::shell_quote(image) + " " +
                                   test::shell_quote(dir.file("qemu.raw")) + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.output;
  return test::read_file(dir.file("qemu.raw")) == disk;
}

TEST(VhdxTrim, DynamicKeepsOnlyBlocksWithUsedData) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhdx");
  test::VhdxShape shape;
  shape.log_bytes = 2 * kMiB;
  shape.extra_flags = 1;  // "leave blocks allocated", as a fixed disk says
  test::VhdxBuilder b(shape);
  b.write(0, pattern(4096, 1));                      // 0: used data, kept
  b.write(1 * kMiB, Bytes(kMiB, 0));                 // 1: stored zeros
  b.write(2 * kMiB + 512, pattern(512, 2));          // 2: data the map calls unused
  b.set_state(3, 1);
  b.set_state(4, 3);
  b.write(5 * kMiB + 7 * 512, pattern(512, 3));      // 5: used data, kept
  b.write(5 * kMiB + 512 * 1024, pattern(512, 4));   //    and data the map calls unused
  b.write_to(path);
  const Bytes source = test::read_file(path);
  Bytes disk_before = test::vhdx_read_disk(path);
  Bytes used(bitmap_bytes(64 * 2048), 0xFF);
  test::ExplicitUsageMap map(64 * 2048);
  for (const auto& [first, count] : {std::pair<uint32_t, uint32_t>{2 * 2048, 2048}, {5 * 2048 + 128, 2048 - 128}}) {
    put_bits(used, first, count, false);
    map.set_free(first, count);
  }

  ASSERT_EQ(test::trim(path, nullptr, &map.map()).rc, OK);
  const Bytes out = test::read_file(path);
  EXPECT_EQ(test::read_file(path + "_DEL"), source);
  const test::VhdxFileView v = test::parse_vhdx(out);
  for (uint32_t block = 0; block < 64; ++block)
    EXPECT_EQ(v.state(block), block == 0 || block == 5 ? 6u : 2u) << block;
  // Head | log (2 MiB at 1 MiB) | metadata | BAT | the two blocks in disk order.
  EXPECT_TRUE(v.headers_ok[0] && v.headers_ok[1] && v.region_tables_ok[0] && v.region_tables_ok[1]);
  EXPECT_EQ(v.log_offset, kMiB);
  EXPECT_EQ(v.log_length, 2 * kMiB);
  EXPECT_TRUE(std::equal(out.begin() + kMiB, out.begin() + 3 * kMiB, source.begin() + test::VhdxBuilder::kLogOffset));
  EXPECT_EQ(v.metadata_offset, 3 * kMiB);
  EXPECT_EQ(v.bat_offset, 4 * kMiB);
  EXPECT_EQ(v.bat[0] & ~(kMiB - 1), 5 * kMiB);
  EXPECT_EQ(v.bat[5] & ~(kMiB - 1), 6 * kMiB);
  EXPECT_EQ(out.size(), 7 * kMiB);
  EXPECT_EQ(v.data_write_guid, b.shape().data_write_guid);
  EXPECT_EQ(v.file_flags, 0u) << "a trimmed disk is no longer fully allocated";
  // The file identifier and the rest of the metadata region are the source's.
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + (64u << 10), source.begin()));
  EXPECT_TRUE(std::equal(out.begin() + 3 * kMiB + (64u << 10) + 8, out.begin() + 4 * kMiB,
                         source.begin() + b.metadata_offset() + (64u << 10) + 8));

  // Used sectors read as before; a long run of unused ones in a kept block was never written.
  Bytes disk_after = test::vhdx_read_disk(path);
  EXPECT_TRUE(std::all_of(disk_after.begin() + 5 * kMiB + (64u << 10), disk_after.begin() + 6 * kMiB,
                          [](uint8_t v) { return v == 0; }));
  for (uint64_t s = 0; s < 64 * 2048; ++s)
    if (!test_bit(used, s)) std::memset(disk_before.data() + s * 512, 0, 512);
  EXPECT_EQ(disk_after, disk_before);
  if (test::have_tool("qemu-img")) {
    EXPECT_TRUE(qemu_reads_as(path, test::vhdx_read_disk(path), dir));
  }
}

// With the first region table damaged the second is used, and the trim writes the new table into
// both copies, so neither points at the old layout.
TEST(VhdxTrim, SecondRegionTableInUse) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhdx");
  test::VhdxBuilder b(test::VhdxShape{});
  b.write(3 * kMiB, pattern(kMiB, 4));
  Bytes f = b.bytes();
  f[(192u << 10) + 500] ^= 0x40;
  test::write_file(path, f);
  ASSERT_EQ(test::trim(path).rc, OK);
  const Bytes out = test::read_file(path);
  const test::VhdxFileView v = test::parse_vhdx(out);
  EXPECT_TRUE(v.region_tables_ok[0] && v.region_tables_ok[1]);
  EXPECT_TRUE(std::equal(out.begin() + (192u << 10), out.begin() + (256u << 10), out.begin() + (256u << 10)));
  EXPECT_EQ(v.bat_offset, 3 * kMiB);
  EXPECT_EQ(test::vhdx_read_disk(path), test::vhdx_read_disk(path + "_DEL"));
}

TEST(VhdxTrim, ProgressAndCancellationAtTheFinalCall) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhdx");
  test::VhdxBuilder b(test::VhdxShape{});
  b.write(63 * kMiB, pattern(512, 5));
  b.write_to(path);
  const Bytes source = test::read_file(path);
  test::ProgressLog log;
  ASSERT_EQ(test::trim(path, &log).rc, OK);
  ASSERT_EQ(log.calls.size(), 65u);
  EXPECT_EQ(log.calls.front(), std::make_pair(0u, 131072u));
  EXPECT_EQ(log.calls[1], std::make_pair(2048u, 131072u));
  EXPECT_EQ(log.calls.back(), std::make_pair(131072u, 131072u));

  test::write_file(path, source);
  fs::remove(path + "_DEL");
  test::ProgressLog cancel;
  cancel.cancel_at = 64;
  const test::Trimmed t = test::trim(path, &cancel);
  EXPECT_EQ(t.rc, CANCELLED);
  EXPECT_TRUE(t.temp_created);
  EXPECT_EQ(t.temp_size, 5 * kMiB) << "every block was written before the final call";
  EXPECT_EQ(test::read_file(path), source);
  EXPECT_FALSE(fs::exists(path + "_TEMP"));
}

// The decide pass tells where it stands now and then, so it can be stopped: over a large disk with
// one block at its end, a stop asked at its first report leaves nothing.
TEST(VhdxTrim, TheDecidePassCanBeCancelled) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhdx");
  test::VhdxShape shape;
  shape.disk_bytes = uint64_t{1} << 30;
  test::VhdxBuilder b(shape);
  b.write(shape.disk_bytes - kMiB, pattern(512, 7));
  b.write_to(path);
  const Bytes source = test::read_file(path);
  test::ProgressLog log;
  log.cancel_at = 1;
  EXPECT_EQ(test::trim(path, &log).rc, CANCELLED);
  ASSERT_EQ(log.calls.size(), 2u);
  EXPECT_EQ(log.calls[1].first, 0u) << "the stop came before any block";
  EXPECT_EQ(test::read_file(path), source);
  EXPECT_FALSE(fs::exists(path + "_TEMP"));
}

TEST(VhdxTrim, PendingLogIsNeverTrimmed) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhdx");
  test::VhdxShape shape;
  shape.log_guid = test::guid_of(0x42);
  test::VhdxBuilder b(shape);
  b.write(0, pattern(4096, 6));
  b.write_to(path);
  const Bytes source = test::read_file(path);
  const test::Trimmed t = test::trim(path);
  EXPECT_EQ(t.rc, ERR_UNSUPPORTED);
  EXPECT_FALSE(t.temp_created);
  EXPECT_EQ(test::read_file(path), source);
}

// A child and its parent, the child holding blocks in every state a layer can keep.
struct Layered {
  test::TempDir dir;
  std::string parent, child;
  Bytes parent_bytes, child_bytes;
};

std::unique_ptr<Layered> make_layered(uint32_t logical_sector) {
  auto c = std::make_unique<Layered>();
  test::VhdxShape p;
  p.logical_sector = logical_sector;
  p.data_write_guid = test::guid_of(0xA1);
  test::VhdxBuilder parent(p);
  for (uint32_t block = 0; block < 16; ++block) parent.write(block * kMiB, pattern(64 * 1024, static_cast<uint8_t>(block)));
  c->parent = c->dir.file("parent.vhdx");
  parent.write_to(c->parent);
  test::VhdxShape s = p;
  s.has_parent = true;
  s.relative_path = ".\\parent.vhdx";
  s.absolute_win32_path = "D:\\vms\\parent.vhdx";
  s.parent_linkage = p.data_write_guid;
  s.data_write_guid = test::guid_of(0xB1);
  test::VhdxBuilder child(s);
  const uint32_t ls = logical_sector;
  child.write(1 * kMiB + ls, pattern(ls, 0x71));                     // 1: partial, kept
  child.write(2 * kMiB, pattern(kMiB, 0x72));                        // 2: whole, kept
  child.write(3 * kMiB, Bytes(kMiB, 0));                             // 3: whole zeros: zero block
  child.write(4 * kMiB + 512 * 1024, Bytes(ls, 0));                  // 4: partial zeros over parent data: kept
  child.write(20 * kMiB, Bytes(2 * ls, 0));                          // 20: partial zeros over zeros: zero block
  child.set_state(5, 2);                                             // 5: zeros over the parent
  c->child = c->dir.file("child.vhdx");
  child.write_to(c->child);
  c->parent_bytes = test::read_file(c->parent);
  c->child_bytes = test::read_file(c->child);
  return c;
}

// libvhdi (as of 20210425) reads a differencing file's zero blocks from the parent, where the
// published format defines them as zeros: those blocks are left out of the comparison.
void expect_libvhdi_reads(const std::string& child, Bytes expected, const test::TempDir& dir) {
  auto libvhdi = test::libvhdi_read_disk(child, dir.path().string());
  if (!libvhdi) return;
  const test::VhdxFileView v = test::parse_vhdx(test::read_file(child));
  ASSERT_EQ(libvhdi->size(), expected.size());
  for (uint32_t block = 0; block < v.data_blocks; ++block) {
    if (v.state(block) != 2) continue;
    std::memset(libvhdi->data() + uint64_t{block} * v.block_bytes, 0, v.block_bytes);
    std::memset(expected.data() + uint64_t{block} * v.block_bytes, 0, v.block_bytes);
  }
  EXPECT_TRUE(*libvhdi == expected) << child;
}

TEST(VhdxTrim, DifferencingKeepsItsOwnLayer) {
  for (uint32_t ls : {512u, 4096u}) {
    SCOPED_TRACE(ls);
    const auto c = make_layered(ls);
    const Bytes disk_before = test::vhdx_read_disk(c->child);
    expect_libvhdi_reads(c->child, disk_before, c->dir);
    ASSERT_EQ(test::trim(c->child).rc, OK);
    EXPECT_EQ(test::read_file(c->parent), c->parent_bytes);
    EXPECT_EQ(test::vhdx_read_disk(c->child), disk_before);
    const Bytes out = test::read_file(c->child);
    EXPECT_LT(out.size(), c->child_bytes.size());
    const test::VhdxFileView v = test::parse_vhdx(out);
    const uint32_t expected[] = {0, 7, 6, 2, 7, 2, 0, 0};
    for (uint32_t block = 0; block < 8; ++block) EXPECT_EQ(v.state(block), expected[block]) << block;
    EXPECT_EQ(v.state(20), 2u);
    EXPECT_EQ(v.bat[v.chunk_ratio] & 7, 6u) << "the chunk's sector bitmap is kept";
    expect_libvhdi_reads(c->child, disk_before, c->dir);
    if (test::have_tool("vhdiinfo")) {
      const auto info = test::run_command("vhdiinfo " + test::shell_quote(c->child) + " 2>&1");
      EXPECT_EQ(info.status, 0) << info.output;
      EXPECT_NE(info.output.find("Differential"), std::string::npos) << info.output;
    }
  }
}

// Dropped child blocks hide the parent's data with zeros only where the map allows it.
TEST(VhdxTrim, DifferencingDropsOnlyUnusedOrZeroBlocks) {
  const auto c = make_layered(512);
  test::ExplicitUsageMap map(64 * 2048);
  map.set_free(1 * 2048, 2 * 2048);
  ASSERT_EQ(test::trim(c->child, nullptr, &map.map()).rc, OK);
  const test::VhdxFileView v = test::parse_vhdx(test::read_file(c->child));
  EXPECT_EQ(v.state(1), 2u);
  EXPECT_EQ(v.state(2), 2u);
  EXPECT_EQ(v.state(4), 7u);
  EXPECT_EQ(v.bat[v.chunk_ratio] & 7, 6u);
  EXPECT_EQ(test::read_file(c->parent), c->parent_bytes);
}

}  // namespace
}  // namespace qx
