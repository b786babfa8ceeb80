// The VHD writer on files built to exact shapes: which blocks survive, where they land, what the
// bitmaps say, and what a cancelled or refused trim leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "image/replacement.hpp"
#include "formats/vhd/vhd.hpp"
#include "image/disk_image.hpp"
#include "image/file_copy.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vhd_builder.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

constexpr uint32_t kSmallBlock = 64 * 1024;  // 128 sectors
constexpr uint32_t kUnallocated = 0xFFFFFFFFu;

std::vector<uint8_t> sector_of(uint32_t seed) {
  std::vector<uint8_t> s(512);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>((seed * 131 + i * 7) | 1);
  return s;
}

test::VhdShape small_shape(uint32_t sectors = 1024) {
  test::VhdShape shape;
  shape.total_sectors = sectors;
  shape.block_bytes = kSmallBlock;
  return shape;
}

using test::log_progress;
using test::ProgressLog;
using test::trim;
using test::Trimmed;
using test::whole_disk_map;

// The same disk through the driver and through the independent reader.
void expect_same_disk(const std::string& before, const std::string& after) {
  EXPECT_EQ(test::vhd_read_disk(before), test::vhd_read_disk(after));
  DiskImage a, b;
  ASSERT_EQ(open_image(a, before, true), OK);
  ASSERT_EQ(open_image(b, after, true), OK);
  std::vector<uint8_t> da(get_geometry(a).size_bytes()), db(get_geometry(b).size_bytes());
  ASSERT_EQ(read_bytes(a, 0, da), OK);
  ASSERT_EQ(read_bytes(b, 0, db), OK);
  EXPECT_EQ(da, db);
}

TEST(VhdTrim, DynamicKeepsBlocksWithDataAndMarksOnlyNonZeroSectors) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  test::VhdBuilder b(small_shape(1024));
  b.write(3, sector_of(1));         // block 0
  b.mark_present(130, 40);          // block 1: present zeros only
  b.allocate(2);                    // block 2: nothing present
  b.write(3 * 128 + 5, sector_of(2));
  b.mark_present(3 * 128 + 6, 10);  // block 3: data and present zeros
  b.write_to(path);
  const auto source = test::read_file(path);
  const Trimmed t = trim(path);
  ASSERT_EQ(t.rc, OK);
  expect_same_disk(path + "_DEL", path);
  const auto out = test::read_file(path);
  const auto view = test::parse_vhd(out);
  ASSERT_EQ(view.bat.size(), 8u);
  EXPECT_NE(view.bat[0], kUnallocated);
  EXPECT_EQ(view.bat[1], kUnallocated);
  EXPECT_EQ(view.bat[2], kUnallocated);
  EXPECT_NE(view.bat[3], kUnallocated);
  for (uint32_t i = 0; i < 128; ++i) {
    EXPECT_EQ(test::vhd_bit(out, view, 0, i), i == 3) << i;
    EXPECT_EQ(test::vhd_bit(out, view, 3, i), i == 5) << i;
  }
  // Blocks follow the head in disk order, each a bitmap sector and the block.
  EXPECT_EQ(view.bat[0], 4u);
  EXPECT_EQ(view.bat[3], 4u + 1 + 128);
  EXPECT_EQ(out.size(), 2048 + 2 * (512 + kSmallBlock) + 512);
  // Footer, its copy and the header keep their bytes and checksums.
  EXPECT_TRUE(view.copies_equal && view.footer_checksum_ok && view.header_checksum_ok);
  EXPECT_TRUE(std::equal(out.end() - 512, out.end(), source.end() - 512));
  EXPECT_TRUE(std::equal(out.begin() + 512, out.begin() + 1536, source.begin() + 512));
}

TEST(VhdTrim, ProgressRunsFromZeroToTotal) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  test::VhdBuilder b(small_shape(1000));
  b.write(999, sector_of(1));
  b.write_to(path);
  ProgressLog log;
  ASSERT_EQ(trim(path, &log).rc, OK);
  ASSERT_FALSE(log.calls.empty());
  EXPECT_EQ(log.calls.front(), std::make_pair(0u, 1000u));
  EXPECT_EQ(log.calls.back(), std::make_pair(1000u, 1000u));
  for (size_t i = 1; i < log.calls.size(); ++i) EXPECT_GE(log.calls[i].first, log.calls[i - 1].first);
}

