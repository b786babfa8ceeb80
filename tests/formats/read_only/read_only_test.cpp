// The read-only emulator formats over one real disk (MBR, FAT32 made by mkfs.vfat over dirty
// space): each wraps it and must read back byte for byte, show the same FAT32 volume, refuse a
// trim, and serve as the parent of a VHD child that trims.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/disk_fixture.hpp"
#include "support/emulator_images.hpp"
#include "support/flip_campaign.hpp"
#include "support/map_disk.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vhd_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::shell_quote;

struct Shared {
  test::TempDir dir;
  test::DiskFixture disk;
  Bytes raw;
  test::DiskMap raw_map;
};
const Shared* shared = nullptr;  // set by each test from shared_disk()

// Made once for every test of this program.
const Shared* shared_disk() {
  static const std::unique_ptr<Shared> disk = []() -> std::unique_ptr<Shared> {
    if (!test::have_disk_tools()) return nullptr;
    auto s = std::make_unique<Shared>();
    s->disk = test::make_mbr_fat32(s->dir.path().string());
    s->raw = test::read_file(s->disk.raw);
    s->raw_map = test::map_disk_file(s->disk.raw);
    return s;
  }();
  return disk.get();
}

// One wrapping: the file name (its extension decides detection) and how its bytes are made.
struct Wrap {
  const char* name;
  int32_t format;
  std::function<Bytes(const Bytes& raw, const std::string& dir)> build;
};

// The NVT parent holds junk wherever the NVT file stores the real chunks.
Bytes nvt_over(const Bytes& raw, const std::string& dir, bool flat) {
  Bytes parent = raw;
  std::map<uint64_t, Bytes> chunks;
  for (uint64_t c : {0ull, 1ull, 17ull, 300ull, 575ull}) {
    chunks[c].assign(raw.begin() + static_cast<ptrdiff_t>(c << 16), raw.begin() + static_cast<ptrdiff_t>((c + 1) << 16));
    std::fill_n(parent.begin() + static_cast<ptrdiff_t>(c << 16), 65536, uint8_t{0xE1});
  }
  if (flat) {
    test::write_file(dir + "/parent.raw", parent);
    return test::nvt_file("parent.raw", test::NvtFlatParent{0, static_cast<uint32_t>(raw.size() / 512)}, chunks);
  }
  test::write_file(dir + "/parent.bochs", test::wrap_bochs(parent));
  return test::nvt_file("parent.bochs", std::nullopt, chunks);
}

const Wrap kWraps[] = {
    {"disk.hdi", FORMAT_HDI, [](const Bytes& r, auto&) { return test::wrap_headed_flat(22, r); }},
    {"disk.thd", FORMAT_THD, [](const Bytes& r, auto&) { return test::wrap_headed_flat(23, r); }},
    {"disk.nhd", FORMAT_NHD, [](const Bytes& r, auto&) { return test::wrap_headed_flat(24, r); }},
    {"disk.hdd", FORMAT_HDD, [](const Bytes& r, auto&) { return test::wrap_headed_flat(25, r); }},
    {"disk.img", FORMAT_FIXED_69M, [](const Bytes& r, auto&) { return test::wrap_headed_flat(26, r); }},
    {"disk.h3", FORMAT_H0, [](const Bytes& r, auto&) { return test::wrap_headed_flat(27, r); }},
    {"disk.bochs", FORMAT_BOCHS, [](const Bytes& r, auto&) { return test::wrap_bochs(r); }},
    {"disk.im0", FORMAT_CHAINED, [](const Bytes& r, auto&) { return test::wrap_chained(r, 65536); }},
    {"disk.chd", FORMAT_CHD, [](const Bytes& r, auto&) { return test::wrap_chd(r, 3, 4096); }},
    {"disk4.bin", FORMAT_CHD, [](const Bytes& r, auto&) { return test::wrap_chd(r, 4, 8192); }},
    {"flat.nvt", FORMAT_NVT, [](const Bytes& r, const std::string& d) { return nvt_over(r, d, true); }},
    {"bochs.nvt", FORMAT_NVT, [](const Bytes& r, const std::string& d) { return nvt_over(r, d, false); }},
};

