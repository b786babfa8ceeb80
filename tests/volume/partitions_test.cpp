#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <sstream>

#include "image/byte_order.hpp"
#include "support/disk_builder.hpp"
#include "support/disk_fixture.hpp"
#include "support/fs_support.hpp"
#include "support/qemu_tools.hpp"
#include "support/trim_run.hpp"
#include "support/lvm_builder.hpp"
#include "support/test_support.hpp"
#include "volume/partitions.hpp"

namespace qx {
namespace {

struct Part {
  uint8_t type;
  uint32_t start;
  uint32_t count;
  bool operator==(const Part&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Part& p) {
  return os << "{type " << int(p.type) << ", " << p.start << ", " << p.count << "}";
}

void open_disk(DiskImage& image, const std::string& path) {
  const auto sectors = static_cast<uint32_t>(std::filesystem::file_size(path) / 512);
  ASSERT_EQ(open_flat(image, path, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
}

// Lists and sorts, as the map does.
ErrorCode enumerate(const std::string& path, std::vector<Part>& out, uint32_t max = 256,
                    TableFindings* findings = nullptr) {
  DiskImage image;
  open_disk(image, path);
  out.clear();
  std::vector<PartitionEntry> entries;
  if (ErrorCode rc = enumerate_partitions(image, 0, max, entries, findings); rc != OK) return rc;
  EXPECT_LE(entries.size(), max);
  sort_partitions(entries);
  for (const PartitionEntry& e : entries) out.push_back({e.type, e.start_sector, e.sector_count});
  return OK;
}

std::string make_disk(const test::TempDir& dir, uint64_t sectors, const std::string& name = "disk.img") {
  const std::string path = dir.file(name);
  test::make_sparse_file(path, sectors * 512);
  return path;
}

TEST(Partitions, BlankDiskIsOneWholeDiskEntry) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 20000);
  std::vector<Part> parts;
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, (std::vector<Part>{{0, 0, 20000}}));
}

TEST(Partitions, PrimariesAreCopiedWithTheirTypes) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 20000);
  test::write_boot_sector(path, 0, {{0x83, 2048, 1000, 0x80}, {0, 0, 0}, {0x07, 5000, 300}});
  DiskImage image;
  open_disk(image, path);
  std::vector<PartitionEntry> e;
  ASSERT_EQ(enumerate_partitions(image, 0, 256, e), OK);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].boot_indicator, 0x80);
  EXPECT_EQ(e[0].type, 0x83);
  EXPECT_EQ(e[0].start_sector.get(), 2048u);
  EXPECT_EQ(e[1].type, 0x07);
  EXPECT_EQ(e[1].sector_count.get(), 300u);
  // Max 0 produces nothing; the limit is never overrun.
  ASSERT_EQ(enumerate_partitions(image, 0, 0, e), OK);
  EXPECT_EQ(e.size(), 0u);
  ASSERT_EQ(enumerate_partitions(image, 0, 1, e), OK);
  EXPECT_EQ(e.size(), 1u);
}

TEST(Partitions, ProtectiveTypeNotAtSectorOneIsAnOrdinaryPartition) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 20000);
  test::write_boot_sector(path, 0, {{0xEE, 2, 19000}});
  std::vector<Part> parts;
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, (std::vector<Part>{{0xEE, 2, 19000}}));
  // 0xEE at start 1 in a later slot is not a GPT either.
  test::write_boot_sector(path, 0, {{0x83, 2048, 100}, {0xEE, 1, 1000}});
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, (std::vector<Part>{{0xEE, 1, 1000}, {0x83, 2048, 100}}));
}

TEST(Partitions, LogicalPartitionsAreRelativeToTheirRecordLinksToTheExtendedBase) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 200000);
  test::write_boot_sector(path, 0, {{0x05, 2048, 190000}});
  test::write_boot_sector(path, 2048, {{0x83, 63, 1000}, {0x05, 100000, 5000}});
  test::write_boot_sector(path, 102048, {{0x0B, 63, 2000}, {0x0F, 120000, 5000}});
  test::write_boot_sector(path, 122048, {{0x07, 100, 50}});
  std::vector<Part> parts;
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, (std::vector<Part>{{0x83, 2111, 1000}, {0x0B, 102111, 2000}, {0x07, 122148, 50}}));
}

