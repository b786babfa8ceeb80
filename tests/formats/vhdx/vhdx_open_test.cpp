// The VHDX reader on files built to exact shapes: what it refuses, which header and region table
// it takes, where it finds blocks and bitmaps, and what it reads through a parent.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "formats/format_ids.hpp"
#include "image/crc32c.hpp"
#include "image/disk_image.hpp"
#include "support/file_patch.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vhdx_builder.hpp"

namespace qx {
namespace {

constexpr uint64_t kMiB = 1u << 20;
using Bytes = std::vector<uint8_t>;

using test::put32;
using test::put64;

// Offset in the file of the value of metadata item `n` as the builder lays them out (file
// parameters, size, id, logical sector, physical sector).
uint64_t item_value(const test::VhdxBuilder& b, int n) {
  const uint64_t offsets[] = {64u << 10, (64u << 10) + 8, (64u << 10) + 16, (64u << 10) + 32, (64u << 10) + 40};
  return b.metadata_offset() + offsets[n];
}

ErrorCode open_bytes(const test::TempDir& dir, const Bytes& bytes, DiskImage& image,
                     const std::string& name = "disk.vhdx") {
  test::write_file(dir.file(name), bytes);
  return open_image_as(image, dir.file(name), true, FORMAT_VHDX);
}

test::VhdxBuilder small_disk() {
  test::VhdxBuilder b(test::VhdxShape{});
  b.fill(0, 4096, 0x11);
  b.fill(5 * kMiB + 512, 1024, 0x22);
  return b;
}

TEST(Vhdx, Crc32cIsCastagnoli) {
  const std::string check = "123456789";
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(check.data()), check.size());
  EXPECT_EQ(crc32c(bytes), 0xE3069283u);
  EXPECT_EQ(~crc32c_update(crc32c_update(~0u, bytes.first(4)), bytes.subspan(4)), 0xE3069283u);
  EXPECT_EQ(crc32c({}), 0u);
}

// Damage done to a good file and what open must answer.
TEST(VhdxOpen, RefusesWhatItCannotVouchFor) {
  const test::VhdxBuilder base = small_disk();
  const uint64_t meta = base.metadata_offset();
  const uint64_t bat = base.bat_offset();
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    ErrorCode expected;
  };
  const Case cases[] = {
      {"untouched", [](Bytes&) {}, OK},
      {"1 MiB - 1 bytes", [](Bytes& f) { f.resize(kMiB - 1); }, ERR_BAD_FORMAT},
      {"bad CRC in the second header", [](Bytes& f) { f[(128u << 10) + 200] ^= 1; }, ERR_BAD_FORMAT},
      {"version 2",
       [](Bytes& f) {
         f[(128u << 10) + 66] = 2;
         test::vhdx_reseal_header(f, 128u << 10);
       },
       ERR_BAD_FORMAT},
      {"log length not whole MiB",
       [](Bytes& f) {
         put32(f, (128u << 10) + 68, (1u << 20) + 4096);
         test::vhdx_reseal_header(f, 128u << 10);
       },
       ERR_BAD_FORMAT},
      {"both region tables bad",
       [](Bytes& f) {
         f[(192u << 10) + 100] ^= 1;
         f[(256u << 10) + 100] ^= 1;
       },
       ERR_BAD_FORMAT},
      {"first region table bad", [](Bytes& f) { f[(192u << 10) + 100] ^= 1; }, OK},
      {"region length not whole MiB",
       [](Bytes& f) {
         for (uint64_t t : {192u << 10, 256u << 10}) {
           put32(f, t + 72, (1u << 20) - 512);
           test::vhdx_reseal_region_table(f, t);
         }
       },
       ERR_BAD_FORMAT},
      {"unknown required region",
       [](Bytes& f) {
         for (uint64_t t : {192u << 10, 256u << 10}) {
           f[t + 8] = 3;
           std::memset(f.data() + t + 80, 0x42, 16);
           put64(f, t + 96, 1u << 20);
           put32(f, t + 104, 1u << 20);
           put32(f, t + 108, 1);
           test::vhdx_reseal_region_table(f, t);
         }
       },
       ERR_BAD_FORMAT},
      // 4 GiB of BAT claimed by a 7 MiB file: refused before anything is allocated.
      {"BAT longer than the file",
       [](Bytes& f) {
         for (uint64_t t : {192u << 10, 256u << 10}) {
           put32(f, t + 40, 0xFFF00000u);
           test::vhdx_reseal_region_table(f, t);
         }
       },
       ERR_BAD_FORMAT},
      {"disk larger than its BAT", [&](Bytes& f) { put64(f, item_value(base, 1), uint64_t{1} << 40); },
       ERR_BAD_FORMAT},
      {"item ending at the region's end",
       [&](Bytes& f) {
         std::memcpy(f.data() + meta + kMiB - 8, f.data() + item_value(base, 0), 8);
         put32(f, meta + 32 + 16, static_cast<uint32_t>(kMiB - 8));
       },
       ERR_BAD_FORMAT},
      {"item ending just before the region's end",
       [&](Bytes& f) {
         std::memcpy(f.data() + meta + kMiB - 16, f.data() + item_value(base, 0), 8);
         put32(f, meta + 32 + 16, static_cast<uint32_t>(kMiB - 16));
       },
       OK},
      {"item below 64 KiB", [&](Bytes& f) { put32(f, meta + 32 + 16, 4096); }, ERR_BAD_FORMAT},
      {"item of the wrong length", [&](Bytes& f) { put32(f, meta + 32 + 20, 16); }, ERR_BAD_FORMAT},
      {"item twice", [&](Bytes& f) { std::memcpy(f.data() + meta + 64, f.data() + meta + 32, 16); },
       ERR_BAD_FORMAT},
      {"unknown optional item",
       [&](Bytes& f) {
         f[meta + 96] ^= 0xFF;
         put32(f, meta + 96 + 24, 0);
       },
       OK},
      {"unknown required item",
       [&](Bytes& f) {
         f[meta + 96] ^= 0xFF;
         put32(f, meta + 96 + 24, 4);
       },
       ERR_BAD_FORMAT},
      {"block size 3 MiB", [&](Bytes& f) { put32(f, item_value(base, 0), 3u << 20); }, ERR_BAD_FORMAT},
      {"logical sector size 1024", [&](Bytes& f) { put32(f, item_value(base, 3), 1024); }, ERR_BAD_FORMAT},
      {"disk of 64 TiB + 512", [&](Bytes& f) { put64(f, item_value(base, 1), (uint64_t{1} << 46) + 512); },
       ERR_BAD_FORMAT},
      {"disk of 64 TiB, beyond 32-bit sectors", [&](Bytes& f) { put64(f, item_value(base, 1), uint64_t{1} << 46); },
       ERR_UNSUPPORTED},
      {"size not whole logical sectors", [&](Bytes& f) { put64(f, item_value(base, 1), (64u << 20) - 100); },
       ERR_BAD_FORMAT},
      {"block state 4", [&](Bytes& f) { f[bat] = 4; }, ERR_BAD_FORMAT},
      {"partially present without a parent", [&](Bytes& f) { f[bat] = (f[bat] & ~7) | 7; }, ERR_BAD_FORMAT},
      {"block inside the head", [&](Bytes& f) { put64(f, bat, 6); }, ERR_BAD_FORMAT},
      {"has parent but names none", [&](Bytes& f) { f[item_value(base, 0) + 4] |= 2; }, ERR_BAD_FORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    Bytes f = base.bytes();
    c.damage(f);
    DiskImage image;
    EXPECT_EQ(open_bytes(dir, f, image), c.expected);
  }
}

TEST(VhdxOpen, BitmapEntryOutsideItsStatesIsRefused) {
  // 64 MiB with 1 MiB blocks has one chunk and no bitmap entry at all; 4097 blocks need one.
  test::VhdxShape shape;
  shape.disk_bytes = 4097 * kMiB;
  const test::VhdxBuilder b(shape);
  test::TempDir dir;
  Bytes f = b.bytes();
  put64(f, b.bat_offset() + 8 * 4096, 2);
  DiskImage image;
  EXPECT_EQ(open_bytes(dir, f, image), ERR_BAD_FORMAT);
}

// The header with the higher sequence number is current; on equal numbers the one at 128 KiB.
TEST(VhdxOpen, CurrentHeader) {
  struct Case {
    uint64_t first, second;
    int current;
  };
  for (const Case& c : {Case{1, 2, 1}, Case{9, 2, 0}, Case{5, 5, 1}}) {
    test::VhdxShape shape;
    shape.sequence[0] = c.first;
    shape.sequence[1] = c.second;
    Bytes f = test::VhdxBuilder(shape).bytes();
    const test::VhdxGuid ids[2] = {test::guid_of(1), test::guid_of(2)};
    for (int i = 0; i < 2; ++i) {
      std::memcpy(f.data() + (64u << 10) * (i + 1) + 32, ids[i].data(), 16);
      test::vhdx_reseal_header(f, (64u << 10) * (i + 1));
    }
    test::TempDir dir;
    DiskImage image;
    ASSERT_EQ(open_bytes(dir, f, image), OK);
    const ImageIdentity id = image_identity(image);
    EXPECT_EQ(id.kind, ImageIdentity::VHDX_DATA_WRITE_GUID);
    EXPECT_EQ(std::memcmp(id.bytes, ids[c.current].data(), 16), 0) << c.first << " " << c.second;
  }
}

TEST(VhdxOpen, Geometry) {
  struct Case {
    uint64_t bytes;
    uint32_t heads, sectors_per_track;
  };
  for (const Case& c : {Case{64 * kMiB, 8, 17}, Case{1024 * kMiB, 16, 63}, Case{40ull << 30, 16, 255},
                        Case{200 * kMiB, 16, 31}}) {
    test::VhdxShape shape;
    shape.disk_bytes = c.bytes;
    shape.block_bytes = 32u << 20;
    test::TempDir dir;
    DiskImage image;
    ASSERT_EQ(open_bytes(dir, test::VhdxBuilder(shape).bytes(), image), OK);
    const DiskGeometry g = get_geometry(image);
    EXPECT_EQ(g.total_sectors, c.bytes / 512);
    EXPECT_EQ(g.heads, c.heads) << c.bytes;
    EXPECT_EQ(g.sectors_per_track, c.sectors_per_track) << c.bytes;
    EXPECT_EQ(g.bytes_per_sector, 512u);
  }
}

// Reads the whole disk through the driver.
Bytes read_disk(DiskImage& image) {
  Bytes disk(get_geometry(image).size_bytes());
  EXPECT_EQ(read_bytes(image, 0, disk), OK);
  return disk;
}

// 32 MiB blocks of 512-byte sectors make chunks of 128 blocks: block 128 sits at entry 129, and
// entry 128 is the first chunk's sector bitmap.
TEST(VhdxRead, ChunkRatio128) {
  test::VhdxShape shape;
  shape.disk_bytes = 129ull * (32u << 20);
  shape.block_bytes = 32u << 20;
  test::VhdxBuilder b(shape);
  ASSERT_EQ(b.chunk_ratio(), 128u);
  b.fill(128ull * (32u << 20) + 4096, 512, 0x5D);
  test::TempDir dir;
  const Bytes f = b.bytes();
  const test::VhdxFileView v = test::parse_vhdx(f);
  ASSERT_EQ(v.bat.size(), 130u);
  EXPECT_EQ(v.bat[128], 0u);
  EXPECT_EQ(v.bat[129] & 7, 6u);
  DiskImage image;
  ASSERT_EQ(open_bytes(dir, f, image), OK);
  Bytes sector(512);
  ASSERT_EQ(read_bytes(image, 128ull * (32u << 20) + 4096, sector), OK);
  EXPECT_EQ(sector, Bytes(512, 0x5D));
  close_image(image);
  // The trim keeps the interleaving: the block lands behind the BAT, entry 128 stays empty.
  ASSERT_EQ(test::trim(dir.file("disk.vhdx")).rc, OK);
  const test::VhdxFileView out = test::parse_vhdx(test::read_file(dir.file("disk.vhdx")));
  EXPECT_EQ(out.bat[128], 0u);
  EXPECT_EQ(out.bat[129], out.bat_offset + kMiB + 6);
  EXPECT_EQ(out.bat[0], 2u);
}

// A parent and a child over it, the child holding whole and partial blocks.
struct Chain {
  test::TempDir dir;
  std::string parent, child;
};

std::unique_ptr<Chain> make_chain(uint32_t logical_sector, bool odd_metadata) {
  auto c = std::make_unique<Chain>();
  test::VhdxShape p;
  p.logical_sector = logical_sector;
  p.data_write_guid = test::guid_of(0xA0);
  test::VhdxBuilder parent(p);
  for (uint64_t at = 0; at < p.disk_bytes; at += 3 * kMiB + 4096) parent.fill(at, 8192, static_cast<uint8_t>(at >> 20 | 1));
  c->parent = c->dir.file("parent.vhdx");
  parent.write_to(c->parent);
  test::VhdxShape s = p;
  s.has_parent = true;
  s.odd_metadata = odd_metadata;
  s.relative_path = ".\\parent.vhdx";
  s.absolute_win32_path = "C:\\nowhere\\parent.vhdx";
  s.parent_linkage = p.data_write_guid;
  s.data_write_guid = test::guid_of(0xB0);
  test::VhdxBuilder child(s);
  child.fill(0, logical_sector * 2, 0xC1);        // partial block over parent data
  child.fill(2 * kMiB, kMiB, 0xC2);                // a whole block
  child.fill(6 * kMiB + 3 * logical_sector, logical_sector, 0xC3);
  child.set_state(9, 2);                            // zeros over the parent
  c->child = c->dir.file("child.vhdx");
  child.write_to(c->child);
  return c;
}

TEST(VhdxRead, DifferencingThroughItsParent) {
  for (uint32_t ls : {512u, 4096u}) {
    for (bool odd : {false, true}) {
      SCOPED_TRACE(std::to_string(ls) + (odd ? " odd metadata" : ""));
      const auto c = make_chain(ls, odd);
      DiskImage image;
      ASSERT_EQ(open_image(image, c->child, true), OK);
      EXPECT_EQ(image.format, FORMAT_VHDX);
      EXPECT_EQ(parent_chain_status(image), OK);
      EXPECT_TRUE(needs_layer_local_trim(image));
      const Bytes disk = read_disk(image);
      EXPECT_EQ(disk, test::vhdx_read_disk(c->child));
      EXPECT_EQ(disk[ls * 2], test::vhdx_read_disk(c->parent)[ls * 2]);  // from the parent
      EXPECT_EQ(disk[6 * kMiB + 3 * ls], 0xC3);
      EXPECT_NE(test::vhdx_read_disk(c->parent)[9 * kMiB + 12288], 0);
      EXPECT_EQ(disk[9 * kMiB + 12288], 0);
      // A 512-byte piece inside a 4096-byte logical sector.
      Bytes piece(512);
      ASSERT_EQ(read_bytes(image, 6 * kMiB + 4 * ls - 512, piece), OK);
      EXPECT_EQ(piece, Bytes(512, 0xC3));
    }
  }
}

// What the child recorded of its parent must be the parent's data write GUID: parent_linkage, or
// parent_linkage2 where present.
TEST(VhdxChain, LinkageMustMatchTheParent) {
  struct Case {
    const char* name;
    std::optional<test::VhdxGuid> linkage, linkage2;
    ErrorCode status;
  };
  const test::VhdxGuid parent_id = test::guid_of(0xA0), other = test::guid_of(0xEE);
  const Case cases[] = {{"linkage matches", parent_id, {}, OK},
                        {"linkage2 matches", other, parent_id, OK},
                        {"neither matches", other, other, ERR_BAD_FORMAT},
                        {"no linkage at all", {}, {}, ERR_BAD_FORMAT}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    test::TempDir dir;
    test::VhdxShape p;
    p.data_write_guid = parent_id;
    test::VhdxBuilder(p).write_to(dir.file("base.vhdx"));
    test::VhdxShape s = p;
    s.has_parent = true;
    s.relative_path = "base.vhdx";
    s.parent_linkage = k.linkage;
    s.parent_linkage2 = k.linkage2;
    test::VhdxBuilder(s).write_to(dir.file("child.vhdx"));
    DiskImage image;
    ASSERT_EQ(open_image(image, dir.file("child.vhdx"), true), OK);
    EXPECT_EQ(parent_chain_status(image), k.status);
  }
}

TEST(VhdxChain, ParentLookup) {
  struct Case {
    const char* name;
    std::string relative, absolute;
    ErrorCode open;
  };
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("sub"));
  test::VhdxShape p;
  test::VhdxBuilder(p).write_to(dir.file("base.vhdx"));
  const Case cases[] = {{"relative, up one folder", "..\\base.vhdx", "", OK},
                        {"absolute when relative is missing", "..\\gone.vhdx", dir.file("base.vhdx"), OK},
                        {"neither exists", "gone.vhdx", "C:\\gone.vhdx", ERR_BAD_FORMAT},
                        {"itself", "child.vhdx", "", ERR_BAD_FORMAT}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    test::VhdxShape s = p;
    s.has_parent = true;
    s.relative_path = k.relative;
    s.absolute_win32_path = k.absolute;
    s.parent_linkage = p.data_write_guid;
    if (s.data_write_guid == test::VhdxGuid{}) s.data_write_guid = test::guid_of(3);
    test::VhdxBuilder(s).write_to(dir.file("sub/child.vhdx"));
    DiskImage image;
    EXPECT_EQ(open_image_as(image, dir.file("sub/child.vhdx"), true, FORMAT_VHDX), k.open);
  }
}

