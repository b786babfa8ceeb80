// The stand-alone Parallels image on files built to exact shapes: which headers open, where the
// data starts, what a trim keeps, and what it writes in the table.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "formats/parallels/parallels.hpp"
#include "formats/format_ids.hpp"
#include "image/byte_order.hpp"
#include "image/disk_image.hpp"
#include "support/parallels_builder.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

// 3 clusters of 16 sectors and a short fourth: 56 sectors.
test::ParallelsShape small_shape(bool cluster_signature) {
  test::ParallelsShape s;
  s.total_sectors = 56;
  s.cluster_signature = cluster_signature;
  s.cluster_sectors = 16;
  s.heads = 1;
  s.cylinders = cluster_signature ? 99 : 4;  // qemu stores a cylinder count unrelated to the size
  if (!cluster_signature) s.total_sectors = 64;
  return s;
}

test::ParallelsBuilder sample(bool cluster_signature) {
  test::ParallelsBuilder b(small_shape(cluster_signature));
  b.fill(3, 2, 0x11);
  b.allocate(1);          // allocated, all zero: dropped
  b.fill(50, 6, 0x33);    // the last cluster
  return b;
}

struct OpenCase {
  const char* name;
  bool cluster_signature;
  std::function<void(test::ParallelsShape&)> shape;
  std::function<void(std::vector<uint8_t>&)> bytes;
  ErrorCode expected;
};

const OpenCase kOpenCases[] = {
    {"current signature", true, {}, {}, OK},
    {"old signature", false, {}, {}, OK},
    {"16th signature byte", true, {}, [](auto& f) { f[15] = 'u'; }, ERR_BAD_FORMAT},
    {"16th old signature byte", false, {}, [](auto& f) { f[15] = 'f'; }, ERR_BAD_FORMAT},
    {"one byte too long", false, {}, [](auto& f) { f.push_back(0); }, ERR_BAD_FORMAT},
    {"one byte too short", true, {}, [](auto& f) { f.pop_back(); }, ERR_BAD_FORMAT},
    {"cluster of zero sectors", true, {}, [](auto& f) { store_le<uint32_t>(&f[28], 0); }, ERR_BAD_FORMAT},
    {"data offset inside the table", true, [](auto& s) { s.entries = 200; s.data_offset = 1; }, {}, ERR_BAD_FORMAT},
    {"data offset off the cluster grid", true, [](auto& s) { s.data_offset = 24; }, {}, ERR_BAD_FORMAT},
    {"entry before the data start", false, [](auto& s) { s.entries = 112; }, [](auto& f) { store_le<uint32_t>(&f[64], 1); }, ERR_BAD_FORMAT},
    {"entry before the current data start", true, [](auto& s) { s.data_offset = 32; }, [](auto& f) { store_le<uint32_t>(&f[64], 1); }, ERR_BAD_FORMAT},
    {"two entries, one cluster", true, {}, [](auto& f) { store_le<uint32_t>(&f[68], le32(&f[64])); }, ERR_BAD_FORMAT},
    {"disk beyond the table", false, [](auto& s) { s.cylinders = 5; }, {}, ERR_BAD_FORMAT},
    {"current disk beyond the table", true, {}, [](auto& f) { store_le<uint64_t>(&f[36], 65); }, ERR_BAD_FORMAT},
    {"table larger than the file", true, {}, [](auto& f) { store_le<uint32_t>(&f[32], 0x40000000); }, ERR_BAD_FORMAT},
    {"still in use", true, [](auto& s) { s.in_use = true; }, {}, OK},
};

TEST(ParallelsOpen, Headers) {
  test::TempDir dir;
  for (const OpenCase& c : kOpenCases) {
    SCOPED_TRACE(c.name);
    test::ParallelsShape shape = small_shape(c.cluster_signature);
    if (c.shape) c.shape(shape);
    test::ParallelsBuilder b(shape);
    b.fill(3, 2, 0x11);
    b.fill(20, 1, 0x22);
    b.fill(40, 1, 0x44);
    auto bytes = b.bytes();
    if (c.bytes) c.bytes(bytes);
    const std::string path = dir.file("d.hdd");
    test::write_file(path, bytes);
    DiskImage image;
    EXPECT_EQ(open_image_as(image, path, true, FORMAT_PARALLELS), c.expected);
  }
}

TEST(ParallelsOpen, DataStartOfTheOldSignature) {
  test::TempDir dir;
  for (const auto& [entries, start] : {std::pair{112u, 1024u}, {111u, 512u}}) {
    test::ParallelsShape shape = small_shape(false);
    shape.entries = entries;
    test::ParallelsBuilder b(shape);
    b.fill(0, 1, 0x55);
    const std::string path = dir.file("d.hdd");
    b.write_to(path);
    DiskImage image;
    ASSERT_EQ(open_image(image, path, true), OK);
    EXPECT_EQ(image.format, FORMAT_PARALLELS);
    ParallelsLayout layout;
    ASSERT_TRUE(parallels_layout(image, layout));
    EXPECT_EQ(layout.data_start, start) << entries;
  }
}