TEST(Partitions, ExtendedRecordWithoutSignatureFails) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 20000);
  test::write_boot_sector(path, 0, {{0x83, 100, 100}, {0x85, 2048, 10000}});
  test::write_boot_sector(path, 2048, {{0x83, 63, 100}}, false);
  std::vector<Part> parts;
  EXPECT_EQ(enumerate(path, parts), ERR_BAD_FORMAT);
}

TEST(Partitions, ExtendedChainsThatLoopEnd) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 20000);
  std::vector<Part> parts;
  test::write_boot_sector(path, 0, {{0x05, 2048, 10000}});
  // A record that links to itself.
  test::write_boot_sector(path, 2048, {{0x83, 63, 10}, {0x05, 0, 100}});
  EXPECT_EQ(enumerate(path, parts), ERR_BAD_FORMAT);
  // A longer cycle back to the first record, and a record linked twice.
  test::write_boot_sector(path, 2048, {{0x83, 63, 10}, {0x05, 100, 100}});
  test::write_boot_sector(path, 2148, {{0x83, 63, 10}, {0x05, 200, 100}});
  test::write_boot_sector(path, 2248, {{0x83, 63, 10}, {0x05, 0, 100}});
  EXPECT_EQ(enumerate(path, parts), ERR_BAD_FORMAT);
  test::write_boot_sector(path, 2248, {{0x83, 63, 10}, {0x05, 100, 100}});
  EXPECT_EQ(enumerate(path, parts), ERR_BAD_FORMAT);
  test::write_boot_sector(path, 2048, {{0x05, 100, 100}, {0x05, 100, 100}});
  test::write_boot_sector(path, 2148, {{0x83, 63, 10}});
  EXPECT_EQ(enumerate(path, parts), ERR_BAD_FORMAT);
}

TEST(Partitions, OverlongExtendedChainEnds) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 4000);
  test::write_boot_sector(path, 0, {{0x05, 1, 3990}});
  // 1500 records without a single partition: the walk stops before reading them all.
  for (uint32_t i = 0; i < 1500; ++i) test::write_boot_sector(path, 1 + i * 2, {{0x05, i * 2 + 2, 2}});
  std::vector<Part> parts;
  EXPECT_EQ(enumerate(path, parts), ERR_BAD_FORMAT);
}

TEST(Partitions, LinkBeyondTheDiskIsAReadError) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 20000);
  test::write_boot_sector(path, 0, {{0x05, 2048, 10000}});
  test::write_boot_sector(path, 2048, {{0x83, 63, 10}, {0x05, 0xFFFFFF00, 100}});
  std::vector<Part> parts;
  const ErrorCode rc = enumerate(path, parts);
  EXPECT_NE(rc, OK);
}

TEST(Partitions, EnumerationStopsAtMax) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 4000);
  std::vector<test::GptPart> gpt;
  for (uint32_t i = 0; i < 300; ++i)
    gpt.push_back({test::guid_from_text(test::kGuidLinuxData), 100 + i * 10, 100 + i * 10 + 9});
  test::write_gpt(path, 4000, gpt, {.entry_count = 300});
  std::vector<Part> parts;
  ASSERT_EQ(enumerate(path, parts), OK);
  ASSERT_EQ(parts.size(), 256u);
  EXPECT_EQ(parts.back(), (Part{0, 100 + 255 * 10, 10}));
  ASSERT_EQ(enumerate(path, parts, 3), OK);
  EXPECT_EQ(parts.size(), 3u);

  // The same through a chain of logical partitions.
  test::write_boot_sector(path, 0, {{0x05, 2, 3990}});
  for (uint32_t i = 0; i < 300; ++i)
    test::write_boot_sector(path, 2 + i * 10, {{0x83, 1, 9}, {0x05, i * 10 + 10, 10}});
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts.size(), 256u);
}

TEST(Partitions, GptEntriesAreInclusiveRanges) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 20000);
  test::write_gpt(path, 20000,
                  {{test::guid_from_text(test::kGuidBasicData), 2048, 4095},
                   {}, // unused slot
                   {test::guid_from_text(test::kGuidLinuxData), 4096, 4096}});
  std::vector<Part> parts;
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, (std::vector<Part>{{0, 2048, 2048}, {0, 4096, 1}}));
}

