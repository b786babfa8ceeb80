#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <new>

#include "fs/reader.hpp"
#include "support/disk_builder.hpp"
#include "support/lvm_builder.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

// Fake readers: kind K recognises a volume whose first sector begins with "FAKE" and the digit K;
// relative sectors divisible by 4 are used, the others free.
std::vector<int> g_probes;
int g_live_states = 0;
bool g_fail_after_state = false;
bool g_throw = false;
bool g_mark_fails = false;
int g_reason_from = -1;  // a kind whose probe leaves a reason when it fails
uint64_t g_declared = UINT64_MAX;  // the sectors every fake file system declares its own

struct FakeState : ReaderState {
  FakeState() { ++g_live_states; }
  ~FakeState() override { --g_live_states; }
  uint64_t declared_sectors() const noexcept override { return g_declared; }
};

template <int K>
ErrorCode fake_probe(DiskImage& image, uint32_t first, uint32_t, std::unique_ptr<ReaderState>& state) {
  g_probes.push_back(K);
  if (g_throw) throw std::bad_alloc();
  uint8_t s[512];
  if (ErrorCode rc = read_bytes(image, uint64_t{first} * 512, s); rc != OK) return rc;
  const bool mine = std::memcmp(s, "FAKE", 4) == 0 && s[4] == '0' + K;
  if (!mine && K >= g_reason_from && g_reason_from >= 0)
    keep_whole_because("fake_" + std::to_string(K), "left by fake " + std::to_string(K));
  if (g_fail_after_state) {
    state = std::make_unique<FakeState>();
    return ERR_FILE_SYSTEM;
  }
  if (!mine) return ERR_FILE_SYSTEM;
  state = std::make_unique<FakeState>();
  return OK;
}

ErrorCode fake_mark(const ReaderState&, uint32_t first, uint32_t count, std::span<uint8_t> bitmap,
                    uint32_t bit) {
  if (g_mark_fails) return ERR_FILE_SYSTEM;
  for (uint32_t i = 0; i < count; ++i) put_bit(bitmap, bit + i, (uint64_t{first} + i) % 4 == 0);
  return OK;
}

// The placeholders keep their own behaviour; only the probe is recorded.
template <int K>
ErrorCode recorded_placeholder(DiskImage& image, uint32_t first, uint32_t count,
                               std::unique_ptr<ReaderState>& state) {
  g_probes.push_back(K);
  return fs_reader(K).probe(image, first, count, state);
}

const FsReader kFakes[kReaderKindCount] = {
    {"fake0", fake_probe<0>, fake_mark}, {"fake1", fake_probe<1>, fake_mark},
    {"fake2", fake_probe<2>, fake_mark}, {"fake3", fake_probe<3>, fake_mark},
    {"fake4", fake_probe<4>, fake_mark}, {"p5", recorded_placeholder<5>, fake_mark},
    {"fake6", fake_probe<6>, fake_mark}, {"p7", recorded_placeholder<7>, fake_mark},
    {"fake8", fake_probe<8>, fake_mark}, {"fake9", fake_probe<9>, fake_mark},
};

class UsageMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int k = 0; k < kReaderKindCount; ++k) override_fs_reader(k, &kFakes[k]);
    g_probes.clear();
    g_fail_after_state = g_throw = g_mark_fails = false;
    g_reason_from = -1;
    g_declared = UINT64_MAX;
  }
  void TearDown() override {
    for (int k = 0; k < kReaderKindCount; ++k) override_fs_reader(k, nullptr);
    EXPECT_EQ(g_live_states, 0);
  }

  std::string disk(uint64_t sectors) {
    path_ = dir_.file("disk.img");
    test::make_sparse_file(path_, sectors * 512);
    sectors_ = static_cast<uint32_t>(sectors);
    return path_;
  }
  void stamp(uint32_t sector, int kind) {
    std::vector<uint8_t> s = {'F', 'A', 'K', 'E', static_cast<uint8_t>('0' + kind)};
    test::write_at(path_, uint64_t{sector} * 512, s);
  }
  std::unique_ptr<UsageMap> build(ErrorCode& rc, uint32_t& recognised) {
    image_ = DiskImage{};
    EXPECT_EQ(open_flat(image_, path_, true, 0, DiskGeometry{sectors_, 255, 63, 512}), OK);
    g_probes.clear();
    return build_usage_map(image_, rc, recognised);
  }
  std::unique_ptr<UsageMap> build() {
    ErrorCode rc = ERR_UNSUPPORTED;
    uint32_t recognised = 0;
    auto map = build(rc, recognised);
    EXPECT_EQ(rc, OK);
    return map;
  }

  test::TempDir dir_;
  std::string path_;
  uint32_t sectors_ = 0;
  DiskImage image_;
};

