// The NTFS reader on volumes made by mkntfs and filled by ntfscp, against The Sleuth Kit, and
// under damage: truncation, hostile runs, short bitmaps, byte flips.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "fs/ntfs/ntfs_reader.hpp"
#include "fs/reader.hpp"
#include "image/byte_order.hpp"
#include "image/primitives.hpp"
#include "ntfs_test_util.hpp"
#include "support/flip_campaign.hpp"
#include "support/fs_support.hpp"
#include "support/ntfs_builder.hpp"
#include "support/ntfs_tools.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

struct Layout {
  uint32_t cluster_size;
  uint64_t size;
};

struct BootFacts {
  uint32_t sectors_per_cluster = 0;
  uint64_t total_sectors = 0;
  uint64_t mft_offset = 0;
  uint64_t clusters() const { return total_sectors / sectors_per_cluster; }
};

BootFacts boot_facts(const std::string& path) {
  const std::vector<uint8_t> b = read_range(path, 0, 512);
  BootFacts f;
  if (b.size() != 512) return f;
  f.sectors_per_cluster = b[13];
  f.total_sectors = le64(&b[40]);
  f.mft_offset = le64(&b[48]) * f.sectors_per_cluster * 512;
  return f;
}

// Files in, two emptied (their clusters freed with old data left), then a file that fills the
// holes in pieces.
void populate(const std::string& path, uint32_t cluster_size) {
  const uint64_t big = cluster_size >= 65536 ? 4u << 20 : 2u << 20;
  ASSERT_TRUE(ntfs_add_file(path, "empty.txt", 0, 1));
  ASSERT_TRUE(ntfs_add_file(path, "tiny.txt", 100, 2));  // resident: no cluster of its own
  ASSERT_TRUE(ntfs_add_file(path, "small.bin", 5000, 3));
  ASSERT_TRUE(ntfs_add_file(path, "gone1.bin", 700000, 4));
  ASSERT_TRUE(ntfs_add_file(path, "mid.bin", 300000, 5));
  ASSERT_TRUE(ntfs_add_file(path, "gone2.bin", 123457, 6));
  ASSERT_TRUE(ntfs_add_file(path, "big.bin", big, 7));
  ASSERT_TRUE(ntfs_add_file(path, "gone3.bin", 400000, 8));
  ASSERT_TRUE(ntfs_empty_file(path, "gone1.bin"));
  ASSERT_TRUE(ntfs_empty_file(path, "gone3.bin"));
  ASSERT_TRUE(ntfs_add_file(path, "frag.bin", 900000, 9));
  ASSERT_TRUE(ntfs_add_file(path, "last.bin", 40000, 10));
}

// Every sector of a cluster the oracle calls allocated is used, every sector of a free one is
// free; the sectors behind the last whole cluster (the backup boot sector) are always used.
void expect_matches_oracle(const std::string& path) {
  const ReaderResult r = map_volume_file(path, KIND_NTFS);
  ASSERT_EQ(r.probe, OK);
  ASSERT_EQ(r.mark, OK);
  const OracleAllocation oracle = run_blkls(path, "ntfs");
  ASSERT_FALSE(oracle.state.empty()) << "blkls failed";
  EXPECT_EQ(oracle.unit, "Cluster");
  const BootFacts boot = boot_facts(path);
  ASSERT_EQ(oracle.state.size(), boot.clusters());
  uint64_t wrong = 0, allocated = 0, free_dirty = 0;
  const std::vector<uint8_t> data = read_range(path, 0, std::filesystem::file_size(path));
  for (uint64_t c = 0; c < oracle.state.size(); ++c) {
    const bool used = oracle.state[c] == 'a';
    ASSERT_TRUE(used || oracle.state[c] == 'f') << "cluster " << c;
    allocated += used;
    for (uint64_t s = c * boot.sectors_per_cluster; s < (c + 1) * boot.sectors_per_cluster; ++s) {
      if (r.used(s) != used && wrong++ < 5) ADD_FAILURE() << "cluster " << c << " sector " << s;
      if (!used && !is_all_zero(std::span(data).subspan(s * 512, 512))) ++free_dirty;
    }
  }
  EXPECT_EQ(wrong, 0u);
  for (uint64_t s = boot.clusters() * boot.sectors_per_cluster; s < r.sectors; ++s)
    EXPECT_TRUE(r.used(s)) << "behind the last cluster: " << s;
  EXPECT_GT(allocated, 0u);
  EXPECT_GT(free_dirty, 0u) << "the free space should hold old data";
}