TEST(VhdTrim, ShortLastBlockIsWrittenWholeWithOnlyDiskSectorsMarked) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  // 1000 sectors: the eighth block holds 104 of its 128 sectors.
  test::VhdBuilder b(small_shape(1000));
  b.write(999, sector_of(4));
  b.write(7 * 128 + 2, sector_of(5));
  b.write_to(path);
  ASSERT_EQ(trim(path).rc, OK);
  expect_same_disk(path + "_DEL", path);
  const auto out = test::read_file(path);
  const auto view = test::parse_vhd(out);
  ASSERT_NE(view.bat[7], kUnallocated);
  for (uint32_t i = 0; i < 128; ++i) EXPECT_EQ(test::vhd_bit(out, view, 7, i), i == 2 || i == 103) << i;
  const uint64_t data = uint64_t{view.bat[7]} * 512 + 512;
  EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(data + 104 * 512),
                          out.begin() + static_cast<std::ptrdiff_t>(data + kSmallBlock),
                          [](uint8_t v) { return v == 0; }));
  EXPECT_EQ(out.size(), 2048 + (512 + kSmallBlock) + 512);
}

TEST(VhdTrim, ExactSizeTailBeyondTheGeometrySurvives) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  // The exact size and a geometry 16 sectors short, as Hyper-V writes them: the last sector (a
  // GPT's backup header) must come through the trim.
  test::VhdShape shape = small_shape(1024);
  shape.geometry = std::array<uint32_t, 3>{1, 16, 63};
  test::VhdBuilder b(shape);
  b.write(1023, sector_of(6));
  b.write_to(path);
  ASSERT_EQ(trim(path).rc, OK);
  const auto disk = test::vhd_read_disk(path);
  ASSERT_EQ(disk.size(), 1024u * 512);
  EXPECT_TRUE(std::equal(disk.end() - 512, disk.end(), sector_of(6).begin()));
  expect_same_disk(path + "_DEL", path);
}

TEST(VhdTrim, LargeBlocksGoThroughInPieces) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  // 16 MiB blocks are copied a piece at a time; the second block is short.
  test::VhdShape shape;
  shape.total_sectors = 40000;
  shape.block_bytes = 16u << 20;
  shape.padding_sectors = 7;
  shape.gap_sectors = 7;
  test::VhdBuilder b(shape);
  b.write(5, sector_of(1));
  b.write(20000, sector_of(2));
  b.write(39999, sector_of(3));
  b.mark_present(39000, 4);
  b.write_to(path);
  ASSERT_EQ(trim(path).rc, OK);
  expect_same_disk(path + "_DEL", path);
  const auto out = test::read_file(path);
  const auto view = test::parse_vhd(out);
  ASSERT_EQ(view.bat.size(), 2u);
  // The BAT area reaches 4 KiB, and a 4 KiB bitmap needs no gap to put the data on 4 KiB.
  EXPECT_EQ(view.bat[0], 4096u / 512);
  const uint32_t spb = shape.block_bytes / 512;
  for (uint32_t i : {0u, 4u, 5u, 6u, 20000u}) EXPECT_EQ(test::vhd_bit(out, view, 0, i), i == 5 || i == 20000) << i;
  EXPECT_TRUE(test::vhd_bit(out, view, 1, 39999 - spb));
  EXPECT_FALSE(test::vhd_bit(out, view, 1, 39000 - spb));
  EXPECT_FALSE(test::vhd_bit(out, view, 1, 40000 - spb));
  // Bitmap sectors (4 KiB for 32768 sectors) and the block, with no padding needed.
  EXPECT_EQ(view.bitmap_bytes, 4096u);
  EXPECT_EQ(view.bat[1], view.bat[0] + 8 + spb);
  EXPECT_EQ(out.size(), uint64_t{view.bat[1]} * 512 + 4096 + shape.block_bytes + 512);
}