uint64_t raw_used(uint32_t start, uint32_t length) {
  uint64_t n = 0;
  for (uint32_t s = start; s < start + length; ++s) n += shared->raw_map.sector_used(s);
  return n;
}

// Writes the wrapping beside its parents in a fresh folder.
std::string write_wrap(const test::TempDir& dir, const Wrap& w) {
  const std::string path = dir.file(w.name);
  test::write_file(path, w.build(shared->raw, dir.path().string()));
  return path;
}

// One process for all of them, so that the disk is made once.
TEST(ReadOnlyFormats, ReadBackShowTheVolumeAndRefuseATrim) {
  shared = shared_disk();
  if (!shared) GTEST_SKIP() << "disk tools missing";
  const test::DiskMapRegion fat = shared->raw_map.regions.at(1);
  ASSERT_EQ(fat.kind, 2);
  char volume_line[128];
  std::snprintf(volume_line, sizeof volume_line, "  %-12u %-12u %-18s %llu\n", fat.start, fat.length,
                "fat (2)", static_cast<unsigned long long>(raw_used(fat.start, fat.length)));
  for (const Wrap& w : kWraps) {
    SCOPED_TRACE(w.name);
    test::TempDir dir;
    const std::string path = write_wrap(dir, w);
    int32_t format = FORMAT_NONE;
    Bytes disk = test::read_image_disk(path, &format);
    EXPECT_EQ(format, w.format);
    ASSERT_GE(disk.size(), shared->raw.size());
    // Whatever a format adds behind the disk to fill its last cylinder reads as zeros.
    EXPECT_TRUE(std::all_of(disk.begin() + static_cast<ptrdiff_t>(shared->raw.size()), disk.end(),
                            [](uint8_t c) { return c == 0; }));
    disk.resize(shared->raw.size());
    EXPECT_TRUE(disk == shared->raw);

    const auto r = test::run_command(shell_quote(test::inspect_binary()) + " " + shell_quote(path));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("format: " + std::to_string(w.format) + " ("), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(volume_line), std::string::npos) << r.output;

    const auto before = fs::file_size(path);
    const auto t = test::quorvex(shell_quote(path));
    EXPECT_EQ(t.status, 2);
    EXPECT_EQ(t.output, "\nERROR\n");
    EXPECT_FALSE(fs::exists(path + "_TEMP"));
    EXPECT_FALSE(fs::exists(path + "_DEL"));
    EXPECT_EQ(fs::file_size(path), before);
  }
}

// A differencing VHD child: a few blocks rewritten with what they held, fifty sectors inside the
// FAT volume zeroed, one block with nothing of its own.
void trim_child_over(const Wrap& w) {
  test::TempDir dir;
  const std::string parent = write_wrap(dir, w);
  const uint32_t total = static_cast<uint32_t>(shared->raw.size() / 512);
  test::VhdShape shape;
  shape.total_sectors = total;
  shape.geometry = std::array<uint32_t, 3>{total / (16 * 8), 16, 8};
  shape.disk_type = 4;
  shape.parent_name = w.name;
  shape.locators = {{"W2ku", test::utf16le_bytes(parent), {}}};
  test::VhdBuilder child(shape);
  const uint32_t spb = child.block_sectors();
  for (uint32_t block : {0u, 7u, 12u})
    child.write(block * spb, std::span(shared->raw).subspan(size_t{block} * spb * 512, size_t{spb} * 512));
  child.mark_present(14 * spb + 100, 50);
  child.allocate(16);
  const std::string vhd = dir.file("child.vhd");
  child.write_to(vhd);

  const Bytes parent_file = test::read_file(parent);
  const test::UsedSectors used = test::used_sectors(vhd);
  const Bytes disk = test::read_image_disk(vhd);
  const uint64_t old_size = fs::file_size(vhd);
  const auto r = test::quorvex(shell_quote(vhd));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(test::ends_with(r.output, "\nSUCCESS\n")) << r.output;
  EXPECT_TRUE(test::read_file(parent) == parent_file);
  EXPECT_LT(fs::file_size(vhd), old_size);
  EXPECT_TRUE(test::used_sectors(vhd).bits == used.bits);
  const Bytes after = test::read_image_disk(vhd);
  ASSERT_EQ(after.size(), disk.size());
  EXPECT_EQ(test::first_used_difference(disk, after, used), -1);
}

