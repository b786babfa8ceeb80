#include "fs/hfsplus/hfsplus_reader.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "image/byte_order.hpp"
#include "image/disk_image.hpp"
#include "support/file_patch.hpp"
#include "support/flip_campaign.hpp"
#include "support/fs_support.hpp"
#include "support/hfsplus_builder.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

using namespace qx::test;

constexpr uint64_t kMiB = 1u << 20;

// ---- Helpers ---------------------------------------------------------------------------------

void patch_be16(const std::string& path, uint64_t offset, uint16_t v) {
  patch_file(path, offset, {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}
void patch_be32(const std::string& path, uint64_t offset, uint32_t v) {
  patch_file(path, offset,
             {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
              static_cast<uint8_t>(v)});
}

// Volume-header field offsets.
constexpr uint64_t kVhAttributes = 4;
constexpr uint64_t kVhBlockSize = 40;
constexpr uint64_t kVhTotalBlocks = 44;
constexpr uint64_t kVhAllocationFork = 112;
constexpr uint64_t kVhExtentsFork = 192;
constexpr uint64_t kForkTotalBlocks = 12;
constexpr uint64_t kForkExtents = 16;
// B-tree header record fields, from the start of node 0.
constexpr uint64_t kHdrRoot = 14 + 2;
constexpr uint64_t kHdrNodeSize = 14 + 18;
constexpr uint64_t kHdrMaxKeyLength = 14 + 20;
constexpr uint64_t kHdrTotalNodes = 14 + 22;

ReaderResult probe_file(const std::string& path) { return map_volume_file(path, KIND_HFSPLUS); }

std::unique_ptr<ReaderState> probe_state(const std::string& path, ErrorCode& err) {
  DiskImage image;
  const uint32_t sectors = static_cast<uint32_t>(std::filesystem::file_size(path) / 512);
  std::unique_ptr<ReaderState> state;
  err = open_flat(image, path, true, 0, DiskGeometry{sectors, 255, 63, 512});
  if (err == OK) err = kHfsPlusReader.probe(image, 0, sectors, state);
  return state;
}

// Every block the layout allocated is used in the map and every other block free; sectors behind
// the last whole block are used.
void expect_map_follows_layout(const ReaderResult& r, const HfsPlusLayout& L) {
  ASSERT_EQ(r.probe, OK);
  ASSERT_EQ(r.mark, OK);
  const uint32_t spb = L.block_size / 512;
  const uint64_t first = L.volume_offset / 512;
  size_t wrong = 0;
  for (uint32_t b = 0; b < L.total_blocks; ++b)
    for (uint32_t s = 0; s < spb; ++s)
      if (r.used(first + uint64_t{b} * spb + s) != L.used[b] && wrong++ < 5)
        ADD_FAILURE() << "block " << b << " sector " << s << " expected " << L.used[b];
  EXPECT_EQ(wrong, 0u);
  for (uint64_t s = first + uint64_t{L.total_blocks} * spb; s < first + L.volume_bytes / 512; ++s)
    EXPECT_TRUE(r.used(s)) << "tail sector " << s;
}

// The Sleuth Kit's view of the same volume: what it calls allocated is used, what it calls free
// is free. Sectors behind the last whole block are used although TSK has no block for them.
void expect_map_matches_blkls(const std::string& path, const ReaderResult& r,
                              const HfsPlusLayout& L) {
  ASSERT_EQ(r.probe, OK);
  ASSERT_EQ(r.mark, OK);
  if (!have_tool("blkls")) GTEST_SKIP() << "blkls (sleuthkit) is not installed";
  const OracleAllocation o = run_blkls(path, "hfs", L.volume_offset / 512);
  ASSERT_FALSE(o.state.empty()) << "blkls rejected the volume";
  ASSERT_EQ(o.state.size(), L.total_blocks);
  const uint32_t spb = L.block_size / 512;
  const uint64_t first = L.volume_offset / 512;
  size_t allocated = 0, wrong = 0;
  for (uint32_t b = 0; b < L.total_blocks; ++b) {
    ASSERT_TRUE(o.state[b] == 'a' || o.state[b] == 'f') << b;
    allocated += o.state[b] == 'a';
    for (uint32_t s = 0; s < spb; ++s)
      if (r.used(first + uint64_t{b} * spb + s) != (o.state[b] == 'a') && wrong++ < 5)
        ADD_FAILURE() << "block " << b << " blkls says " << o.state[b];
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_GT(allocated, 0u);
  EXPECT_LT(allocated, L.total_blocks);
}

// A volume whose allocation file (512-byte blocks, 32 MiB: 16 bitmap blocks) lies in 16 pieces, so
// the second half of the bitmap is reached only through the overflow tree; files sit in both
// halves.
HfsPlusOptions fragmented_options() {
  HfsPlusOptions o;
  o.block_size = 512;
  o.volume_bytes = 32 * kMiB;
  o.allocation_fragments = 16;
  o.extents_node_size = 512;
  o.files = {{"alpha.txt", 3, 1, 0}, {"beta.bin", 40, 12, 0}, {"gamma", 21, 3, 50000}};
  return o;
}

// ---- Fixtures accepted by independent tools ----------------------------------------------------

// hpmount keeps its state in $HOME, so every check gets a home of its own.
struct ToolHome {
  TempDir home;
  CommandResult run(const std::string& cmd) const {
    return run_command("HOME=" + shell_quote(home.path().string()) + " " + cmd + " 2>&1");
  }
};

void check_with_hfsplus_tools(const std::string& img, const HfsPlusOptions& o) {
  for (const char* tool : {"hpmount", "hpls", "hpcopy", "hpumount", "hpfsck"})
    if (!have_tool(tool)) GTEST_SKIP() << tool << " (hfsplus) is not installed";
  // hpfsck of hfsplus 1.0.4 reads record offsets without byte swapping on little-endian hosts,
  // so only its volume-header checks are meaningful here.
  const std::string fsck = run_command("hpfsck -v " + shell_quote(img) + " 2>&1").output;
  EXPECT_NE(fsck.find("*** Checking Backup Volume Header:"), std::string::npos) << fsck;
  EXPECT_EQ(fsck.find("Unexpected"), std::string::npos) << fsck;
  EXPECT_EQ(fsck.find("not a HFS+"), std::string::npos) << fsck;
  EXPECT_NE(fsck.find(o.hfsx ? "signature       : XH" : "signature       : +H"), std::string::npos)
      << fsck;

  ToolHome h;
  const CommandResult mount = h.run("hpmount -r " + shell_quote(img));
  ASSERT_EQ(mount.status, 0) << mount.output;
  const std::string ls = h.run("hpls -l").output;
  for (const auto& f : o.files) {
    EXPECT_NE(ls.find(f.name), std::string::npos) << ls;
    EXPECT_NE(ls.find(std::to_string(hfsplus_file_bytes(f, o.block_size))), std::string::npos)
        << ls;
  }
  for (size_t i = 0; i < o.files.size(); ++i) {
    const std::string out = h.home.file("copy" + std::to_string(i));
    h.run("hpcopy -r " + shell_quote(o.files[i].name) + " " + shell_quote(out));
    std::vector<uint8_t> expect =
        hfsplus_file_content(i, uint64_t{o.files[i].blocks} * o.block_size, o.block_size);
    expect.resize(hfsplus_file_bytes(o.files[i], o.block_size));
    EXPECT_EQ(read_file(out), expect) << o.files[i].name;
  }
  h.run("hpumount");
}

TEST(HfsPlusFixture, FragmentedVolumePassesHfsplusTools) {
  TempDir dir;
  const std::string img = dir.file("frag.img");
  HfsPlusOptions o = fragmented_options();
  o.header_copy_in_boot_blocks = true;
  build_hfsplus(img, o);
  // beta.bin has 12 pieces: its last four are read through the overflow tree.
  check_with_hfsplus_tools(img, o);
}

// The Sleuth Kit: file-system type and free count (fsstat), the names (fls) and every file's
// contents read through its extents (icat; a file's inode number is its catalog node ID).
void check_with_sleuthkit(const std::string& img, const HfsPlusOptions& o, const HfsPlusLayout& L) {
  for (const char* tool : {"fsstat", "fls", "icat"})
    if (!have_tool(tool)) GTEST_SKIP() << tool << " (sleuthkit) is not installed";
  const std::string st = run_command("fsstat " + shell_quote(img) + " 2>&1").output;
  EXPECT_NE(st.find(o.hfsx ? "File System Type: HFSX" : "File System Type: HFS+"),
            std::string::npos)
      << st;
  if (o.hfsx) {
    EXPECT_NE(st.find("Case Sensitive: yes"), std::string::npos) << st;
  }
  EXPECT_NE(st.find("Number of files: " + std::to_string(o.files.size())), std::string::npos) << st;
  size_t free_blocks = 0;
  for (bool u : L.used) free_blocks += !u;
  EXPECT_NE(st.find("Number of Free Blocks: " + std::to_string(free_blocks)), std::string::npos)
      << st;
  const std::string ls = run_command("fls " + shell_quote(img) + " 2>&1").output;
  for (size_t i = 0; i < o.files.size(); ++i) {
    EXPECT_NE(ls.find(std::to_string(16 + i) + ":\t" + o.files[i].name), std::string::npos) << ls;
    const CommandResult cat =
        run_command("icat " + shell_quote(img) + " " + std::to_string(16 + i));
    std::vector<uint8_t> expect =
        hfsplus_file_content(i, uint64_t{o.files[i].blocks} * o.block_size, o.block_size);
    expect.resize(hfsplus_file_bytes(o.files[i], o.block_size));
    EXPECT_EQ(cat.output, std::string(expect.begin(), expect.end())) << o.files[i].name;
  }
}

TEST(HfsPlusFixture, FragmentedVolumePassesSleuthkit) {
  TempDir dir;
  const std::string img = dir.file("frag.img");
  const HfsPlusOptions o = fragmented_options();
  check_with_sleuthkit(img, o, build_hfsplus(img, o));
}

// hfsplus 1.0.4 knows nothing of HFSX; the Sleuth Kit does.
TEST(HfsPlusFixture, HfsxVolumePassesSleuthkit) {
  TempDir dir;
  const std::string img = dir.file("hfsx.img");
  HfsPlusOptions o;
  o.hfsx = true;
  o.files = {{"one", 2, 1, 0}, {"two", 9, 9, 0}};
  check_with_sleuthkit(img, o, build_hfsplus(img, o));
}

// ---- Agreement with the layout and with the Sleuth Kit
// -------------------------------------------

TEST(HfsPlusOracle, ContiguousVolume) {
  TempDir dir;
  const std::string img = dir.file("plain.img");
  HfsPlusOptions o;
  o.dirty = true;
  o.files = {{"a", 1, 1, 0}, {"b", 30, 2, 0}, {"c", 7, 1, 3000}};
  const HfsPlusLayout L = build_hfsplus(img, o);
  const ReaderResult r = probe_file(img);
  expect_map_follows_layout(r, L);
  expect_map_matches_blkls(img, r, L);
}

TEST(HfsPlusOracle, NinthAllocationExtentComesFromTheOverflowTree) {
  TempDir dir;
  const std::string img = dir.file("frag.img");
  const HfsPlusLayout L = build_hfsplus(img, fragmented_options());
  ErrorCode err;
  auto state = probe_state(img, err);
  ASSERT_EQ(err, OK);
  const auto& st = static_cast<const HfsPlusState&>(*state);
  ASSERT_EQ(st.allocation_extents.size(), 16u);
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(st.allocation_extents[i].start_block, L.allocation_extents[i].start);
    EXPECT_EQ(st.allocation_extents[i].logical_start, i);
  }
  // gamma lies in the second half of the volume, described by the overflow extents only.
  const ReaderResult r = probe_file(img);
  EXPECT_TRUE(r.used(50000));
  EXPECT_FALSE(r.used(49999));
  expect_map_follows_layout(r, L);
  expect_map_matches_blkls(img, r, L);
}

TEST(HfsPlusOracle, OverflowTreeWithIndexNodeAndTwoLeaves) {
  TempDir dir;
  const std::string img = dir.file("deep.img");
  HfsPlusOptions o;
  o.block_size = 512;
  o.volume_bytes = 4 * kMiB;
  o.allocation_extra_blocks = 63;
  o.allocation_fragments = 64;  // 56 overflow extents: 7 records, more than one 512-byte leaf holds
  o.extents_node_size = 512;
  o.files = {{"frag", 30, 20, 0}, {"tail", 4, 1, 7000}};
  const HfsPlusLayout L = build_hfsplus(img, o);
  ASSERT_EQ(L.extents_nodes.size(), 4u);  // header, two leaves, index
  const ReaderResult r = probe_file(img);
  expect_map_follows_layout(r, L);
  expect_map_matches_blkls(img, r, L);
}

TEST(HfsPlusOracle, Hfsx) {
  TempDir dir;
  const std::string img = dir.file("hfsx.img");
  HfsPlusOptions o = fragmented_options();
  o.hfsx = true;
  const HfsPlusLayout L = build_hfsplus(img, o);
  ErrorCode err;
  auto state = probe_state(img, err);
  ASSERT_EQ(err, OK);
  EXPECT_TRUE(static_cast<const HfsPlusState&>(*state).hfsx);
  const ReaderResult r = probe_file(img);
  expect_map_follows_layout(r, L);
  expect_map_matches_blkls(img, r, L);
}

TEST(HfsPlusOracle, VolumeInsideADiskAtAnOffset) {
  TempDir dir;
  const std::string img = dir.file("disk.img");
  HfsPlusOptions o;
  o.offset = kMiB;
  o.volume_bytes = 8 * kMiB;
  o.block_size = 2048;
  o.files = {{"x", 5, 2, 0}};
  make_dirty_file(img, 10 * kMiB);
  const HfsPlusLayout L = build_hfsplus(img, o);
  DiskImage image;
  ASSERT_EQ(open_flat(image, img, true, 0, DiskGeometry{20480, 255, 63, 512}), OK);
  std::unique_ptr<ReaderState> state;
  ASSERT_EQ(kHfsPlusReader.probe(image, 2048, 16384, state), OK);
  ReaderResult r;
  r.probe = OK;
  r.bitmap.assign(bitmap_bytes(2048 + 16384), 0);
  r.mark = kHfsPlusReader.mark(*state, 0, 16384, r.bitmap, 2048);
  expect_map_follows_layout(r, L);
  expect_map_matches_blkls(img, r, L);
}

// The map probes every kind on a bare disk; only the HFS+ reader takes it, and droppable blocks
// are those the allocation file leaves free (the volume is dirty, so only the map decides).
TEST(HfsPlusOracle, UsageMapOfABareVolume) {
  TempDir dir;
  const std::string img = dir.file("bare.img");
  HfsPlusOptions o = fragmented_options();
  o.dirty = true;
  const HfsPlusLayout L = build_hfsplus(img, o);
  const uint32_t sectors = static_cast<uint32_t>(o.volume_bytes / 512);
  DiskImage image;
  ASSERT_EQ(open_flat(image, img, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
  ErrorCode error = ERR_UNSUPPORTED;
  uint32_t recognised = 0;
  std::unique_ptr<UsageMap> map = build_usage_map(image, error, recognised);
  ASSERT_EQ(error, OK);
  ASSERT_TRUE(map);
  ASSERT_EQ(map->volumes.size(), 1u);
  EXPECT_EQ(map->volumes[0].kind, KIND_HFSPLUS);
  EXPECT_EQ(recognised, 1u);
  ReaderResult r;
  r.probe = r.mark = OK;
  r.bitmap.assign(bitmap_bytes(sectors), 0);
  ASSERT_EQ(query_used(*map, 0, sectors, r.bitmap), OK);
  expect_map_follows_layout(r, L);
  const std::vector<uint8_t> data = read_range(img, 49984 * 512, 32 * 512);
  bool droppable = true;
  ASSERT_EQ(is_block_droppable(*map, 49984, 16, droppable, data), OK);  // gamma starts at 50000
  EXPECT_TRUE(droppable);
  ASSERT_EQ(is_block_droppable(*map, 49992, 16, droppable, std::span(data).subspan(8 * 512)), OK);
  EXPECT_FALSE(droppable);
  destroy_usage_map(*map);
}

// ---- Sharp edges -------------------------------------------------------------------------------

TEST(HfsPlusReader, IsTheReaderOfKindSix) {
  EXPECT_STREQ(fs_reader(KIND_HFSPLUS).name, "hfsplus");
  EXPECT_EQ(&fs_reader(KIND_HFSPLUS), &kHfsPlusReader);
}

TEST(HfsPlusReader, BitmapIsMostSignificantBitFirst) {
  TempDir dir;
  const std::string img = dir.file("bits.img");
  const HfsPlusLayout L = build_hfsplus(img, {});  // 4096-byte blocks, 4096 blocks
  ASSERT_FALSE(L.used[2000]);
  const uint64_t bitmap = L.block_offset(L.allocation_extents[0].start);
  patch_file(img, bitmap + 2000 / 8, {0x80});  // block 2000 alone
  patch_file(img, bitmap + 2008 / 8, {0x01});  // block 2015 alone
  const ReaderResult r = probe_file(img);
  ASSERT_EQ(r.probe, OK);
  for (uint32_t b = 1999; b <= 2016; ++b)
    for (uint32_t s = 0; s < 8; ++s)
      EXPECT_EQ(r.used(b * 8 + s), b == 2000 || b == 2015) << "block " << b;
  // The volume header area: block 0 holds bytes 0 to 1535.
  for (uint32_t s = 0; s < 8; ++s) EXPECT_TRUE(r.used(s));
}

TEST(HfsPlusReader, SectorsBehindTheLastWholeBlockAreUsed) {
  TempDir dir;
  const std::string img = dir.file("tail.img");
  HfsPlusOptions o;
  o.volume_bytes = 16 * kMiB + 3 * 512;  // three sectors more than 4096 blocks of 4096 bytes
  const HfsPlusLayout L = build_hfsplus(img, o);
  ASSERT_EQ(L.total_blocks, 4096u);
  const ReaderResult r = probe_file(img);
  expect_map_follows_layout(r, L);
  EXPECT_FALSE(r.used(4095 * 8 - 1));
  for (uint32_t s = 4096 * 8; s < r.sectors; ++s) EXPECT_TRUE(r.used(s));
}

TEST(HfsPlusReader, InlineAllocationFileNeverTouchesTheExtentsTree) {
  TempDir dir;
  const std::string img = dir.file("inline.img");
  HfsPlusOptions o;
  o.allocation_extra_blocks = 7;
  o.allocation_fragments = 8;
  const HfsPlusLayout L = build_hfsplus(img, o);
  patch_file(img, L.extents_nodes[0].offset, std::vector<uint8_t>(4096, 0xFF));
  expect_map_follows_layout(probe_file(img), L);
}

TEST(HfsPlusReader, OverflowRecordAtTheWrongBlockIsRejected) {
  TempDir dir;
  const std::string img = dir.file("wrong.img");
  const HfsPlusLayout L = build_hfsplus(img, fragmented_options());
  ASSERT_EQ(L.overflow_records.size(), 1u);
  const uint64_t start_field = L.overflow_records[0] + 8;
  for (uint32_t start : {7u, 9u, 0u}) {
    patch_be32(img, start_field, start);
    EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT) << start;
  }
  patch_be32(img, start_field, 8);
  EXPECT_EQ(probe_file(img).probe, OK);
}

TEST(HfsPlusReader, LaterOverflowRecordAtTheWrongBlockIsRejected) {
  TempDir dir;
  const std::string img = dir.file("wrong2.img");
  HfsPlusOptions o;
  o.block_size = 512;
  o.volume_bytes = 4 * kMiB;
  o.allocation_extra_blocks = 63;
  o.allocation_fragments = 64;
  o.extents_node_size = 512;
  const HfsPlusLayout L = build_hfsplus(img, o);
  ASSERT_EQ(L.overflow_records.size(), 7u);
  ASSERT_EQ(probe_file(img).probe, OK);
  // The second record, and the first record of the second leaf, each one block off.
  for (size_t r : {size_t{1}, size_t{6}}) {
    const uint64_t start_field = L.overflow_records[r] + 8;
    const std::vector<uint8_t> original = read_range(img, start_field, 4);
    const uint32_t start = be32(original.data());
    for (uint32_t wrong : {start - 1, start + 1}) {
      patch_be32(img, start_field, wrong);
      EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT) << "record " << r << " start " << wrong;
    }
    patch_file(img, start_field, original);
  }
  EXPECT_EQ(probe_file(img).probe, OK);
}

TEST(HfsPlusReader, OverflowRecordOfAnotherForkOrFileIsRejected) {
  TempDir dir;
  const std::string img = dir.file("other.img");
  const HfsPlusLayout L = build_hfsplus(img, fragmented_options());
  const uint64_t key = L.overflow_records[0];
  patch_file(img, key + 2, {0xFF});  // resource fork
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  patch_file(img, key + 2, {0x00});
  patch_be32(img, key + 4, 7);  // another file
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  patch_be32(img, key + 4, 6);
  patch_be16(img, key, 12);  // key length other than 10
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
}

TEST(HfsPlusReader, ExtentCountsThatDoNotAddUpAreRejected) {
  TempDir dir;
  const std::string img = dir.file("sums.img");
  const HfsPlusLayout L = build_hfsplus(img, fragmented_options());
  const uint64_t alloc = L.header_offset() + kVhAllocationFork;
  const uint64_t ext = L.header_offset() + kVhExtentsFork;
  // More blocks than all extents hold: the records run out.
  patch_be32(img, alloc + kForkTotalBlocks, 17);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  // Fewer blocks than the inline extents hold.
  patch_be32(img, alloc + kForkTotalBlocks, 7);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  // Fewer blocks than the overflow record brings.
  patch_be32(img, alloc + kForkTotalBlocks, 12);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  patch_be32(img, alloc + kForkTotalBlocks, 16);
  ASSERT_EQ(probe_file(img).probe, OK);
  // The extents file must be complete in its own inline extents.
  patch_be32(img, ext + kForkTotalBlocks, L.extents_file.count + 1);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
}

TEST(HfsPlusReader, ExtentsOutsideTheVolumeAreRejected) {
  TempDir dir;
  const std::string img = dir.file("outside.img");
  const HfsPlusLayout L = build_hfsplus(img, fragmented_options());
  const uint64_t first_extent = L.header_offset() + kVhAllocationFork + kForkExtents;
  patch_be32(img, first_extent, L.total_blocks - 0);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  patch_be32(img, first_extent, 0xFFFFFFFF);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  patch_be32(img, first_extent, L.allocation_extents[0].start);
  patch_be32(img, L.overflow_records[0] + 12, L.total_blocks - 1);
  patch_be32(img, L.overflow_records[0] + 16, 2);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
}

TEST(HfsPlusReader, BlocksTheAllocationFileDoesNotReachAreUsed) {
  TempDir dir;
  const std::string img = dir.file("short.img");
  HfsPlusOptions o;
  o.block_size = 512;
  o.volume_bytes = 32 * kMiB;  // 65536 blocks need 16 bitmap blocks
  const HfsPlusLayout L = build_hfsplus(img, o);
  const uint64_t alloc = L.header_offset() + kVhAllocationFork;
  patch_be32(img, alloc + kForkTotalBlocks, 4);
  patch_be32(img, alloc + kForkExtents + 4, 4);
  const ReaderResult r = probe_file(img);
  ASSERT_EQ(r.probe, OK);
  const uint32_t reach = 4 * 512 * 8;
  for (uint32_t b = 0; b < L.total_blocks; ++b) ASSERT_EQ(r.used(b), b >= reach || L.used[b]) << b;
}

TEST(HfsPlusReader, MarkWritesOnlyItsRangeAtTheBitIndex) {
  TempDir dir;
  const std::string img = dir.file("range.img");
  const HfsPlusLayout L = build_hfsplus(img, fragmented_options());
  ErrorCode err;
  auto state = probe_state(img, err);
  ASSERT_EQ(err, OK);
  for (uint8_t fill : {0x00, 0xFF}) {
    std::vector<uint8_t> bits(16, fill);
    ASSERT_EQ(kHfsPlusReader.mark(*state, 49990, 37, bits, 5), OK);
    for (uint32_t i = 0; i < 128; ++i) {
      if (i < 5 || i >= 42)
        EXPECT_EQ(test_bit(bits, i), fill != 0) << i;
      else
        EXPECT_EQ(test_bit(bits, i), L.used[49990 + i - 5]) << i;
    }
    EXPECT_EQ(kHfsPlusReader.mark(*state, 0, 200, bits, 0), ERR_UNSUPPORTED);
  }
}

// ---- Journal and clean unmount --------------------------------------------------------------

TEST(HfsPlusReader, JournalWithPendingTransactionsIsNotTrusted) {
  TempDir dir;
  const std::string img = dir.file("jnl.img");
  HfsPlusOptions o;
  o.journal = HfsJournal::kClean;
  HfsPlusLayout L = build_hfsplus(img, o);
  expect_map_follows_layout(probe_file(img), L);

  o.journal = HfsJournal::kPending;
  L = build_hfsplus(img, o);
  EXPECT_EQ(probe_file(img).probe, ERR_FILE_SYSTEM);
  // The same header written by a big-endian machine.
  patch_file(img, L.journal_header, {0x4A, 0x4E, 0x4C, 0x78, 0x12, 0x34, 0x56, 0x78, 0, 0, 0,    0,
                                0,    0,    2,    0,    0,    0,    0,    0,    0, 0, 0x12, 0});
  EXPECT_EQ(probe_file(img).probe, ERR_FILE_SYSTEM);
  patch_file(img, L.journal_header + 16, {0, 0, 0, 0, 0, 0, 2, 0});
  EXPECT_EQ(probe_file(img).probe, OK);
  // An unreadable journal header, or a journal on another device, cannot vouch for anything.
  patch_file(img, L.journal_header, {0, 0, 0, 0});
  EXPECT_EQ(probe_file(img).probe, ERR_FILE_SYSTEM);
  patch_be32(img, L.block_offset(L.journal_info_block), 2);
  EXPECT_EQ(probe_file(img).probe, ERR_FILE_SYSTEM);
  // A journal that is still to be initialised holds nothing to replay.
  patch_be32(img, L.block_offset(L.journal_info_block), 5);
  EXPECT_EQ(probe_file(img).probe, OK);
  patch_be32(img, L.header_offset() + 12, L.total_blocks);  // info block outside the volume
  EXPECT_EQ(probe_file(img).probe, ERR_FILE_SYSTEM);
}

TEST(HfsPlusReader, UncleanOrInconsistentVolumeIsNotTrusted) {
  TempDir dir;
  const std::string img = dir.file("dirty.img");
  HfsPlusOptions o;
  o.clean_unmount = false;
  HfsPlusLayout L = build_hfsplus(img, o);
  EXPECT_EQ(probe_file(img).probe, ERR_FILE_SYSTEM);
  patch_be32(img, L.header_offset() + kVhAttributes, 0x100 | 0x800);
  EXPECT_EQ(probe_file(img).probe, ERR_FILE_SYSTEM);
  patch_be32(img, L.header_offset() + kVhAttributes, 0x100);
  EXPECT_EQ(probe_file(img).probe, OK);
}

// ---- Damaged volume header and trees ----------------------------------------------------------

TEST(HfsPlusDamage, ForeignOrMissingSignature) {
  TempDir dir;
  const std::string img = dir.file("sig.img");
  const HfsPlusLayout L = build_hfsplus(img, {});
  for (uint16_t sig : {0x4244 /* HFS wrapper */, 0x2B48, 0x0000}) {
    patch_be16(img, L.header_offset(), sig);
    const ReaderResult r = probe_file(img);
    EXPECT_EQ(r.probe, ERR_LAYOUT) << sig;
    EXPECT_TRUE(r.bitmap.empty());
  }
  ErrorCode err;
  EXPECT_EQ(probe_state(img, err), nullptr);
  EXPECT_EQ(err, ERR_LAYOUT);
}

TEST(HfsPlusDamage, AbsurdBlockSizeOrBlockCount) {
  TempDir dir;
  const std::string img = dir.file("geo.img");
  const HfsPlusLayout L = build_hfsplus(img, {});
  const uint64_t vh = L.header_offset();
  for (uint32_t bs : {0u, 256u, 4095u, 6144u, 0x80000000u, 0xFFFFFFFFu}) {
    patch_be32(img, vh + kVhBlockSize, bs);
    EXPECT_EQ(probe_file(img).probe, ERR_LAYOUT) << bs;
  }
  patch_be32(img, vh + kVhBlockSize, 4096);
  for (uint32_t total : {0u, 4097u, 0xFFFFFFFFu}) {
    patch_be32(img, vh + kVhTotalBlocks, total);
    EXPECT_EQ(probe_file(img).probe, ERR_LAYOUT) << total;
  }
  patch_be32(img, vh + kVhTotalBlocks, 4096);
  EXPECT_EQ(probe_file(img).probe, OK);
  // Fork block counts larger than the volume.
  patch_be32(img, vh + kVhAllocationFork + kForkTotalBlocks, 0xFFFFFFFF);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
}

TEST(HfsPlusDamage, TruncatedVolume) {
  TempDir dir;
  const std::string img = dir.file("cut.img");
  build_hfsplus(img, fragmented_options());
  std::filesystem::resize_file(img, 16 * kMiB);
  EXPECT_EQ(probe_file(img).probe, ERR_LAYOUT);
  std::filesystem::resize_file(img, 1500);
  EXPECT_EQ(probe_file(img).probe, ERR_LAYOUT);
  // A region that claims more than the image holds: the reads fail.
  build_hfsplus(img, fragmented_options());
  std::filesystem::resize_file(img, 10000);
  DiskImage image;
  ASSERT_EQ(open_flat(image, img, true, 0, DiskGeometry{10000 / 512, 255, 63, 512}), OK);
  std::unique_ptr<ReaderState> state;
  EXPECT_NE(kHfsPlusReader.probe(image, 0, 65536, state), OK);
  EXPECT_EQ(state, nullptr);
}

TEST(HfsPlusDamage, ExtentsTreeHeaderChecks) {
  TempDir dir;
  const std::string img = dir.file("hdr.img");
  const HfsPlusLayout L = build_hfsplus(img, fragmented_options());
  const uint64_t node0 = L.extents_nodes[0].offset;
  const std::vector<uint8_t> original = read_range(img, node0, 512);
  struct Case {
    uint64_t at;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {4, {0, 0, 0, 1}},             // backward link
      {8, {0}},                      // kind index
      {10, {0, 2}},                  // record count
      {kHdrRoot, {0, 0, 0, 0}},      // no root
      {kHdrRoot, {0, 0, 1, 0}},      // root beyond the nodes
      {kHdrNodeSize, {0x01, 0x00}},  // 256
      {kHdrNodeSize, {0x03, 0x00}},  // 768
      {kHdrNodeSize, {0x00, 0x00}},
      {kHdrMaxKeyLength, {0, 13}},
      {kHdrMaxKeyLength, {0, 8}},  // every key is longer
      {kHdrTotalNodes, {0, 0, 0, 0}},
      {kHdrTotalNodes, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    patch_file(img, node0 + c.at, c.bytes);
    EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT) << "offset " << c.at;
    patch_file(img, node0, original);
  }
  // One node more than the file holds.
  patch_be32(img, node0 + kHdrTotalNodes, L.extents_file.count * L.block_size / 512 + 1);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  patch_file(img, node0, original);
  EXPECT_EQ(probe_file(img).probe, OK);
}

TEST(HfsPlusDamage, NodeRecordsOutOfBounds) {
  TempDir dir;
  const std::string img = dir.file("rec.img");
  const HfsPlusLayout L = build_hfsplus(img, fragmented_options());
  const uint64_t leaf = L.extents_nodes[1].offset;
  const std::vector<uint8_t> original = read_range(img, leaf, 512);
  const std::vector<std::pair<uint64_t, std::vector<uint8_t>>> cases = {
      {10, {0xFF, 0xFF}},                        // record count beyond the node
      {10, {0, 0}},                              // no record
      {510, {0x02, 0x00}},                       // offset at the node size
      {510, {0xFF, 0xFF}}, {510, {0x01, 0xF0}},  // record runs into the offset table
      {510, {0x00, 0x02}},                       // inside the descriptor
      {14, {0xFF, 0xFF}},                        // key length
      {8, {0x00}},  // an index node where a leaf is due: its child is garbage
      {8, {0x01}},
  };
  for (const auto& [at, bytes] : cases) {
    patch_file(img, leaf + at, bytes);
    EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT) << "offset " << at;
    patch_file(img, leaf, original);
  }
  EXPECT_EQ(probe_file(img).probe, OK);
}

TEST(HfsPlusDamage, NodesPointingToThemselvesEnd) {
  TempDir dir;
  const std::string img = dir.file("loop.img");
  HfsPlusOptions o;
  o.block_size = 512;
  o.volume_bytes = 4 * kMiB;
  o.allocation_extra_blocks = 63;
  o.allocation_fragments = 64;
  o.extents_node_size = 512;
  o.extents_min_nodes = 8;
  const HfsPlusLayout L = build_hfsplus(img, o);
  ASSERT_EQ(L.extents_nodes.size(), 4u);
  uint32_t alloc_blocks = 0;
  for (const auto& e : L.allocation_extents) alloc_blocks += e.count;
  const HfsPlusNode leaf1 = L.extents_nodes[1], leaf2 = L.extents_nodes[2],
                    index = L.extents_nodes[3];
  ASSERT_EQ(probe_file(img).probe, OK);
  // Leaf 1 leads to itself instead of leaf 2.
  patch_be32(img, leaf1.offset, leaf1.number);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  // Leaf 1 and leaf 2 lead to each other and the fork wants more than they hold.
  patch_be32(img, leaf1.offset, leaf2.number);
  patch_be32(img, leaf2.offset, leaf1.number);
  patch_be32(img, L.header_offset() + kVhAllocationFork + kForkTotalBlocks, alloc_blocks + 1);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  patch_be32(img, L.header_offset() + kVhAllocationFork + kForkTotalBlocks, alloc_blocks);
  patch_be32(img, leaf2.offset, 0);
  ASSERT_EQ(probe_file(img).probe, OK);
  // Leaves without records that lead to themselves, or to each other, after the first leaf.
  const std::vector<uint8_t> leaf2_original = read_range(img, leaf2.offset, 512);
  patch_file(img, leaf2.offset + 10, {0, 0});
  patch_be32(img, leaf2.offset, leaf2.number);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  const uint64_t spare = L.extents_nodes[0].offset + 5 * 512;  // node 5, free
  std::vector<uint8_t> empty_leaf(512, 0);
  empty_leaf[8] = 0xFF;
  empty_leaf[9] = 1;
  empty_leaf[3] = static_cast<uint8_t>(leaf2.number);
  empty_leaf[511] = 14;
  patch_file(img, spare, empty_leaf);
  patch_be32(img, leaf2.offset, 5);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  patch_file(img, leaf2.offset, leaf2_original);
  ASSERT_EQ(probe_file(img).probe, OK);
  // The index node's first child is the index node itself.
  patch_be32(img, index.offset + 14 + 12, index.number);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
  // An index node whose child is another index node that points back: the descent is bounded.
  patch_file(img, leaf1.offset + 8, {0x00});
  patch_be32(img, leaf1.offset + 14 + 12, index.number);
  patch_be32(img, index.offset + 14 + 12, leaf1.number);
  EXPECT_EQ(probe_file(img).probe, ERR_BAD_FORMAT);
}

// Flips bytes of the volume header and of every node of a two-level extents tree; whatever the
// outcome, the probe returns, and a volume it accepts answers every sector.
TEST(HfsPlusDamage, ByteFlipCampaign) {
  TempDir dir;
  const std::string img = dir.file("flip.img");
  HfsPlusOptions o;
  o.block_size = 512;
  o.volume_bytes = 2 * kMiB;
  o.allocation_extra_blocks = 63;
  o.allocation_fragments = 64;
  o.extents_node_size = 512;
  o.files = {{"f", 20, 10, 0}};
  const HfsPlusLayout L = build_hfsplus(img, o);
  std::vector<std::pair<uint64_t, size_t>> regions = {{L.header_offset(), 512}};
  for (const HfsPlusNode& n : L.extents_nodes) regions.push_back({n.offset, 512});
  DiskImage image;
  const uint32_t sectors = static_cast<uint32_t>(o.volume_bytes / 512);
  std::mt19937 rng(0x4858);
  int accepted = 0;
  for (int iter = 0; iter < 400; ++iter) {
    const auto [base, size] = regions[static_cast<size_t>(iter) % regions.size()];
    DamagedBytes damage(img);
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f) {
      const auto mask = static_cast<uint8_t>(1 + rng() % 255);
      damage.flip(base + rng() % size, mask);
    }
    ASSERT_EQ(open_flat(image, img, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
    std::unique_ptr<ReaderState> state;
    const ErrorCode err = kHfsPlusReader.probe(image, 0, sectors, state);
    close_image(image);
    if (err == OK) {
      ++accepted;
      ASSERT_NE(state, nullptr);
      std::vector<uint8_t> zeros(bitmap_bytes(sectors), 0x00), ones(bitmap_bytes(sectors), 0xFF);
      ASSERT_EQ(kHfsPlusReader.mark(*state, 0, sectors, zeros, 0), OK);
      ASSERT_EQ(kHfsPlusReader.mark(*state, 0, sectors, ones, 0), OK);
      ASSERT_EQ(zeros, ones) << "iteration " << iter;
      EXPECT_TRUE(test_bit(zeros, 2));  // the volume header sector
    } else {
      EXPECT_EQ(state, nullptr);
      EXPECT_TRUE(err == ERR_LAYOUT || err == ERR_BAD_FORMAT || err == ERR_UNSUPPORTED ||
                  err == ERR_FILE_SYSTEM || err == ERR_READ)
          << "iteration " << iter << ": " << err;
    }
  }
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, 400);
}

}  // namespace
}  // namespace qx