TEST(VhdTrim, EmptyImageGivesHeadAndFooterOnly) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  test::VhdShape shape = small_shape(1024);
  shape.gap_sectors = 2;
  test::VhdBuilder(shape).write_to(path);
  const auto source = test::read_file(path);
  ASSERT_EQ(trim(path).rc, OK);
  const auto out = test::read_file(path);
  // Footer copy, header, one BAT sector, two gap sectors, footer.
  ASSERT_EQ(out.size(), 512 + 1024 + 512 + 2 * 512 + 512u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 1536, source.begin()));
  EXPECT_TRUE(std::all_of(out.begin() + 1536, out.begin() + 1536 + 32, [](uint8_t v) { return v == 0xFF; }));
  EXPECT_TRUE(std::all_of(out.begin() + 1536 + 32, out.end() - 512, [](uint8_t v) { return v == 0; }));
  EXPECT_TRUE(std::equal(out.end() - 512, out.end(), source.end() - 512));
  DiskImage image;
  ASSERT_EQ(open_image(image, path, true), OK);
  VhdLayout layout;
  ASSERT_TRUE(vhd_layout(image, layout));
  EXPECT_EQ(layout.gap_sectors, 2u);
}

TEST(VhdTrim, SmallGapIsKeptWithoutPadding) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  test::VhdShape shape = small_shape(1024);
  shape.gap_sectors = 6;
  test::VhdBuilder b(shape);
  b.write(0, sector_of(1));
  b.write(300, sector_of(2));
  b.write_to(path);
  ASSERT_EQ(trim(path).rc, OK);
  expect_same_disk(path + "_DEL", path);
  const auto out = test::read_file(path);
  const auto view = test::parse_vhd(out);
  EXPECT_EQ(view.bat[0], 4u + 6);
  EXPECT_EQ(view.bat[2], 4u + 6 + 129);
}

TEST(VhdTrim, AlignmentModePadsEveryBlockToKeepDataOn4KiB) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  test::VhdShape shape = small_shape(1024);
  shape.gap_sectors = 9;
  shape.padding_sectors = 7;
  test::VhdBuilder b(shape);
  b.write(0, sector_of(1));
  b.write(200, sector_of(2));
  b.write(1023, sector_of(3));
  b.write_to(path);
  ASSERT_EQ(trim(path).rc, OK);
  expect_same_disk(path + "_DEL", path);
  const auto out = test::read_file(path);
  const auto view = test::parse_vhd(out);
  // The BAT area reaches a 4 KiB boundary, then 7 zero sectors, then the first bitmap.
  EXPECT_EQ(view.bat[0], 4096 / 512 + 7);
  for (uint32_t blk : {0u, 1u, 7u}) {
    ASSERT_NE(view.bat[blk], kUnallocated);
    EXPECT_EQ((uint64_t{view.bat[blk]} * 512 + 512) % 4096, 0u) << blk;
  }
  EXPECT_EQ(view.bat[1], view.bat[0] + 1 + 128 + 7);
  EXPECT_TRUE(std::all_of(out.begin() + 1536 + 32, out.begin() + 4096 + 7 * 512, [](uint8_t v) { return v == 0; }));
  // Seven zero sectors after the last block, then the footer.
  EXPECT_EQ(out.size(), uint64_t{view.bat[7]} * 512 + 512 + kSmallBlock + 7 * 512 + 512);
  DiskImage image;
  ASSERT_EQ(open_image(image, path, true), OK);
  VhdLayout layout;
  ASSERT_TRUE(vhd_layout(image, layout));
  EXPECT_EQ(layout.alignment_mode, 1u);
  if (test::have_tool("qemu-img")) {
    ASSERT_EQ(test::run_command("qemu-img convert -f vpc -O raw " + test::shell_quote(path) + " " +
                                test::shell_quote(dir.file("out.raw")))
                  .status,
              0);
    const auto raw = test::read_file(dir.file("out.raw"));
    EXPECT_EQ(raw, test::vhd_read_disk(path));
    const auto info = test::run_command("qemu-img info -f vpc " + test::shell_quote(path) + " 2>&1");
    EXPECT_EQ(info.status, 0) << info.output;
  }
  if (test::have_tool("vhdiinfo")) {
    const auto info = test::run_command("vhdiinfo " + test::shell_quote(path) + " 2>&1");
    EXPECT_EQ(info.status, 0) << info.output;
  }
}

