// Btrfs volumes the reader must keep whole, each with its reason: damage built by hand into a real
// volume, volumes made by btrfs-progs in shapes it does not read, and byte-flip campaigns.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "image/byte_order.hpp"
#include "support/btrfs_tools.hpp"
#include "support/disk_builder.hpp"
#include "support/flip_campaign.hpp"
#include "support/test_support.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kSuperCopies[] = {64 * 1024, 64 * kMiB};
constexpr uint64_t kSysChunkType = 0x32B + 17 + 24;  // the first system chunk's type

class BtrfsDamage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::have_btrfs_tools()) return;
    base_dir_ = new test::TempDir();
    base_ = base_dir_->file("base.btrfs");
    if (!test::make_btrfs_volume(base_, 128 * kMiB, "").empty()) base_.clear();
  }
  static void TearDownTestSuite() {
    delete base_dir_;
    base_dir_ = nullptr;
  }
  void SetUp() override {
    if (base_.empty()) GTEST_SKIP() << "btrfs-progs, root or a Btrfs-capable kernel missing";
    path_ = dir_.file("v.btrfs");
    std::filesystem::copy_file(base_, path_);
    node_size_ = test::btrfs_node_size(path_);
  }

  uint64_t read64(uint64_t offset) const {
    std::vector<uint8_t> all = test::read_file(path_);
    return le64(all.data() + offset);
  }
  void write64(uint64_t offset, uint64_t value) const {
    uint8_t bytes[8];
    store_le(bytes, value);
    test::write_at(path_, offset, bytes);
  }
  // Changes a field of every superblock copy and seals them again.
  void patch_super(uint64_t field, const std::function<uint64_t(uint64_t)>& change) const {
    for (uint64_t copy : kSuperCopies) {
      write64(copy + field, change(read64(copy + field)));
      test::reseal_btrfs_block(path_, copy, 4096);
    }
  }
  // Changes every copy of a tree block and seals them again (or not).
  void patch_block(uint64_t logical, size_t copies, const std::function<void(uint64_t)>& change,
                   bool reseal = true) const {
    const std::vector<uint64_t> at = test::btrfs_block_copies(path_, logical);
    ASSERT_FALSE(at.empty());
    for (size_t i = 0; i < std::min(copies, at.size()); ++i) {
      change(at[i]);
      if (reseal) test::reseal_btrfs_block(path_, at[i], node_size_);
    }
  }
  KeptWholeReason probe_reason(const std::string& path, ErrorCode& probe) const {
    ReasonCapture capture;
    probe = test::map_volume_file(path, KIND_BTRFS).probe;
    return capture.reason();
  }

  static test::TempDir* base_dir_;
  static std::string base_;
  test::TempDir dir_;
  std::string path_;
  uint32_t node_size_ = 0;
};
test::TempDir* BtrfsDamage::base_dir_ = nullptr;
std::string BtrfsDamage::base_;

TEST_F(BtrfsDamage, HandBuiltDamageKeepsTheVolumeWholeWithItsReason) {
  ErrorCode probe = ERR_UNSUPPORTED;
  ASSERT_TRUE(probe_reason(path_, probe).empty());
  ASSERT_EQ(probe, OK);
  const std::vector<uint8_t> pristine = test::read_file(path_);
  const uint64_t extent_root = test::btrfs_tree_root(path_, "extent");
  const uint64_t group_leaf = test::btrfs_leaf_with(path_, "extent", "BLOCK_GROUP_ITEM");
  ASSERT_NE(group_leaf, 0u);
  auto flip = [&](uint64_t at) { test::write_at(path_, at + 300, std::vector<uint8_t>{0x5A}); };
  // The first block group item of the leaf claims a sector more than its extents hold.
  auto regroup = [&](uint64_t at) {
    std::vector<uint8_t> leaf(node_size_);
    const std::vector<uint8_t> all = test::read_file(path_);
    std::copy_n(all.begin() + static_cast<ptrdiff_t>(at), node_size_, leaf.begin());
    for (uint32_t i = 0; i < le32(leaf.data() + 0x60); ++i) {
      const uint8_t* item = leaf.data() + 101 + i * 25;
      if (item[8] != 192) continue;
      const uint64_t used = at + 101 + le32(item + 17);
      write64(used, read64(used) + 4096);
      return;
    }
  };
  const struct {
    const char* name;
    const char* key;  // nullptr: still read
    std::function<void()> apply;
  } cases[] = {
      {"log root", "log_not_replayed", [&] { patch_super(0x60, [](uint64_t) { return 30 * kMiB; }); }},
      {"second device", "multi_device", [&] { patch_super(0x88, [](uint64_t) { return 2; }); }},
      {"RAID1 system chunk", "unsupported_profile",
       [&] { patch_super(kSysChunkType, [](uint64_t t) { return (t & ~(1ull << 5)) | (1ull << 4); }); }},
      {"unknown incompatible feature", "unsupported_feature",
       [&] { patch_super(0xBC, [](uint64_t f) { return f | (1ull << 13); }); }},
      {"superblock bytes used", "accounting_mismatch",
       [&] { patch_super(0x78, [](uint64_t u) { return u + 4096; }); }},
      {"block group used", "accounting_mismatch", [&] { patch_block(group_leaf, 2, regroup); }},
      {"byte flipped in every copy of the extent root", "checksum_mismatch",
       [&] { patch_block(extent_root, 2, flip, false); }},
      {"byte flipped in one copy of the extent root", nullptr, [&] { patch_block(extent_root, 1, flip, false); }},
  };
  for (const auto& c : cases) {
    test::write_file(path_, pristine);
    c.apply();
    const KeptWholeReason reason = probe_reason(path_, probe);
    if (c.key) {
      EXPECT_NE(probe, OK) << c.name;
      EXPECT_EQ(reason.key, c.key) << c.name << ": " << reason.text;
      EXPECT_FALSE(reason.text.empty()) << c.name;
    } else {
      EXPECT_EQ(probe, OK) << c.name << ": " << reason.text;
    }
  }

  // quorvex-inspect shows the reason beside the volume, in text and in JSON.
  test::write_file(path_, pristine);
  patch_super(0x60, [](uint64_t) { return 30 * kMiB; });
  const std::string image = dir_.file("v.vhdx");
  ASSERT_EQ(test::run_command("qemu-img convert -f raw -O vhdx " + test::shell_quote(path_) + " " +
                              test::shell_quote(image)).status, 0);
  const std::string inspect = test::shell_quote(test::inspect_binary()) + " ";
  const auto json = test::run_command(inspect + "--json " + test::shell_quote(image));
  EXPECT_NE(json.output.find("\"kind\": -1, \"kind_name\": \"unrecognised\", \"used_sectors\": 262144, "
                             "\"reason\": {\"key\": \"log_not_replayed\", \"text\": \"the log tree"),
            std::string::npos) << json.output;
  const auto text = test::run_command(inspect + test::shell_quote(image));
  EXPECT_NE(text.output.find("unrecognised (-1)  262144\n      kept whole (log_not_replayed): the log"),
            std::string::npos) << text.output;
}