TEST(ReadOnlyFormats, VhdChildrenOverBochsAndChdParentsTrim) {
  shared = shared_disk();
  if (!shared) GTEST_SKIP() << "disk tools missing";
  for (const Wrap* w : {&kWraps[6], &kWraps[8]}) {
    SCOPED_TRACE(w->name);
    trim_child_over(*w);
  }
}


struct Campaign {
  const char* name;
  int32_t format;  // opened as this driver, or through detection when negative
  std::function<Bytes(const Bytes& disk, const std::string& dir)> build;
  std::vector<test::ByteRegion> regions;
};

TEST(ReadOnlyDamage, ByteFlipsInHeadersAndTables) {
  Bytes disk(256 * 1024, 0);
  for (size_t i = 0; i < disk.size(); ++i)
    if ((i / 4096) % 3) disk[i] = static_cast<uint8_t>(i * 7 + i / 512);
  Bytes big = disk;
  big.resize(41 * 102400, 0x11);
  const auto flat = [](int32_t format, const Bytes* d) {
    return [=](const Bytes&, const std::string&) { return test::wrap_headed_flat(format, *d); };
  };
  const Campaign campaigns[] = {
      {"disk.hdi", FORMAT_HDI, flat(22, &big), {{0, 32}}},
      {"disk.thd", FORMAT_THD, flat(23, &disk), {{0, 4}}},
      {"disk.nhd", FORMAT_NHD, flat(24, &disk), {{0, 512}}},
      {"disk.hdd", FORMAT_HDD, flat(25, &disk), {{0, 220}}},
      {"disk.bochs", FORMAT_BOCHS, [](const Bytes& d, auto&) { return test::wrap_bochs(d); }, {{0, 528}, {528, 512}}},
      {"disk.im2", FORMAT_CHAINED, [](const Bytes& d, const std::string& dir) {
         test::write_file(dir + "/disk.im1", test::wrap_chained(d, 4096, [](uint32_t) { return true; }));
         return test::wrap_chained(d, 4096);
       }, {{0, 16}, {256, 256}}},
      {"disk.chd", FORMAT_CHD, [](const Bytes& d, auto&) { return test::wrap_chd(d, 3, 4096); }, {{0, 120 + 64 * 16}}},
      {"disk4.chd", FORMAT_CHD, [](const Bytes& d, auto&) { return test::wrap_chd(d, 4, 4096); }, {{0, 108 + 64 * 16}}},
      {"disk.nvt", -1, [](const Bytes& d, const std::string& dir) {
         test::write_file(dir + "/parent.raw", d);
         return test::nvt_file("parent.raw", test::NvtFlatParent{0, 512}, {{1, Bytes(65536, 3)}, {3, Bytes(65536, 4)}});
       }, {{0, 48}, {512, 16}, {1024, 3072}}},
  };
  for (const Campaign& c : campaigns) {
    test::TempDir dir;
    const std::string path = dir.file(c.name);
    test::write_file(path, c.build(disk, dir.path().string()));
    ASSERT_FALSE(test::read_image_disk(path).empty()) << c.name;
    const test::FlipStats stats = test::run_image_flip_campaign(path, c.format, c.regions, 300, 0x5eed);
    EXPECT_EQ(stats.failure, "") << c.name;
    EXPECT_GT(stats.flips, 250) << c.name;
    std::printf("%s: %d of %d damaged files opened\n", c.name, stats.accepted, stats.flips);
  }
}

}  // namespace
}  // namespace qx