TEST(VhdTrim, ShorterFooterStaysShorter) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  test::VhdShape shape = small_shape(1024);
  shape.footer_511 = true;
  test::VhdBuilder b(shape);
  b.write(700, sector_of(1));
  b.mark_present(10, 5);
  b.write_to(path);
  const auto source = test::read_file(path);
  ASSERT_EQ(trim(path).rc, OK);
  expect_same_disk(path + "_DEL", path);
  const auto out = test::read_file(path);
  EXPECT_EQ(out.size() % 512, 511u);
  EXPECT_TRUE(std::equal(out.end() - 511, out.end(), source.end() - 511));
  const auto view = test::parse_vhd(out);
  EXPECT_TRUE(view.copies_equal && view.footer_checksum_ok);
  EXPECT_EQ(view.bat[0], kUnallocated);
}

TEST(VhdTrim, DriftedFooterCopyIsReplacedByTheCheckedFooter) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  test::VhdBuilder b(small_shape(1024));
  b.write(5, sector_of(1));
  auto bytes = b.bytes();
  bytes[84] = 1;  // saved state of the copy only: its checksum no longer holds
  test::write_file(path, bytes);
  ASSERT_EQ(trim(path).rc, OK);
  const auto view = test::parse_vhd(test::read_file(path));
  EXPECT_TRUE(view.copies_equal);
  EXPECT_TRUE(view.footer_checksum_ok);
}

TEST(VhdTrim, MoreTableEntriesThanBlocksKeepsTheLargerTable) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  test::VhdShape shape = small_shape(1024);
  shape.max_table_entries = 200;  // two BAT sectors
  test::VhdBuilder b(shape);
  b.write(1000, sector_of(1));
  b.write_to(path);
  ASSERT_EQ(trim(path).rc, OK);
  expect_same_disk(path + "_DEL", path);
  const auto view = test::parse_vhd(test::read_file(path));
  ASSERT_EQ(view.bat.size(), 200u);
  // The gap is measured from the end of the disk's own eight entries, so the source's second
  // table sector counts as one gap sector and is kept as such.
  EXPECT_EQ(view.bat[7], 3u + 2 + 1);
  EXPECT_TRUE(std::all_of(view.bat.begin() + 8, view.bat.end(), [](uint32_t e) { return e == kUnallocated; }));
}

TEST(VhdTrim, SourcesTheWriterCannotPlaceAreRefusedBeforeAnyOutput) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  auto refused = [&](test::VhdShape shape) {
    test::VhdBuilder b(shape);
    b.write(3, sector_of(1));
    b.write_to(path);
    const auto before = test::read_file(path);
    const Trimmed t = trim(path);
    EXPECT_EQ(t.rc, ERR_UNSUPPORTED);
    EXPECT_FALSE(t.temp_created);
    EXPECT_FALSE(std::filesystem::exists(path + "_TEMP"));
    EXPECT_EQ(test::read_file(path), before);
  };
  test::VhdShape shape = small_shape(1024);
  shape.table_offset = 2048;  // the BAT one sector further on
  refused(shape);
  shape = small_shape(1024);
  shape.data_offset = 1536;  // the header where the writer puts the BAT
  shape.table_offset = 2560;
  refused(shape);
  shape = small_shape(1024);
  shape.max_table_entries = 7;  // fewer entries than the disk's eight blocks
  refused(shape);
}

TEST(VhdTrim, CancelledOnTheFirstCallWritesNoBlockAndLeavesNothing) {
  test::TempDir dir;
  const std::string path = dir.file("d.vhd");
  test::VhdBuilder b(small_shape(1024));
  b.write(3, sector_of(1));
  b.write_to(path);
  const auto before = test::read_file(path);
  ProgressLog log;
  log.cancel_at = 0;
  const Trimmed t = trim(path, &log);
  EXPECT_EQ(t.rc, CANCELLED);
  EXPECT_EQ(log.calls.size(), 1u);
  EXPECT_TRUE(t.temp_created);
  EXPECT_LE(t.temp_size, 2048u);  // no block: at most the head, which waits for the decisions
  EXPECT_FALSE(std::filesystem::exists(path + "_TEMP"));
  EXPECT_FALSE(std::filesystem::exists(path + "_DEL"));
  EXPECT_EQ(test::read_file(path), before);
  // A cancel during a block's check (the check-in) is a cancellation too.
  log = ProgressLog{};
  log.cancel_at = 1;
  EXPECT_EQ(trim(path, &log).rc, CANCELLED);
  EXPECT_FALSE(std::filesystem::exists(path + "_TEMP"));
}