// With no backup to fall back on, a damaged primary leaves the whole disk kept.
TEST(Partitions, DamagedGptHeaderFailsWithoutFallback) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 20000);
  const std::vector<test::GptPart> one = {{test::guid_from_text(test::kGuidLinuxData), 2048, 4095}};
  const test::GptLayout bad[] = {
      {.signature = "EFI PARX"}, {.revision = 0x00010001}, {.current_lba = 2},
      {.header_size = 600},     {.entry_size = 256},      {.entry_count = 1025}};
  for (const test::GptLayout& layout : bad) {
    test::write_gpt(path, 20000, one, layout);
    std::vector<Part> parts;
    TableFindings found;
    EXPECT_EQ(enumerate(path, parts, 256, &found), OK) << layout.signature;
    EXPECT_TRUE(found.keep_whole && parts.empty());
    EXPECT_EQ(found.note.key, "gpt_damaged");
  }
}

TEST(Partitions, GptClaimingManyEntriesOnATinyDisk) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 40);
  test::write_gpt(path, 40, {}, {.entry_count = 4});
  std::vector<Part> parts;
  TableFindings found;
  ASSERT_EQ(enumerate(path, parts, 256, &found), OK);
  EXPECT_TRUE(parts.empty());
  EXPECT_FALSE(found.keep_whole);
  // 1024 entries need 256 sectors, and an entry array placed past 32-bit sectors lies outside the
  // disk: neither is read, with its checksums right or wrong.
  for (const bool reseal : {false, true}) {
    test::write_gpt(path, 40, {}, {.entry_count = 4});
    test::write_at(path, 512 + 80, std::vector<uint8_t>{0x00, 0x04, 0x00, 0x00});
    if (reseal) test::reseal_gpt(path, 1);
    EXPECT_EQ(enumerate(path, parts, 256, &found), OK);
    EXPECT_EQ(found.note.key, "gpt_damaged");
    test::write_gpt(path, 40, {}, {.entry_count = 4});
    test::write_at(path, 512 + 72, std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 0, 0});  // LBA 2^40
    EXPECT_EQ(enumerate(path, parts, 256, &found), OK);
    EXPECT_EQ(found.note.key, "gpt_damaged");
  }
}

// Both tables, each checked whole, read as firmware and gdisk read them.
TEST(Partitions, GptBackupAndChecksums) {
  test::TempDir dir;
  constexpr uint64_t kSectors = 20000;
  const std::string path = make_disk(dir, kSectors);
  const test::Guid data = test::guid_from_text(test::kGuidLinuxData);
  const std::vector<test::GptPart> two = {{data, 2048, 4095}, {data, 4096, 8191}};
  const std::vector<Part> both = {{0, 2048, 2048}, {0, 4096, 4096}};
  const auto flip = [&](uint64_t offset) { test::write_at(path, offset, std::vector<uint8_t>{0x5A}); };
  // The first entry's last sector, in the primary's array (sector 2).
  const auto widen = [&] { test::write_at(path, 1024 + 40, std::vector<uint8_t>{0xFF, 0x1F, 0, 0}); };
  const struct {
    const char* name;
    std::vector<test::GptPart> parts;
    std::function<void()> damage;
    std::vector<Part> expected;  // empty: the whole disk kept
    std::string key;
  } cases[] = {
      {"both sound", two, [] {}, both, ""},
      {"header size 96", two, [&] { test::write_gpt(path, kSectors, two, {.header_size = 96, .backup = true}); }, both, ""},
      {"primary header stale", two, [&] { flip(512 + 60); }, both, "gpt_backup_used"},
      {"first entry widened, checksums stale", two, widen, both, "gpt_backup_used"},
      {"primary gone", two, [&] { test::write_at(path, 512, std::vector<uint8_t>(512, 0)); }, both, "gpt_backup_used"},
      {"backup stale", two, [&] { flip((kSectors - 1) * 512 + 60); }, both, ""},
      {"both stale", two, [&] { flip(512 + 60); flip((kSectors - 1) * 512 + 60); }, {}, "gpt_damaged"},
      {"widened and resealed", two, [&] { widen(); test::reseal_gpt(path, 1); }, {}, "gpt_tables_differ"},
      {"partitions overlap", {{data, 2048, 4095}, {data, 4000, 8191}}, [] {}, {}, "partitions_overlap"},
      {"over the primary array", {{data, 20, 4095}}, [] {}, {}, "partitions_overlap"},
      {"over the backup header", {{data, 2048, kSectors - 1}}, [] {}, {}, "partitions_overlap"},
  };
  for (const auto& c : cases) {
    test::write_gpt(path, kSectors, c.parts, {.backup = true});
    c.damage();
    std::vector<Part> parts;
    TableFindings found;
    ASSERT_EQ(enumerate(path, parts, 256, &found), OK) << c.name;
    EXPECT_EQ(parts, c.expected) << c.name;
    EXPECT_EQ(found.keep_whole, c.expected.empty()) << c.name;
    EXPECT_EQ(found.note.key, c.key) << c.name;
    EXPECT_EQ(found.note.text.empty(), c.key.empty()) << c.name;
  }
}