struct Region {
  uint32_t start, length;
  int32_t kind;
  bool operator==(const Region&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Region& r) {
  return os << "{" << r.start << ", " << r.length << ", " << r.kind << "}";
}
std::vector<Region> regions(const UsageMap& map) {
  std::vector<Region> out;
  for (const VolumeEntry& e : map.volumes) out.push_back({e.start, e.length, e.kind});
  return out;
}

std::vector<bool> used_bits(const UsageMap& map, uint32_t first, uint32_t count, ErrorCode& rc) {
  // Pre-filled with a pattern so that bits left unwritten show up.
  std::vector<uint8_t> bitmap(bitmap_bytes(count) + 1, 0xA5);
  rc = query_used(map, first, count, bitmap);
  std::vector<bool> out;
  for (uint32_t i = 0; i < count; ++i) out.push_back(test_bit(bitmap, i));
  return out;
}

TEST_F(UsageMapTest, PartitionBetweenTwoGaps) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0x0C, 2048, 10000}});
  stamp(2048, KIND_FAT);
  ErrorCode rc = ERR_UNSUPPORTED;
  uint32_t recognised = 0;
  auto map = build(rc, recognised);
  ASSERT_EQ(rc, OK);
  ASSERT_TRUE(map);
  EXPECT_EQ(regions(*map), (std::vector<Region>{{0, 2048, KIND_GAP},
                                                {2048, 10000, KIND_FAT},
                                                {12048, 7952, KIND_GAP}}));
  EXPECT_EQ(recognised, 1u);
  EXPECT_EQ(g_probes, (std::vector<int>{2}));
}

TEST_F(UsageMapTest, OverlapZeroLengthAndBeyondTheEndFail) {
  disk(20000);
  ErrorCode rc = OK;
  uint32_t recognised = 0;
  test::write_boot_sector(path_, 0, {{0x83, 2048, 1000}, {0x83, 3047, 100}});
  EXPECT_FALSE(build(rc, recognised));
  EXPECT_EQ(rc, ERR_LAYOUT);
  // Overlap is judged after sorting, whatever the slot order.
  test::write_boot_sector(path_, 0, {{0x83, 3047, 100}, {0x83, 2048, 1000}});
  EXPECT_FALSE(build(rc, recognised));
  EXPECT_EQ(rc, ERR_LAYOUT);
  test::write_boot_sector(path_, 0, {{0x83, 2048, 1000}, {0x83, 3048, 0}});
  EXPECT_FALSE(build(rc, recognised));
  EXPECT_EQ(rc, ERR_LAYOUT);
  test::write_boot_sector(path_, 0, {{0x83, 2048, 20000 - 2048 + 1}});
  EXPECT_FALSE(build(rc, recognised));
  EXPECT_EQ(rc, ERR_LAYOUT);
  EXPECT_TRUE(g_probes.empty()) << "a failing build probes nothing";
  // Adjacent partitions and one that ends exactly at the disk's end are fine.
  test::write_boot_sector(path_, 0, {{0x83, 2048, 1000}, {0x83, 3048, 20000 - 3048}});
  auto map = build(rc, recognised);
  ASSERT_TRUE(map);
  EXPECT_EQ(regions(*map), (std::vector<Region>{{0, 2048, KIND_GAP},
                                                {2048, 1000, KIND_UNRECOGNISED},
                                                {3048, 16952, KIND_UNRECOGNISED}}));
}