// ---- differencing ----

struct Chain {
  std::string parent, child;
};

Chain make_chain(const test::TempDir& dir, uint32_t gap = 0) {
  test::VhdBuilder p(small_shape(1024));
  p.write(0, sector_of(10));
  p.write(1, sector_of(11));
  p.write(300, sector_of(12));
  p.write(520, sector_of(13));
  p.write_to(dir.file("parent.vhd"));
  test::VhdShape shape = small_shape(1024);
  shape.disk_type = 4;
  shape.parent_name = "parent.vhd";
  shape.gap_sectors = gap;
  shape.padding_sectors = gap >= 7 ? 7 : 0;
  shape.locators = {{"W2ku", test::utf16le_bytes(dir.file("parent.vhd")), {}},
                   {"W2ru", test::utf16le_bytes(".\\parent.vhd"), {}}};
  test::VhdBuilder c(shape);
  c.write(1, sector_of(21));    // block 0: data over the parent's
  c.mark_present(300, 4);       // block 2: present zeros that hide the parent's sector 300
  c.allocate(4);                // block 4: nothing present (the parent has sector 520)
  c.write(1000, sector_of(22)); // block 7
  c.write_to(dir.file("child.vhd"));
  return {dir.file("parent.vhd"), dir.file("child.vhd")};
}

TEST(VhdTrim, DifferencingKeepsItsOwnLayerAndNeverWritesTheParent) {
  test::TempDir dir;
  const Chain chain = make_chain(dir);
  const auto parent_before = test::read_file(chain.parent);
  const auto child_before = test::read_file(chain.child);
  const auto disk_before = test::vhd_read_disk(chain.child);
  ASSERT_EQ(trim(chain.child).rc, OK);
  EXPECT_EQ(test::read_file(chain.parent), parent_before);
  EXPECT_EQ(test::vhd_read_disk(chain.child), disk_before);
  expect_same_disk(chain.child + "_DEL", chain.child);
  const auto out = test::read_file(chain.child);
  const auto view = test::parse_vhd(out);
  // Block 2 holds only present zeros and is kept; block 4 has nothing of its own and goes.
  EXPECT_NE(view.bat[0], kUnallocated);
  EXPECT_NE(view.bat[2], kUnallocated);
  EXPECT_EQ(view.bat[4], kUnallocated);
  EXPECT_NE(view.bat[7], kUnallocated);
  EXPECT_EQ(view.bat[1], kUnallocated);
  // A kept block carries every sector, the parent's data included, so every bit is set.
  for (uint32_t blk : {0u, 2u, 7u})
    for (uint32_t i = 0; i < 128; ++i) EXPECT_TRUE(test::vhd_bit(out, view, blk, i)) << blk << " " << i;
  const uint64_t block0 = uint64_t{view.bat[0]} * 512 + 512;
  EXPECT_TRUE(std::equal(out.begin() + static_cast<std::ptrdiff_t>(block0),
                         out.begin() + static_cast<std::ptrdiff_t>(block0 + 512), sector_of(10).begin()));
  // The head (header, locators) is the source's but for the table.
  const uint64_t head = uint64_t{test::parse_vhd(child_before).bat[0]} * 512;
  EXPECT_EQ(view.bat[0] * 512ull, head);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 1536, child_before.begin()));
  EXPECT_TRUE(std::equal(out.begin() + 2048, out.begin() + static_cast<std::ptrdiff_t>(head),
                         child_before.begin() + 2048));
  if (test::have_tool("vhdiinfo")) {
    const auto info = test::run_command("vhdiinfo " + test::shell_quote(chain.child) + " 2>&1");
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("parent.vhd"), std::string::npos) << info.output;
  }
}