// The kernel mounts from the primary superblock alone: a mirror of a higher generation changes
// nothing, and a damaged primary keeps the volume whole whatever the mirror holds.
TEST_F(BtrfsDamage, OnlyThePrimarySuperblockCounts) {
  constexpr uint64_t kGeneration = 0x48;
  const test::ReaderResult pristine = test::map_volume_file(path_, KIND_BTRFS);
  ASSERT_EQ(pristine.probe, OK);
  write64(kSuperCopies[1] + kGeneration, read64(kSuperCopies[1] + kGeneration) + 1);
  test::reseal_btrfs_block(path_, kSuperCopies[1], 4096);
  const test::ReaderResult mirrored = test::map_volume_file(path_, KIND_BTRFS);
  ASSERT_EQ(mirrored.probe, OK);
  EXPECT_EQ(mirrored.bitmap, pristine.bitmap);
  test::write_at(path_, kSuperCopies[0] + 300, std::vector<uint8_t>{0x5A});
  ErrorCode probe = OK;
  const KeptWholeReason reason = probe_reason(path_, probe);
  EXPECT_NE(probe, OK);
  EXPECT_EQ(reason.key, "checksum_mismatch") << reason.text;
}

TEST_F(BtrfsDamage, ShapesThatBtrfsProgsMakesButTheReaderDoesNotRead) {
  const struct {
    const char* options;
    const char* key;
    int devices;
  } cases[] = {
      {"-m raid1 -d raid1", "multi_device", 2},
      {"--csum xxhash", "unsupported_feature", 1},
      {"--csum sha256", "unsupported_feature", 1},
  };
  for (const auto& c : cases) {
    std::string devices;
    for (int d = 0; d < c.devices; ++d) {
      const std::string file = dir_.file("dev" + std::to_string(d));
      test::make_sparse_file(file, 128 * kMiB);
      devices += " " + test::shell_quote(file);
    }
    ASSERT_EQ(test::run_command(std::string("mkfs.btrfs -q -K -f ") + c.options + devices + " 2>&1").status, 0)
        << c.options;
    ErrorCode probe = OK;
    const KeptWholeReason reason = probe_reason(dir_.file("dev0"), probe);
    EXPECT_NE(probe, OK) << c.options;
    EXPECT_EQ(reason.key, c.key) << c.options << ": " << reason.text;
  }
}

// Flips over the superblock, the chunk tree and the extent tree; resealed, the damage reaches the
// parser behind the checksums.
TEST_F(BtrfsDamage, ByteFlipsNeverFreeAUsedSector) {
  std::vector<test::ByteRegion> regions = {{64 * 1024, 4096}};
  for (const char* tree : {"chunk", "extent"})
    regions.push_back({test::btrfs_block_copies(path_, test::btrfs_tree_root(path_, tree)).at(0), node_size_});
  const uint64_t group_leaf = test::btrfs_leaf_with(path_, "extent", "BLOCK_GROUP_ITEM");
  regions.push_back({test::btrfs_block_copies(path_, group_leaf).at(0), node_size_});
  auto reseal = [&](uint64_t at) {
    for (const test::ByteRegion& r : regions)
      if (at >= r.offset && at < r.offset + r.length)
        test::reseal_btrfs_block(path_, r.offset, static_cast<uint32_t>(r.length));
  };
  const test::FlipStats sealed = test::run_flip_campaign(path_, KIND_BTRFS, regions, 600, 26, reseal);
  EXPECT_EQ(sealed.failure, "");
  EXPECT_GT(sealed.accepted, 0) << "no flip reached past the checksums";
  const test::FlipStats raw = test::run_flip_campaign(path_, KIND_BTRFS, regions, 200, 27);
  EXPECT_EQ(raw.failure, "");
  std::printf("[ figures  ] flips: %d resealed (%d still read), %d raw (%d still read)\n", sealed.flips,
              sealed.accepted, raw.flips, raw.accepted);
}

}  // namespace
}  // namespace qx