TEST_F(UsageMapTest, ProbeOrderFallsThrough) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0x07, 100, 100}});
  stamp(100, KIND_FAT);
  auto map = build();
  EXPECT_EQ(map->volumes[1].kind, KIND_FAT);
  EXPECT_EQ(g_probes, (std::vector<int>{0, 0, 1, 2}));

  test::write_boot_sector(path_, 0, {{0x0C, 100, 100}});
  stamp(100, KIND_NTFS);
  map = build();
  EXPECT_EQ(map->volumes[1].kind, KIND_NTFS);
  EXPECT_EQ(g_probes, (std::vector<int>{2, 0}));

  test::write_boot_sector(path_, 0, {{0xFB, 100, 100}});
  stamp(100, KIND_HFSPLUS);
  map = build();
  EXPECT_EQ(map->volumes[1].kind, KIND_HFSPLUS);
  EXPECT_EQ(g_probes, (std::vector<int>{5, 0, 1, 2, 3, 4, 5, 6}));

  test::write_boot_sector(path_, 0, {{0xDA, 100, 100}});
  stamp(100, kReaderKindCount);
  map = build();
  EXPECT_EQ(map->volumes[1].kind, KIND_UNRECOGNISED);
  EXPECT_EQ(g_probes, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 9, 8})) << "swap goes last";
}

// The first reason a failing probe leaves stays on an unrecognised volume; a volume that a later
// reader recognises carries none.
TEST_F(UsageMapTest, ReasonsOfVolumesKeptWhole) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0xDA, 100, 100}, {0xDA, 300, 100}});
  stamp(300, 6);
  g_reason_from = 3;
  auto map = build();
  ASSERT_EQ(map->volumes.size(), 5u);
  EXPECT_EQ(map->volumes[1].kind, KIND_UNRECOGNISED);
  EXPECT_EQ(map->volumes[1].reason.key, "fake_3");
  EXPECT_EQ(map->volumes[1].reason.text, "left by fake 3");
  EXPECT_EQ(map->volumes[3].kind, KIND_HFSPLUS);
  EXPECT_TRUE(map->volumes[3].reason.empty());
  g_reason_from = -1;
  map = build();
  EXPECT_EQ(map->volumes[1].reason.key, "unknown_file_system");
  EXPECT_EQ(map->volumes[0].reason.key, "outside_partitions");
  // Outside a map, a reason goes nowhere.
  keep_whole_because("stray", "nobody listens");
  ReasonCapture capture;
  EXPECT_TRUE(capture.reason().empty());
}

TEST_F(UsageMapTest, FailedProbesLeaveNothingBehind) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0x83, 100, 100}});
  g_fail_after_state = true;
  auto map = build();
  EXPECT_EQ(map->volumes[1].kind, KIND_UNRECOGNISED);
  EXPECT_FALSE(map->volumes[1].state);
  EXPECT_EQ(g_live_states, 0);
  g_fail_after_state = false;
  g_throw = true;
  map = build();
  EXPECT_EQ(map->volumes[1].kind, KIND_UNRECOGNISED);
}

TEST_F(UsageMapTest, DestroyEndsEveryReaderState) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0x83, 100, 100}, {0x07, 300, 100}});
  stamp(100, KIND_EXT);
  stamp(300, KIND_NTFS);
  auto map = build();
  EXPECT_EQ(g_live_states, 2);
  destroy_usage_map(*map);
  EXPECT_EQ(g_live_states, 0);
  EXPECT_TRUE(map->volumes.empty());
}

TEST_F(UsageMapTest, QueriesStraddleVolumes) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0x0C, 2048, 10000}, {0x83, 12048, 1000}});
  stamp(2048, KIND_FAT);
  stamp(12048, KIND_EXT);
  auto map = build();
  ErrorCode rc = ERR_UNSUPPORTED;
  // FAT then the gap behind it... here a second volume: 8 sectors each side of the boundary.
  auto bits = used_bits(*map, 12040, 16, rc);
  ASSERT_EQ(rc, OK);
  const std::vector<bool> expect = {true,  false, false, false, true,  false, false, false,
                                    true,  false, false, false, true,  false, false, false};
  EXPECT_EQ(bits, expect);
  // Into the final gap: all ones.
  bits = used_bits(*map, 13040, 16, rc);
  ASSERT_EQ(rc, OK);
  EXPECT_EQ(bits, (std::vector<bool>{true, false, false, false, true, false, false, false, true,
                                     true, true, true, true, true, true, true}));
  // From the leading gap across every volume.
  bits = used_bits(*map, 0, 20000, rc);
  ASSERT_EQ(rc, OK);
  uint32_t used = 0;
  for (bool b : bits) used += b;
  EXPECT_EQ(used, 2048u + 2500u + 250u + (20000u - 13048u));
}