std::vector<uint8_t> qemu_raw(const std::string& image, const test::TempDir& dir) {
  const std::string raw = dir.file("qemu.raw");
  const auto r = test::run_command("qemu-img convert -f parallels -O raw " + shell_quote(image) + " " +
                                   shell_quote(raw) + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.output;
  return test::read_file(raw);
}

std::vector<uint8_t> driver_disk(const std::string& path) {
  DiskImage image;
  EXPECT_EQ(open_image(image, path, true), OK);
  std::vector<uint8_t> disk(get_geometry(image).size_bytes());
  EXPECT_EQ(read_bytes(image, 0, disk), OK);
  return disk;
}

TEST(ParallelsTrim, BothSignatures) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  for (const bool current : {true, false}) {
    SCOPED_TRACE(current ? "current signature" : "old signature");
    test::TempDir dir;
    const std::string path = dir.file("d.hdd");
    sample(current).write_to(path);
    const auto before = driver_disk(path);
    EXPECT_EQ(qemu_raw(path, dir), before);
    ASSERT_EQ(test::trim(path).rc, OK);

    const auto file = test::read_file(path);
    const auto view = test::parse_parallels(file);
    EXPECT_EQ(std::memcmp(file.data(), test::read_file(path + "_DEL").data(), 64), 0);
    const uint64_t start = current ? 16 * 512 : 512;
    // Cluster 1 held nothing; the others are packed in order, entries in the signature's unit.
    EXPECT_EQ(view.bat, (current ? std::vector<uint32_t>{1, 0, 0, 2} : std::vector<uint32_t>{1, 0, 0, 17}));
    EXPECT_EQ(file.size(), start + 2 * 16 * 512u);
    for (uint64_t at = 64 + 4 * view.entries; at < start; at += 4)
      ASSERT_EQ(le32(&file[at]), current ? 0u : 0xFFFFFFFFu) << at;
    EXPECT_EQ(driver_disk(path), before);
    EXPECT_EQ(qemu_raw(path, dir), before);
    const auto check = test::run_command("qemu-img check -f parallels " + shell_quote(path) + " 2>&1");
    EXPECT_EQ(check.status, 0) << check.output;
  }
}

TEST(ParallelsTrim, LastClusterWrittenWhole) {
  test::TempDir dir;
  test::ParallelsShape shape = small_shape(true);
  shape.total_sectors = 50;  // the last cluster shows two sectors
  test::ParallelsBuilder b(shape);
  b.fill(48, 2, 0x66);
  const std::string path = dir.file("d.hdd");
  b.write_to(path);
  ASSERT_EQ(test::trim(path).rc, OK);
  const auto file = test::read_file(path);
  ASSERT_EQ(file.size(), 2 * 16 * 512u);
  EXPECT_EQ(test::parse_parallels(file).bat[3], 1u);
  EXPECT_EQ(file[16 * 512 + 2 * 512 - 1], 0x66);
  EXPECT_EQ(file.back(), 0);
}

TEST(ParallelsTrim, DataBeyondTheShownDiskIsKept) {
  // The old signature's disk is heads x cylinders x cluster sectors: 32 sectors, while the
  // header's total and the table reach further. Another reader may show those clusters.
  test::TempDir dir;
  test::ParallelsShape shape = small_shape(false);
  shape.cylinders = 2;
  test::ParallelsBuilder b(shape);
  b.fill(2, 1, 0x11);
  b.fill(40, 1, 0x22);
  b.allocate(3);
  const std::string path = dir.file("d.hdd");
  b.write_to(path);
  ASSERT_EQ(test::trim(path).rc, OK);
  const auto view = test::parse_parallels(test::read_file(path));
  EXPECT_NE(view.bat[0], 0u);
  EXPECT_NE(view.bat[2], 0u);
  EXPECT_EQ(view.bat[3], 0u);
}

TEST(ParallelsTrim, RefusedImagesAreLeftAlone) {
  test::TempDir dir;
  struct Damage {
    std::function<void(std::vector<uint8_t>&)> edit;
    bool opens;  // a trim is refused ("ERROR"); otherwise the open fails and nothing is printed
  };
  const Damage damage[] = {
      {[](auto& f) { store_le<uint32_t>(&f[44], 0x746F6E59); }, true},  // still in use
      {[](auto& f) { store_le<uint64_t>(&f[56], 16); }, true},          // an extension cluster
      {[](auto& f) { f.resize(f.size() - 4096); }, false},              // truncated
      {[](auto& f) { store_le<uint32_t>(&f[64 + 12], 99); }, false},    // an entry beyond the end
  };
  for (const auto& d : damage) {
    auto bytes = sample(true).bytes();
    d.edit(bytes);
    const std::string path = dir.file("d.hdd");
    test::write_file(path, bytes);
    const auto r = test::quorvex(shell_quote(path));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output.find("\nERROR\n") != std::string::npos, d.opens) << r.output;
    EXPECT_EQ(test::read_file(path), bytes);
    EXPECT_FALSE(fs::exists(path + "_TEMP"));
    EXPECT_FALSE(fs::exists(path + "_DEL"));
  }
}

}  // namespace
}  // namespace qx