std::string layout_name(const ::testing::TestParamInfo<Layout>& info) {
  return "c" + std::to_string(info.param.cluster_size) + "_" + std::to_string(info.param.size >> 20) + "MiB";
}

class NtfsVolume : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    if (!have_ntfs_tools()) GTEST_SKIP() << "ntfs-3g tools missing";
  }
};

TEST_P(NtfsVolume, MatchesTheSleuthKit) {
  if (!have_tool("blkls")) GTEST_SKIP() << "blkls missing";
  TempDir dir;
  const std::string path = dir.file("ntfs.img");
  ASSERT_TRUE(make_ntfs_volume(path, GetParam().size, GetParam().cluster_size));
  {
    SCOPED_TRACE("fresh");
    expect_matches_oracle(path);
  }
  populate(path, GetParam().cluster_size);
  SCOPED_TRACE("filled");
  expect_matches_oracle(path);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, NtfsVolume,
                         ::testing::Values(Layout{512, 16u << 20}, Layout{1024, 16u << 20},
                                           Layout{4096, 32u << 20}, Layout{65536, 64u << 20}),
                         layout_name);

// ---- damaged volumes made by the tools ------------------------------------------------------

class NtfsDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ntfs_tools()) GTEST_SKIP() << "ntfs-3g tools missing";
    path_ = dir_.file("ntfs.img");
    ASSERT_TRUE(make_ntfs_volume(path_, 16u << 20, 4096));
    populate(path_, 4096);
    boot_ = boot_facts(path_);
    baseline_ = map_volume_file(path_, KIND_NTFS);
    ASSERT_EQ(baseline_.probe, OK);
  }

  // Record n (unprotected), assuming the table's first records lie in its first run, as mkntfs
  // makes them.
  std::vector<uint8_t> record(uint32_t n) {
    std::vector<uint8_t> r = read_range(path_, boot_.mft_offset + n * 1024ull, 1024);
    unprotect_ntfs_record(r);
    return r;
  }
  void put_record(uint32_t n, std::vector<uint8_t> r) {
    protect_ntfs_record(r, le16(&r[le16(&r[4])]));
    patch_file(path_, boot_.mft_offset + n * 1024ull, r);
  }
  // Offset of the first attribute of that type in an unprotected record.
  static size_t attribute_at(const std::vector<uint8_t>& r, uint32_t type) {
    size_t pos = le16(&r[20]);
    while (pos + 8 <= r.size() && le32(&r[pos]) != 0xFFFFFFFF) {
      if (le32(&r[pos]) == type) return pos;
      pos += le32(&r[pos + 4]);
    }
    ADD_FAILURE() << "no attribute " << type;
    return 0;
  }

  TempDir dir_;
  std::string path_;
  BootFacts boot_;
  ReaderResult baseline_;
};

TEST_F(NtfsDamage, TruncatedVolumeIsNotVouchedFor) {
  // Losing only the backup boot sector leaves the file system whole.
  std::filesystem::resize_file(path_, boot_.total_sectors * 512);
  EXPECT_EQ(map_volume_file(path_, KIND_NTFS).probe, OK);
  std::filesystem::resize_file(path_, boot_.total_sectors * 512 - 512);
  EXPECT_EQ(map_volume_file(path_, KIND_NTFS).probe, ERR_LAYOUT);
  std::filesystem::resize_file(path_, 8u << 20);
  EXPECT_EQ(map_volume_file(path_, KIND_NTFS).probe, ERR_LAYOUT);
}

TEST_F(NtfsDamage, ShapeAndUpdateSequenceOfTheRealRecords) {
  const std::vector<uint8_t> r0 = read_range(path_, boot_.mft_offset, 1024);
  std::vector<uint8_t> changed = record(0);
  changed[attribute_at(changed, 0x10)] = 0x20;  // an attribute list first
  put_record(0, changed);
  EXPECT_EQ(map_volume_file(path_, KIND_NTFS).probe, ERR_BAD_RECORD);
  patch_file(path_, boot_.mft_offset, r0);
  ASSERT_EQ(map_volume_file(path_, KIND_NTFS).probe, OK);

  patch_le(path_, boot_.mft_offset + 6 * 1024 + 1022, 0xBEEF, 2);
  EXPECT_EQ(map_volume_file(path_, KIND_NTFS).probe, ERR_BAD_RECORD);
}