TEST_F(UsageMapTest, QueriesAtTheEndOfTheDisk) {
  disk(20000);
  auto map = build();
  ErrorCode rc = OK;
  used_bits(*map, 19999, 2, rc);
  EXPECT_EQ(rc, ERR_UNSUPPORTED);
  auto bits = used_bits(*map, 19999, 1, rc);
  EXPECT_EQ(rc, OK);
  EXPECT_EQ(bits, std::vector<bool>{true});
  used_bits(*map, 20000, 0, rc);
  EXPECT_EQ(rc, ERR_UNSUPPORTED);
  used_bits(*map, 19999, 0, rc);
  EXPECT_EQ(rc, OK);
  used_bits(*map, 0, 20001, rc);
  EXPECT_EQ(rc, ERR_UNSUPPORTED);
  std::vector<uint8_t> small(1);
  EXPECT_EQ(query_used(*map, 0, 9, small), ERR_UNSUPPORTED) << "bitmap too short";
}

// Whatever a reader says of the sectors past the end its file system declares, they are kept.
TEST_F(UsageMapTest, SpacePastTheDeclaredEndIsKept) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0x83, 2048, 100}});
  stamp(2048, KIND_EXT);
  for (const uint64_t declared : {uint64_t{0}, uint64_t{41}, uint64_t{100}, UINT64_MAX}) {
    g_declared = declared;
    auto map = build();
    ASSERT_TRUE(map);
    ErrorCode rc = ERR_UNSUPPORTED;
    const std::vector<bool> bits = used_bits(*map, 2040, 120, rc);
    ASSERT_EQ(rc, OK);
    for (uint32_t i = 8; i < 108; ++i)
      EXPECT_EQ(bits[i], (i - 8) % 4 == 0 || i - 8 >= declared) << declared << " " << i;
  }
}

// A GPT whose tables cannot be trusted is one volume kept whole, with the reason on the map too.
TEST_F(UsageMapTest, UntrustedGptKeepsTheWholeDisk) {
  disk(20000);
  const test::Guid data = test::guid_from_text(test::kGuidLinuxData);
  test::write_gpt(path_, 20000, {{data, 2048, 4095}, {data, 4000, 8191}}, {.backup = true});
  stamp(2048, KIND_EXT);
  auto map = build();
  ASSERT_TRUE(map);
  EXPECT_EQ(regions(*map), (std::vector<Region>{{0, 20000, KIND_UNRECOGNISED}}));
  EXPECT_EQ(map->volumes[0].reason.key, "partitions_overlap");
  EXPECT_EQ(map->table_note.key, "partitions_overlap");
  EXPECT_TRUE(g_probes.empty());
  // A damaged primary in front of a sound backup: the backup's partitions, and a note.
  test::write_gpt(path_, 20000, {{data, 2048, 4095}}, {.backup = true});
  test::write_at(path_, 512 + 60, std::vector<uint8_t>{0x5A});
  map = build();
  ASSERT_TRUE(map);
  EXPECT_EQ(regions(*map), (std::vector<Region>{{0, 2048, KIND_GAP}, {2048, 2048, KIND_EXT}, {4096, 15904, KIND_GAP}}));
  EXPECT_EQ(map->table_note.key, "gpt_backup_used");
}

TEST_F(UsageMapTest, ReaderErrorsReachTheQuery) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0x83, 100, 100}});
  stamp(100, KIND_EXT);
  auto map = build();
  g_mark_fails = true;
  ErrorCode rc = OK;
  used_bits(*map, 90, 20, rc);
  EXPECT_EQ(rc, ERR_FILE_SYSTEM);
  used_bits(*map, 0, 50, rc);
  EXPECT_EQ(rc, OK);
}