TEST(VhdxChain, LocatorDamage) {
  struct Case {
    const char* name;
    std::function<void(Bytes&, uint64_t)> damage;  // given the locator item's offset in the file
  };
  const Case cases[] = {
      {"linkage of 74 bytes", [](Bytes& f, uint64_t at) { f[at + 20 + 10] = 74; }},
      {"key beyond the item", [](Bytes& f, uint64_t at) { put32(f, at + 20, 0x100000); }},
      {"entry count beyond the item", [](Bytes& f, uint64_t at) { f[at + 18] = 200; }},
      {"a path key twice",
       [](Bytes& f, uint64_t at) { std::memcpy(f.data() + at + 20 + 12, f.data() + at + 20 + 24, 12); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    test::TempDir dir;
    test::VhdxShape p;
    test::VhdxBuilder(p).write_to(dir.file("base.vhdx"));
    test::VhdxShape s = p;
    s.has_parent = true;
    s.parent_linkage = test::guid_of(1);
    s.relative_path = "base.vhdx";
    s.absolute_win32_path = "C:\\base.vhdx";
    const test::VhdxBuilder b(s);
    Bytes f = b.bytes();
    // Sixth item, after 8 + 8 + 16 + 4 + 4 bytes of the others, each rounded to 8.
    k.damage(f, b.metadata_offset() + (64u << 10) + 48);
    DiskImage image;
    EXPECT_EQ(open_bytes(dir, f, image, "child.vhdx"), ERR_BAD_FORMAT);
  }
}

// A log that still holds writes: the image opens, but nothing may be mapped or trimmed over it,
// whether it is the image itself or a parent.
TEST(VhdxChain, PendingLogAnywhereStopsTheChain) {
  test::TempDir dir;
  test::VhdxShape p;
  p.log_guid = test::guid_of(0x10);
  test::VhdxBuilder(p).write_to(dir.file("base.vhdx"));
  test::VhdxShape s;
  s.has_parent = true;
  s.relative_path = "base.vhdx";
  s.parent_linkage = test::VhdxBuilder(p).shape().data_write_guid;
  s.data_write_guid = test::guid_of(9);
  test::VhdxBuilder(s).write_to(dir.file("child.vhdx"));
  for (const char* name : {"base.vhdx", "child.vhdx"}) {
    DiskImage image;
    ASSERT_EQ(open_image(image, dir.file(name), true), OK);
    EXPECT_EQ(parent_chain_status(image), ERR_UNSUPPORTED) << name;
  }
}

}  // namespace
}  // namespace qx