TEST_F(NtfsDamage, BitmapRunBeyondTheDisk) {
  std::vector<uint8_t> r = record(6);
  const size_t data = attribute_at(r, 0x80);
  const size_t runs = data + le16(&r[data + 32]);
  ASSERT_GE(le32(&r[data + 4]), runs - data + 6);
  const uint64_t beyond = boot_.clusters() + 16;
  const std::vector<uint8_t> list = {0x31, 0x01, uint8_t(beyond), uint8_t(beyond >> 8), uint8_t(beyond >> 16), 0};
  std::copy(list.begin(), list.end(), r.begin() + static_cast<long>(runs));
  put_record(6, r);
  EXPECT_EQ(map_volume_file(path_, KIND_NTFS).probe, ERR_BAD_RECORD);
}

TEST_F(NtfsDamage, BitmapShorterThanTheClusterCount) {
  std::vector<uint8_t> r = record(6);
  const size_t data = attribute_at(r, 0x80);
  const uint64_t half = boot_.clusters() / 16;  // bytes for half the clusters
  for (size_t field : {48, 56}) store_le<uint64_t>(&r[data + field], half);
  put_record(6, r);
  const ReaderResult cut = map_volume_file(path_, KIND_NTFS);
  ASSERT_EQ(cut.probe, OK);
  const uint64_t described = half * 8 * boot_.sectors_per_cluster;
  for (uint64_t s = 0; s < cut.sectors; ++s) {
    if (s < described) ASSERT_EQ(cut.used(s), baseline_.used(s)) << s;
    else ASSERT_TRUE(cut.used(s)) << s;
  }
}

// The clusters of one attribute of a file record, from istat.
std::vector<uint64_t> attribute_clusters(const std::string& path, uint32_t record, const std::string& type) {
  const CommandResult r = run_command("istat -f ntfs " + shell_quote(path) + " " + std::to_string(record) +
                                      " 2>/dev/null");
  std::istringstream in(r.output);
  std::string line;
  bool inside = false;
  std::vector<uint64_t> clusters;
  while (std::getline(in, line)) {
    if (line.rfind("Type:", 0) == 0) {
      inside = line.find(type) != std::string::npos;
      continue;
    }
    if (!inside) continue;
    std::istringstream words(line);
    uint64_t c;
    while (words >> c)
      if (c) clusters.push_back(c);
  }
  return clusters;
}

// The bytes whose change may change the answer: the boot sector, records 0, 3, 5 and 6, then the
// bitmap's clusters and the root folder's index blocks.
std::vector<std::pair<uint64_t, uint64_t>> relevant_ranges(const std::string& path, const BootFacts& boot) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges = {{0, 512}};
  for (uint64_t n : {0, 3, 5, 6}) ranges.push_back({boot.mft_offset + n * 1024, boot.mft_offset + n * 1024 + 1024});
  const uint64_t cluster = boot.sectors_per_cluster * 512ull;
  std::vector<uint64_t> clusters = attribute_clusters(path, 6, "$DATA");
  for (uint64_t c : attribute_clusters(path, 5, "$INDEX_ALLOCATION")) clusters.push_back(c);
  for (uint64_t c : clusters) ranges.push_back({c * cluster, (c + 1) * cluster});
  return ranges;
}

TEST_F(NtfsDamage, ByteFlipCampaign) {
  if (!have_tool("istat")) GTEST_SKIP() << "istat missing";
  const auto relevant = relevant_ranges(path_, boot_);
  ASSERT_GT(relevant.size(), 6u) << "the bitmap's clusters";
  std::mt19937_64 rng(0x4E544653);
  int accepted = 0, refused = 0;
  const uint64_t behind = boot_.clusters() * boot_.sectors_per_cluster;
  auto flip_at = [&](uint64_t offset) {
    DamagedBytes damage(path_);
    damage.flip(offset, static_cast<uint8_t>(1 + rng() % 255));
    const ReaderResult r = map_volume_file(path_, KIND_NTFS);
    damage.restore();
    bool matters = false;
    for (const auto& [from, to] : relevant) matters |= offset >= from && offset < to;
    if (r.probe != OK) {
      ++refused;
      EXPECT_NE(r.probe, ERR_NO_MEMORY) << "offset " << offset;
      EXPECT_TRUE(matters) << "refused after a flip at " << offset;
      return;
    }
    ++accepted;
    ASSERT_EQ(r.mark, OK);
    for (uint64_t s = behind; s < r.sectors; ++s) ASSERT_TRUE(r.used(s));
    if (!matters) {
      EXPECT_EQ(r.bitmap, baseline_.bitmap) << "answer changed by a flip at " << offset;
    }
  };
  for (int i = 0; i < 300; ++i) flip_at(rng() % (1u << 20));
  for (int i = 0; i < 300; ++i) flip_at(boot_.mft_offset + rng() % (16 * 1024));
  // Aimed at the bytes that matter: the probe must refuse or answer, never break.
  for (int i = 0; i < 200; ++i) {
    const auto& [from, to] = relevant[rng() % 5];
    flip_at(from + rng() % (to - from));
  }
  // And at the bitmap's clusters and the root folder's index blocks.
  for (int i = 0; i < 100; ++i) {
    const auto& [from, to] = relevant[5 + rng() % (relevant.size() - 5)];
    flip_at(from + rng() % (to - from));
  }
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
}