TEST(Partitions, GptEntriesThatDescribeNoRegionOfTheDiskFail) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 20000);
  const test::Guid data = test::guid_from_text(test::kGuidLinuxData);
  std::vector<Part> parts;
  test::write_gpt(path, 20000, {{data, 4096, 4095 - 1}});
  EXPECT_EQ(enumerate(path, parts), ERR_LAYOUT);
  test::write_gpt(path, 20000, {{data, (uint64_t{1} << 32) + 2048, (uint64_t{1} << 32) + 4095}});
  EXPECT_EQ(enumerate(path, parts), ERR_LAYOUT);
  test::write_gpt(path, 20000, {{data, 2048, (uint64_t{1} << 32) + 4095}});
  EXPECT_EQ(enumerate(path, parts), ERR_LAYOUT);
}

TEST(Partitions, RandomTablesEndCleanly) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 4096);
  DiskImage image;
  open_disk(image, path);
  std::mt19937 rng(2024);
  const uint8_t types[] = {0x00, 0x05, 0x0F, 0x85, 0x8E, 0x83, 0x07, 0xEE, 0x0C};
  auto check = [&] {
    std::vector<PartitionEntry> entries;
    if (enumerate_partitions(image, 0, 256, entries) != OK) return;
    EXPECT_LE(entries.size(), 256u);
  };
  for (int iter = 0; iter < 300; ++iter) {
    // Boot records at random sectors, linking to each other and to anywhere.
    for (int k = 0; k < 5; ++k) {
      std::vector<test::MbrSlot> slots;
      for (int i = 0; i < 4; ++i)
        slots.push_back({types[rng() % 9], rng() % 3 ? static_cast<uint32_t>(rng() % 4096)
                                                     : static_cast<uint32_t>(rng()),
                         static_cast<uint32_t>(rng() % 5000)});
      test::write_boot_sector(path, k == 0 ? 0 : rng() % 4096, slots, rng() % 8 != 0);
    }
    check();
  }
  for (int iter = 0; iter < 200; ++iter) {
    // GPTs with random counts and places, then a few flipped bytes in the header and entries.
    std::vector<test::GptPart> parts;
    for (int i = 0; i < 6; ++i) {
      const uint64_t first = rng() % 5000, last = rng() % 3 ? first + rng() % 100 : rng();
      parts.push_back({test::guid_from_text(i % 3 ? test::kGuidLinuxData : test::kGuidLinuxLvm),
                       first, last});
    }
    test::write_gpt(path, 4096, parts, {.entry_lba = rng() % 4200, .entry_count = static_cast<uint32_t>(rng() % 1100)});
    for (int k = 0; k < 3; ++k) {
      std::vector<uint8_t> b = {static_cast<uint8_t>(rng())};
      test::write_at(path, 512 + rng() % 1024, b);
    }
    check();
  }
}

// ---- LVM2 physical volumes found through the partition tables.

test::LvmPvSpec two_volume_pv() {
  test::LvmPvSpec spec;
  spec.extent_size = 2048;
  spec.pe_count = 6;
  spec.dev_size = 16384;
  spec.lvs = {test::linear_lv("root", 0, 2), test::linear_lv("home", 3, 3)};
  return spec;
}

TEST(Partitions, LvmVolumesOfAnMbrPartition) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 40000);
  test::write_boot_sector(path, 0, {{0x83, 63, 1000}, {0x8E, 4096, 16384}});
  test::write_lvm_pv(path, 4096 * 512, two_volume_pv());
  std::vector<Part> parts;
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, (std::vector<Part>{{0x83, 63, 1000},
                                      {0, 4096 + 2048, 2 * 2048},
                                      {0, 4096 + 2048 + 3 * 2048, 3 * 2048}}));
}