TEST(VhdTrim, DifferencingInAlignmentModeKeepsItsLocators) {
  test::TempDir dir;
  const Chain chain = make_chain(dir, 7);
  const auto child_before = test::read_file(chain.child);
  const auto disk_before = test::vhd_read_disk(chain.child);
  ASSERT_EQ(trim(chain.child).rc, OK);
  EXPECT_EQ(test::vhd_read_disk(chain.child), disk_before);
  const auto out = test::read_file(chain.child);
  const auto view = test::parse_vhd(out);
  const uint64_t head = uint64_t{test::parse_vhd(child_before).bat[0]} * 512;
  // The locators right behind the table survive; only the entries themselves were rewritten.
  EXPECT_TRUE(std::equal(out.begin() + 1536 + 32, out.begin() + static_cast<std::ptrdiff_t>(head),
                         child_before.begin() + 1536 + 32));
  EXPECT_EQ(view.bat[2], view.bat[0] + 1 + 128 + 7);
  // Independent readers follow the aligned layout through to the parent.
  if (test::have_tool("qemu-img")) {
    const auto info = test::run_command("qemu-img info -f vpc " + test::shell_quote(chain.child) + " 2>&1");
    EXPECT_EQ(info.status, 0) << info.output;
    const auto conv = test::run_command("qemu-img convert -f vpc -O raw " + test::shell_quote(chain.child) + " " +
                                        test::shell_quote(dir.file("out.raw")) + " 2>&1");
    EXPECT_EQ(conv.status, 0) << conv.output;
    // qemu-img does not follow a VHD parent: a kept block (every bit set) reads as the whole
    // disk did, a dropped one as zeros.
    const auto raw = test::read_file(dir.file("out.raw"));
    ASSERT_EQ(raw.size(), disk_before.size());
    for (size_t blk = 0; blk * kSmallBlock < raw.size(); ++blk)
      for (size_t i = blk * kSmallBlock; i < (blk + 1) * kSmallBlock; ++i)
        ASSERT_EQ(raw[i], view.bat[blk] == kUnallocated ? 0 : disk_before[i]) << blk << " " << i;
  }
  if (test::have_tool("vhdiinfo")) {
    const auto info = test::run_command("vhdiinfo " + test::shell_quote(chain.child) + " 2>&1");
    EXPECT_EQ(info.status, 0) << info.output;
  }
}

// Whichever way the copier may take, the file is the same and every kept byte went through it.
TEST(VhdTrim, QemuImageComesOutTheSameOverEveryCopyPath) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  test::TempDir dir;
  // -S 0 allocates the zero blocks too; the trim drops them, so kept data moves to new offsets.
  std::vector<uint8_t> raw(24u << 20);
  for (const size_t blk : {0, 2, 3, 11})
    std::fill_n(raw.begin() + static_cast<std::ptrdiff_t>((blk << 21) + 4096 * blk), 1u << 20, uint8_t(blk + 1));
  test::write_file(dir.file("disk.raw"), raw);
  test::qemu_convert(dir.file("disk.raw"), dir.file("in.vhd"), "-S 0 -f raw -O vpc -o subformat=dynamic");
  std::vector<uint8_t> outputs[3];
  for (const CopyPath limit : {CopyPath::kBuffer, CopyPath::kKernel, CopyPath::kClone}) {
    set_copy_path_limit(limit);
    const std::string path = dir.file("out" + std::to_string(static_cast<int>(limit)) + ".vhd");
    std::filesystem::copy_file(dir.file("in.vhd"), path);
    const CopyCounts a = copy_counts();
    EXPECT_EQ(trim(path).rc, OK);
    const CopyCounts b = copy_counts();
    const uint64_t moved = b.cloned + b.in_kernel + b.buffered - (a.cloned + a.in_kernel + a.buffered);
    EXPECT_EQ(moved, 4u * (2u << 20));
    EXPECT_EQ(limit == CopyPath::kBuffer ? b.buffered - a.buffered : moved, moved);
    outputs[static_cast<int>(limit)] = test::read_file(path);
  }
  set_copy_path_limit(CopyPath::kClone);
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_EQ(outputs[0], outputs[2]);
  expect_same_disk(dir.file("in.vhd"), dir.file("out0.vhd"));
}

}  // namespace
}  // namespace qx