// ---- volumes Windows may not have finished writing ------------------------------------------

TEST_F(NtfsDamage, DirtyFlagRefusesTheVolume) {
  std::vector<uint8_t> r = record(3);
  const size_t info = attribute_at(r, 0x70);
  const size_t flags = info + le16(&r[info + 20]) + 10;
  ASSERT_EQ(le32(&r[info + 16]), 12u);
  ASSERT_EQ(le16(&r[flags]) & 1, 0) << "mkntfs and ntfscp leave the volume clean";
  store_le<uint16_t>(&r[flags], le16(&r[flags]) | 1);
  put_record(3, r);
  EXPECT_EQ(map_volume_file(path_, KIND_NTFS).probe, ERR_LAYOUT);
  store_le<uint16_t>(&r[flags], le16(&r[flags]) & ~1);
  put_record(3, r);
  const ReaderResult clean = map_volume_file(path_, KIND_NTFS);
  ASSERT_EQ(clean.probe, OK);
  EXPECT_EQ(clean.bitmap, baseline_.bitmap);
}

class NtfsHibernation : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    if (!have_ntfs_tools()) GTEST_SKIP() << "ntfs-3g tools missing";
  }
};

// Enough long names that the root folder's index spreads over several blocks, the hibernation
// file among them; ntfs-3g refuses the hibernated volume too.
TEST_P(NtfsHibernation, HibernationFileInABusyRootFolder) {
  if (!have_tool("istat")) GTEST_SKIP() << "istat missing";
  TempDir dir;
  const std::string path = dir.file("ntfs.img");
  ASSERT_TRUE(make_ntfs_volume(path, GetParam().size, GetParam().cluster_size));
  for (int i = 0; i < 24; ++i) {
    const std::string name = "a rather long name that fills the folder index quickly " + std::to_string(i);
    ASSERT_TRUE(ntfs_add_file(path, name, 100, static_cast<uint8_t>(i)));
  }
  std::vector<uint8_t> content(256 * 1024, 0);
  content.back() = 1;
  ASSERT_TRUE(ntfs_put_file(path, "hiberfil.sys", content));
  const std::string root = run_command("istat -f ntfs " + shell_quote(path) + " 5").output;
  const size_t allocation = root.find("$INDEX_ALLOCATION");
  ASSERT_NE(allocation, std::string::npos);
  EXPECT_GE(std::stoull(root.substr(root.find("size: ", allocation) + 6)), 3 * 4096u) << "several index blocks";
  const ReaderResult zeros = map_volume_file(path, KIND_NTFS);
  ASSERT_EQ(zeros.probe, OK) << "a hibernation file without its mark";

  std::copy_n("HIBR", 4, content.begin());
  ASSERT_TRUE(ntfs_put_file(path, "hiberfil.sys", content));
  EXPECT_EQ(map_volume_file(path, KIND_NTFS).probe, ERR_LAYOUT);
  EXPECT_FALSE(ntfs_add_file(path, "after.txt", 10, 1)) << "ntfs-3g mounted a hibernated volume";

  // Resident, in capitals, and "wake".
  ASSERT_TRUE(make_ntfs_volume(path, GetParam().size, GetParam().cluster_size));
  ASSERT_TRUE(ntfs_put_file(path, "HIBERFIL.SYS", {'w', 'a', 'k', 'e', 0, 0, 0, 0}));
  EXPECT_EQ(map_volume_file(path, KIND_NTFS).probe, ERR_LAYOUT);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, NtfsHibernation,
                         ::testing::Values(Layout{512, 16u << 20}, Layout{4096, 16u << 20},
                                           Layout{65536, 64u << 20}),
                         layout_name);