TEST(Partitions, LvmVolumesOfALogicalPartitionAndOfAGptEntry) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 80000);
  test::write_boot_sector(path, 0, {{0x0F, 2048, 70000}});
  test::write_boot_sector(path, 2048, {{0x8E, 2048, 16384}});
  test::write_lvm_pv(path, 4096 * 512, two_volume_pv());
  std::vector<Part> parts;
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, (std::vector<Part>{{0, 6144, 4096}, {0, 12288, 6144}}));

  test::write_gpt(path, 80000,
                  {{test::guid_from_text(test::kGuidLinuxData), 2048, 4095},
                   {test::guid_from_text(test::kGuidLinuxLvm), 20480, 20480 + 16383}});
  test::write_lvm_pv(path, 20480 * 512, two_volume_pv());
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, (std::vector<Part>{{0, 2048, 2048}, {0, 22528, 4096}, {0, 28672, 6144}}));
}

TEST(Partitions, RejectedLvmMetadataFailsTheWholeEnumeration) {
  test::TempDir dir;
  const std::string path = make_disk(dir, 40000);
  test::write_boot_sector(path, 0, {{0x83, 63, 1000}, {0x8E, 4096, 16384}, {0x07, 30000, 100}});
  test::LvmPvSpec spec = two_volume_pv();
  spec.lvs[1].segments[0].type = "mirror";
  test::write_lvm_pv(path, 4096 * 512, spec);
  std::vector<Part> parts;
  EXPECT_EQ(enumerate(path, parts), ERR_LAYOUT);
  // No PV at all behind the type byte.
  test::write_at(path, 4096 * 512, std::vector<uint8_t>(8192, 0));
  EXPECT_EQ(enumerate(path, parts), ERR_LAYOUT);
}

// ---- Tables written by the real tools.

// "start=  2048, size=  4096, type=83" lines of `sfdisk --dump`, without extended containers.
std::vector<Part> sfdisk_partitions(const std::string& path) {
  const auto r = test::run_command("sfdisk --dump " + test::shell_quote(path));
  std::vector<Part> out;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    const size_t s = line.find("start="), z = line.find("size="), t = line.find("type=");
    if (s == std::string::npos || z == std::string::npos || t == std::string::npos) continue;
    const auto type = static_cast<uint8_t>(std::stoul(line.substr(t + 5), nullptr, 16));
    if (type == 0x05 || type == 0x0F || type == 0x85) continue;
    out.push_back({type, static_cast<uint32_t>(std::stoul(line.substr(s + 6))),
                   static_cast<uint32_t>(std::stoul(line.substr(z + 5)))});
  }
  return out;
}

TEST(Partitions, MatchesSfdiskOnAnMbrDiskWithLogicalPartitions) {
  if (!test::have_tool("sfdisk")) GTEST_SKIP() << "sfdisk is not installed";
  test::TempDir dir;
  const std::string path = make_disk(dir, 131072);
  const std::string script =
      "label: dos\n"
      "start=2048, size=4096, type=83\n"
      "start=6144, size=4096, type=7\n"
      "start=10240, size=2048, type=c\n"
      "start=12288, type=5\n"
      "start=14336, size=2048, type=83\n"
      "start=18432, size=4096, type=82\n"
      "start=24576, size=8192, type=b\n"
      "start=34816, size=20000, type=83\n";
  ASSERT_EQ(test::run_command("printf '" + script + "' | sfdisk -q " + test::shell_quote(path) +
                              " >/dev/null 2>&1")
                .status,
            0);
  std::vector<Part> expected = sfdisk_partitions(path);
  ASSERT_EQ(expected.size(), 7u);
  std::sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.start < b.start; });
  std::vector<Part> parts;
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, expected);
}