TEST_F(UsageMapTest, DroppableBlocks) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0x83, 100, 100}});
  stamp(100, KIND_EXT);
  auto map = build();
  std::vector<uint8_t> data(4 * 512, 0);
  bool drop = false;
  // Relative sectors 1..3 are free: dirty data there does not matter.
  std::memset(data.data() + 512, 0x77, 3 * 512);
  ASSERT_EQ(is_block_droppable(*map, 101, 3, drop, std::span(data).subspan(512)), OK);
  EXPECT_TRUE(drop);
  // A used sector of zeros.
  ASSERT_EQ(is_block_droppable(*map, 100, 1, drop, std::span(data).first(512)), OK);
  EXPECT_TRUE(drop);
  // A used sector with one non-zero byte.
  data[511] = 1;
  ASSERT_EQ(is_block_droppable(*map, 100, 4, drop, data), OK);
  EXPECT_FALSE(drop);
  // Gaps are used.
  std::vector<uint8_t> gap(512, 0);
  gap[0] = 1;
  ASSERT_EQ(is_block_droppable(*map, 0, 1, drop, gap), OK);
  EXPECT_FALSE(drop);
  EXPECT_EQ(is_block_droppable(*map, 19999, 2, drop, data), ERR_UNSUPPORTED);
}

TEST_F(UsageMapTest, BlankDiskIsOneUnrecognisedVolume) {
  disk(20000);
  ErrorCode rc = ERR_UNSUPPORTED;
  uint32_t recognised = 7;
  auto map = build(rc, recognised);
  ASSERT_TRUE(map);
  EXPECT_EQ(regions(*map), (std::vector<Region>{{0, 20000, KIND_UNRECOGNISED}}));
  EXPECT_EQ(recognised, 0u);
  EXPECT_EQ(g_probes, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 9, 8})) << "swap goes last";
  std::vector<uint8_t> zeros(512, 0);
  bool drop = false;
  ASSERT_EQ(is_block_droppable(*map, 5, 1, drop, zeros), OK);
  EXPECT_TRUE(drop) << "zeros may always go";
  zeros[3] = 9;
  ASSERT_EQ(is_block_droppable(*map, 5, 1, drop, zeros), OK);
  EXPECT_FALSE(drop);
}

TEST_F(UsageMapTest, EmptyPartitionTableIsOneGap) {
  disk(20000);
  test::write_boot_sector(path_, 0, {});
  auto map = build();
  EXPECT_EQ(regions(*map), (std::vector<Region>{{0, 20000, KIND_GAP}}));
  EXPECT_TRUE(g_probes.empty());
}

TEST_F(UsageMapTest, EnumerationErrorsFailTheBuild) {
  disk(20000);
  test::write_boot_sector(path_, 0, {{0x05, 2048, 10000}});
  test::write_boot_sector(path_, 2048, {{0x83, 63, 10}, {0x05, 0, 100}});
  ErrorCode rc = OK;
  uint32_t recognised = 0;
  EXPECT_FALSE(build(rc, recognised));
  EXPECT_EQ(rc, ERR_BAD_FORMAT);
}

TEST_F(UsageMapTest, LogicalVolumesAreProbedLikePartitions) {
  disk(40000);
  test::write_boot_sector(path_, 0, {{0x8E, 4096, 16384}});
  test::LvmPvSpec spec;
  spec.extent_size = 2048;
  spec.pe_count = 6;
  spec.dev_size = 16384;
  spec.lvs = {test::linear_lv("root", 0, 2), test::linear_lv("home", 3, 3)};
  test::write_lvm_pv(path_, 4096 * 512, spec);
  stamp(6144, KIND_XFS);
  auto map = build();
  EXPECT_EQ(regions(*map), (std::vector<Region>{{0, 6144, KIND_GAP},
                                                {6144, 4096, KIND_XFS},
                                                {10240, 2048, KIND_GAP},
                                                {12288, 6144, KIND_UNRECOGNISED},
                                                {18432, 40000 - 18432, KIND_GAP}}));
}

}  // namespace
}  // namespace qx