// ---- in the used-sector map -----------------------------------------------------------------

// A disk whose MBR holds one partition of `type` at sector 2048 with the volume's contents.
std::string mbr_disk(const TempDir& dir, const std::string& volume, uint8_t type, uint32_t& sectors) {
  const std::string disk = dir.file("disk.img");
  const uint64_t vol_sectors = std::filesystem::file_size(volume) / 512;
  sectors = static_cast<uint32_t>(2048 + vol_sectors + 2048);
  make_sparse_file(disk, uint64_t{sectors} * 512);
  patch_file(disk, 2048 * 512ull, read_range(volume, 0, std::filesystem::file_size(volume)));
  std::vector<uint8_t> mbr(512, 0);
  mbr[446 + 4] = type;
  store_le<uint32_t>(&mbr[446 + 8], 2048);
  store_le<uint32_t>(&mbr[446 + 12], static_cast<uint32_t>(vol_sectors));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  patch_file(disk, 0, mbr);
  return disk;
}

const VolumeEntry* entry_at(const UsageMap& map, uint32_t start) {
  for (const VolumeEntry& e : map.volumes)
    if (e.start == start) return &e;
  return nullptr;
}

TEST(NtfsInTheMap, PartitionOfType07) {
  if (!have_ntfs_tools()) GTEST_SKIP() << "ntfs-3g tools missing";
  TempDir dir;
  const std::string vol = dir.file("ntfs.img");
  ASSERT_TRUE(make_ntfs_volume(vol, 16u << 20, 4096));
  populate(vol, 4096);
  const ReaderResult alone = map_volume_file(vol, KIND_NTFS);
  ASSERT_EQ(alone.probe, OK);
  uint32_t sectors = 0;
  const std::string disk = mbr_disk(dir, vol, 0x07, sectors);
  DiskImage image;
  ASSERT_EQ(open_flat(image, disk, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
  ErrorCode error = OK;
  uint32_t recognised = 0;
  const auto map = build_usage_map(image, error, recognised);
  ASSERT_EQ(error, OK);
  const VolumeEntry* e = entry_at(*map, 2048);
  if (!e) GTEST_SKIP() << "partition tables are not read yet";
  EXPECT_EQ(e->kind, KIND_NTFS);
  std::vector<uint8_t> bits(bitmap_bytes(sectors));
  ASSERT_EQ(query_used(*map, 0, sectors, bits), OK);
  for (uint32_t s = 0; s < sectors; ++s) {
    const bool expected = s < 2048 || s >= 2048 + alone.sectors || alone.used(s - 2048);
    ASSERT_EQ(test_bit(bits, s), expected) << s;
  }
}

TEST(NtfsInTheMap, FatInAType07PartitionFallsThrough) {
  if (!have_tool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
  TempDir dir;
  const std::string vol = dir.file("fat.img");
  make_dirty_file(vol, 16u << 20);
  ASSERT_EQ(run_command("mkfs.fat -F 16 " + shell_quote(vol) + " >/dev/null 2>&1").status, 0);
  uint32_t sectors = 0;
  const std::string disk = mbr_disk(dir, vol, 0x07, sectors);
  DiskImage image;
  ASSERT_EQ(open_flat(image, disk, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
  ErrorCode error = OK;
  uint32_t recognised = 0;
  const auto map = build_usage_map(image, error, recognised);
  ASSERT_EQ(error, OK);
  const VolumeEntry* e = entry_at(*map, 2048);
  if (!e) GTEST_SKIP() << "partition tables are not read yet";
  EXPECT_NE(e->kind, KIND_NTFS);
  const bool fat_known = map_volume_file(vol, KIND_FAT).probe == OK;
  EXPECT_EQ(e->kind, fat_known ? KIND_FAT : KIND_UNRECOGNISED);
}

}  // namespace
}  // namespace qx::test

// ---- aged volumes: the table in several records behind an attribute list ---------------------

namespace qx::test {
namespace {

bool record_zero_has_list(const std::string& volume) {
  return run_command("ntfsinfo -i 0 " + shell_quote(volume) + " 2>/dev/null | grep -q 'ATTRIBUTE_LIST'")
             .status == 0;
}

TEST(NtfsAged, FragmentedTableMatchesTheSleuthKitAndTrims) {
  if (!have_ntfs_tools() || !have_tool("blkls") || !have_tool("qemu-img") || !have_tool("ntfsinfo"))
    GTEST_SKIP() << "ntfs-3g tools, blkls or qemu-img missing";
  TempDir dir;
  const std::string vol = dir.file("aged.img");
  const std::string made = make_aged_ntfs_volume(vol);
  if (made.empty()) GTEST_SKIP() << "ntfs-3g cannot mount here";
  ASSERT_EQ(made, "ok");
  ASSERT_TRUE(record_zero_has_list(vol)) << "the aging did not spread the table over records";
  expect_matches_oracle(vol);

  // The same volume in a disk, trimmed as a VHD: every used sector reads back, ntfsfix agrees.
  const ReaderResult alone = map_volume_file(vol, KIND_NTFS);
  ASSERT_EQ(alone.probe, OK);
  uint32_t sectors = 0;
  const std::string disk = mbr_disk(dir, vol, 0x07, sectors);
  const std::string image = dir.file("disk.vhd");
  ASSERT_EQ(run_command("qemu-img convert -S 0 -f raw -O vpc -o subformat=dynamic " + shell_quote(disk) +
                        " " + shell_quote(image))
                .status,
            0);
  const uint64_t before = std::filesystem::file_size(image);
  const CommandResult r = run_command(shell_quote(quorvex_binary()) + " -d " + shell_quote(image));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_LE(std::filesystem::file_size(image), before);
  const std::string after = dir.file("after.raw");
  ASSERT_EQ(run_command("qemu-img convert -f vpc -O raw " + shell_quote(image) + " " + shell_quote(after)).status, 0);
  const std::vector<uint8_t> old_bytes = read_range(vol, 0, std::filesystem::file_size(vol));
  const std::vector<uint8_t> new_bytes = read_range(after, 2048 * 512ull, old_bytes.size());
  ASSERT_EQ(new_bytes.size(), old_bytes.size());
  uint64_t changed = 0;
  for (uint64_t s = 0; s < alone.sectors; ++s)
    changed += alone.used(s) && std::memcmp(&old_bytes[s * 512], &new_bytes[s * 512], 512) != 0;
  EXPECT_EQ(changed, 0u);
  write_file(dir.file("after.vol"), new_bytes);
  const CommandResult fix = run_command("ntfsfix -n " + shell_quote(dir.file("after.vol")) + " 2>&1");
  EXPECT_EQ(fix.status, 0) << fix.output;
}

// Record 0 of a built volume rewritten to hold its data in pieces: the first in record 0, the
// rest in extension records 12 and 13, all named by a resident attribute list.
struct ListShape {
  std::vector<std::pair<uint64_t, NtfsRun>> pieces;  // (record, run) in list order; VCNs follow
  uint64_t extension_base = 0;                       // what the extensions name as their base
  std::vector<uint64_t> vcns;                        // the list's lowest VCNs; default: running
  bool name_in_extension = false;
};

std::vector<uint8_t> list_entry(uint32_t type, uint64_t vcn, uint64_t reference) {
  std::vector<uint8_t> e(32, 0);
  store_le<uint32_t>(&e[0], type);
  store_le<uint16_t>(&e[4], 32);
  store_le<uint64_t>(&e[8], vcn);
  store_le<uint64_t>(&e[16], reference);
  return e;
}

NtfsVolumeSpec listed_spec(const ListShape& shape) {
  NtfsVolumeSpec s = basic_ntfs_spec();
  s.mft_runs.clear();
  for (const auto& p : shape.pieces) s.mft_runs.push_back(p.second);
  const uint64_t seq1 = uint64_t{1} << 48;
  std::vector<uint8_t> list;
  auto add = [&](const std::vector<uint8_t>& e) { list.insert(list.end(), e.begin(), e.end()); };
  add(list_entry(0x10, 0, seq1));
  add(list_entry(0x30, 0, (shape.name_in_extension ? 12 : 0) | seq1));
  uint64_t vcn = 0, total = 0;
  for (size_t i = 0; i < shape.pieces.size(); ++i) {
    const uint64_t at = i < shape.vcns.size() ? shape.vcns[i] : vcn;
    add(list_entry(0x80, at, shape.pieces[i].first | seq1));
    vcn += shape.pieces[i].second.length;
  }
  total = vcn;
  std::vector<std::vector<uint8_t>> base = {ntfs_resident_attribute(0x10, std::vector<uint8_t>(72, 0)),
                                            ntfs_resident_attribute(0x20, list)};
  std::map<uint64_t, std::vector<std::vector<uint8_t>>> extensions;
  if (shape.name_in_extension) extensions[12].push_back(ntfs_resident_attribute(0x30, ntfs_file_name_value("$MFT")));
  else base.push_back(ntfs_resident_attribute(0x30, ntfs_file_name_value("$MFT")));
  vcn = 0;
  for (const auto& [record, run] : shape.pieces) {
    NtfsNonResident d;
    d.runs = encode_ntfs_runs({run});
    d.clusters = run.length;
    d.data_size = vcn == 0 ? total * 4096 : 0;
    d.initialized_size = d.data_size;
    auto a = ntfs_nonresident_attribute(d);
    store_le<uint64_t>(&a[16], vcn);                   // first VCN
    store_le<uint64_t>(&a[24], vcn + run.length - 1);  // last VCN
    store_le<uint64_t>(&a[40], vcn == 0 ? total * 4096 : 0);  // allocated size
    (record == 0 ? base : extensions[record]).push_back(a);
    vcn += run.length;
  }
  s.record0 = ntfs_file_record(1024, 0, base);
  s.mft_records = static_cast<uint32_t>(total * 4);
  for (auto& [record, attributes] : extensions) {
    auto r = ntfs_file_record(1024, static_cast<uint32_t>(record), attributes);
    store_le<uint64_t>(&r[32], shape.extension_base);
    s.records.push_back({static_cast<uint32_t>(record), r});
  }
  for (const auto& p : shape.pieces) set_ntfs_clusters(s.bitmap, p.second.cluster, p.second.length);
  return s;
}

TEST(NtfsAttributeList, PiecesJoinOnlyWhenTheyCoverTheTable) {
  const uint64_t base_ref = uint64_t{1} << 48;  // record 0, sequence 1
  const std::vector<std::pair<uint64_t, NtfsRun>> three = {{0, {4, 4}}, {12, {300, 2}}, {13, {500, 3}}};
  struct Case {
    const char* name;
    ListShape shape;
    bool accepted;
  };
  const Case cases[] = {
      {"pieces in record 0 and two extensions", {three, base_ref, {}, false}, true},
      {"the name in an extension record", {three, base_ref, {}, true}, true},
      {"an extension that names another base", {three, base_ref + 1, {}, false}, false},
      {"an extension that names no base", {three, 0, {}, false}, false},
      {"a gap between pieces", {three, base_ref, {0, 4, 7}, false}, false},
      {"pieces that overlap", {three, base_ref, {0, 4, 5}, false}, false},
      {"two pieces in record 0", {{{0, {4, 4}}, {0, {300, 2}}}, base_ref, {}, false}, true},
      {"a piece outside the volume", {{{0, {4, 4}}, {12, {5000, 2}}}, base_ref, {}, false}, false},
      {"an extension the table does not reach", {{{0, {4, 4}}, {40, {300, 2}}}, base_ref, {}, false}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string vol = dir.file("ntfs.img");
    const NtfsVolumeSpec spec = listed_spec(c.shape);
    write_ntfs_volume(vol, spec);
    const ReaderResult r = map_volume_file(vol, KIND_NTFS);
    if (c.accepted) expect_follows_bitmap(r, 8, (spec.volume_sectors - 1) / 8, spec.bitmap);
    else EXPECT_NE(r.probe, OK);
  }
}

// Damage anywhere in the list or the extension records: refused, or the same answer.
TEST(NtfsAttributeList, ByteFlipsNeverFreeAUsedSector) {
  TempDir dir;
  const std::string vol = dir.file("ntfs.img");
  const uint64_t base_ref = uint64_t{1} << 48;
  write_ntfs_volume(vol, listed_spec({{{0, {4, 4}}, {12, {300, 2}}, {13, {500, 3}}}, base_ref, {}, true}));
  // Record 0 and the extension records 12 and 13 of the table at cluster 4.
  const FlipStats stats = run_flip_campaign(vol, KIND_NTFS, {{4 * 4096, 1024}, {4 * 4096 + 12 * 1024, 2048}},
                                            600, 7);
  EXPECT_EQ(stats.failure, "");
  EXPECT_GT(stats.accepted, 0);
}

}  // namespace
}  // namespace qx::test