TEST(Partitions, MatchesSgdiskOnAGptDisk) {
  if (!test::have_tool("sgdisk")) GTEST_SKIP() << "sgdisk is not installed";
  test::TempDir dir;
  const std::string path = make_disk(dir, 65536);
  ASSERT_EQ(test::run_command("sgdisk -n1:2048:+4M -t1:8300 -n2:0:+2M -t2:0700 -n3:0:+1M "
                              "-t3:ef00 -n5:0:+3M -t5:8300 -n4:0:0 -t4:8300 " +
                              test::shell_quote(path) + " >/dev/null 2>&1")
                .status,
            0);
  // "   1            2048           10239   4.0 MiB     8300  "
  const auto r = test::run_command("sgdisk -p " + test::shell_quote(path));
  std::vector<Part> expected;
  std::istringstream in(r.output);
  bool table = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Number", 0) == 0) {
      table = true;
      continue;
    }
    if (!table) continue;
    std::istringstream fields(line);
    uint64_t number = 0, first = 0, last = 0;
    if (fields >> number >> first >> last)
      expected.push_back({0, static_cast<uint32_t>(first), static_cast<uint32_t>(last - first + 1)});
  }
  ASSERT_EQ(expected.size(), 5u);
  std::sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.start < b.start; });
  std::vector<Part> parts;
  ASSERT_EQ(enumerate(path, parts), OK);
  EXPECT_EQ(parts, expected);
}

// A primary GPT whose first entry was widened over the second partition (and the second entry
// cleared), its checksums left stale, in front of an intact backup: Btrfs in the first partition,
// ext4 in the second. Both modes keep every used sector of the ext4 volume, read through the
// backup table (the primary alone shows one Btrfs volume over both).
TEST(Partitions, WidenedPrimaryGptKeepsTheSecondPartition) {
  for (const char* tool : {"sgdisk", "mkfs.btrfs", "mke2fs", "qemu-img", "e2fsck"})
    if (!test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
  test::TempDir dir;
  constexpr uint64_t kMiB = 1024 * 1024, kFirst = 2048, kSecond = 2048 + 40 * 2048, kLength = 40 * 2048;
  const std::string sound = dir.file("sound.img");
  test::make_dirty_file(sound, 100 * kMiB, 0x97);
  test::sh("sgdisk -n 1:2048:+40M -t 1:8300 -n 2:0:+40M -t 2:8300 " + test::shell_quote(sound) + " >/dev/null");
  test::make_dirty_file(dir.file("p1.btrfs"), kLength * 512, 0x98);
  test::sh("mkfs.btrfs -q -K -f -M " + test::shell_quote(dir.file("p1.btrfs")) + " >/dev/null");
  test::make_ext(dir.path().string(), dir.file("p2.ext4"), kLength, "ext4");
  test::copy_range(dir.file("p1.btrfs"), 0, sound, kFirst * 512, kLength * 512);
  test::copy_range(dir.file("p2.ext4"), 0, sound, kSecond * 512, kLength * 512);
  const test::UsedSectors used = test::used_sectors(sound);
  ASSERT_EQ(used.recognised, 2u);
  const std::string damaged = dir.file("damaged.img");
  std::filesystem::copy_file(sound, damaged);
  uint8_t last[8];
  store_le<uint64_t>(last, kSecond + kLength - 1);
  test::write_at(damaged, 2 * 512 + 40, last);
  test::write_at(damaged, 2 * 512 + 128, std::vector<uint8_t>(128, 0));
  const std::vector<uint8_t> before = test::read_file(damaged);
  const test::DiskFixture second{damaged, 0, {{"ext4", kSecond, kLength}}};
  test::qemu_convert(damaged, dir.file("damaged.qcow2"), "-f raw -O qcow2");
  const auto inspect = test::run_command(test::shell_quote(test::inspect_binary()) + " " + test::shell_quote(damaged));
  EXPECT_NE(inspect.output.find("partition table (gpt_backup_used): the primary GPT is damaged"), std::string::npos)
      << inspect.output;
  for (const char* format : {"img", "qcow2"}) {
    for (const char* mode : {"-d", "--in-place"}) {
      SCOPED_TRACE(std::string(format) + " " + mode);
      const std::string image = dir.file(std::string("run.") + format);
      std::filesystem::remove(image);
      std::filesystem::copy_file(dir.file(std::string("damaged.") + format), image);
      const auto r = test::run_command(test::shell_quote(test::quorvex_binary()) + " -s " + mode + " " +
                                       test::shell_quote(image) + " 2>&1");
      EXPECT_EQ(r.status, 0) << r.output;
      EXPECT_NE(r.output.find("read from the backup GPT"), std::string::npos) << r.output;
      const auto after = test::qemu_guest_disk(image, dir.file("after.raw"));
      EXPECT_EQ(test::first_used_difference(before, after, used), -1);
      EXPECT_EQ(test::check_file_systems(second, dir.file("after.raw"), dir.path().string()), "");
    }
  }
}

}  // namespace
}  // namespace qx
