// Parallels bundles built to exact shapes: which descriptors open, how storages are found and
// read, and what a trim of several storages leaves behind when it succeeds or fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "formats/parallels/bundle.hpp"
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

constexpr uint32_t kStorageSectors = 64;

test::ParallelsShape storage_shape(bool current) {
  test::ParallelsShape s;
  s.total_sectors = kStorageSectors;
  s.cluster_signature = current;
  s.cluster_sectors = 16;
  s.heads = 1;
  s.cylinders = 4;
  return s;
}

// Storage i holds sectors of value i + 1 at 3 and 40, and an allocated cluster of zeros.
test::ParallelsBuilder storage_image(uint32_t i, const test::ParallelsShape& shape) {
  test::ParallelsBuilder b(shape);
  b.fill(3, 2, static_cast<uint8_t>(i + 1));
  b.fill(40, 1, static_cast<uint8_t>(0x80 + i));
  if (b.entries() > 1) b.allocate(1);
  return b;
}

struct Bundle {
  std::string folder;
  std::vector<std::string> files;
  std::vector<std::vector<uint8_t>> bytes;
  std::vector<uint8_t> disk;  // what the bundle must read
};

// `storages` images of the current signature, or of the old one with padding where asked.
Bundle make_bundle(const test::TempDir& dir, uint32_t storages, uint32_t old_padding = 0,
                   const std::function<void(test::BundleShape&)>& edit = {}) {
  Bundle b{dir.file("disk.hdd"), {}, {}, {}};
  std::vector<std::vector<std::string>> rows;
  for (uint32_t i = 0; i < storages; ++i) {
    const std::string file = "disk.hdd." + std::to_string(i) + ".hds";
    rows.push_back({std::to_string(i * kStorageSectors), std::to_string((i + 1) * kStorageSectors), file});
    b.files.push_back(b.folder + "/" + file);
  }
  test::BundleShape shape = test::bundle_shape(storages * kStorageSectors, rows);
  shape.padding = old_padding;
  if (edit) edit(shape);
  test::write_bundle_descriptor(b.folder, shape);
  for (uint32_t i = 0; i < storages; ++i) {
    test::ParallelsShape s = storage_shape(old_padding == 0);
    s.padding = old_padding;
    // Clusters begin behind the padding (an entry of 0 would mean none), off the writer's grid.
    if (old_padding) s.data_offset = old_padding + 1;
    const auto image = storage_image(i, s);
    b.bytes.push_back(image.bytes());
    test::write_file(b.files[i], b.bytes.back());
    std::vector<uint8_t> part(kStorageSectors * 512, 0);
    std::fill_n(part.begin() + 3 * 512, 2 * 512, static_cast<uint8_t>(i + 1));
    std::fill_n(part.begin() + 40 * 512, 512, static_cast<uint8_t>(0x80 + i));
    b.disk.insert(b.disk.end(), part.begin(), part.end());
  }
  return b;
}

std::vector<uint8_t> read_disk(const std::string& path, ErrorCode& rc) {
  DiskImage image;
  if ((rc = open_image(image, path, true)) != OK) return {};
  if (image.format != FORMAT_PARALLELS_BUNDLE) rc = ERR_UNSUPPORTED;
  std::vector<uint8_t> disk(get_geometry(image).size_bytes());
  if (rc == OK) rc = read_bytes(image, 0, disk);
  return disk;
}

std::string descriptor_path(const Bundle& b) { return b.folder + "/DiskDescriptor.xml"; }

void replace_in_descriptor(const Bundle& b, const std::string& from, const std::string& to) {
  auto bytes = test::read_file(descriptor_path(b));
  std::string text(bytes.begin(), bytes.end());
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
  test::write_file(descriptor_path(b), std::vector<uint8_t>(text.begin(), text.end()));
}

TEST(ParallelsBundle, FolderAndDescriptorOpenTheSameDisk) {
  test::TempDir dir;
  const Bundle b = make_bundle(dir, 3);
  for (const std::string& path : {b.folder, b.folder + "/", descriptor_path(b)}) {
    ErrorCode rc = OK;
    EXPECT_EQ(read_disk(path, rc), b.disk) << path;
    EXPECT_EQ(rc, OK) << path;
  }
}

struct DescriptorCase {
  const char* name;
  std::function<void(test::BundleShape&)> shape;
  std::function<void(const Bundle&)> files;
  ErrorCode expected;
};

void swap_storages(test::BundleShape& s) { std::swap(s.storages[0], s.storages[2]); }

const DescriptorCase kDescriptorCases[] = {
    {"storages out of order", swap_storages, {}, OK},
    {"a gap between storages", [](auto& s) { s.storages[1].start = "65"; }, {}, ERR_BAD_FORMAT},
    {"overlapping storages", [](auto& s) { s.storages[1].start = "32"; }, {}, ERR_BAD_FORMAT},
    {"Start 00", [](auto& s) { s.storages[0].start = "00"; }, {}, ERR_BAD_FORMAT},
    {"Start not below End", [](auto& s) { s.storages[2].end = "128"; s.disk_size = 128; }, {}, ERR_BAD_FORMAT},
    {"two Shots", [](auto& s) { s.shots.push_back({"{1}", test::kSnapshotGuid}); }, {}, ERR_BAD_FORMAT},
    {"a Shot over another", [](auto& s) { s.shots[0].second = "{1}"; }, {}, ERR_BAD_FORMAT},
    {"no Shot", [](auto& s) { s.shots.clear(); s.shots.push_back({"", ""}); }, [](const Bundle& b) {
       replace_in_descriptor(b, "<Shot>", "<Shit>");
       replace_in_descriptor(b, "</Shot>", "</Shit>");
     }, ERR_NO_MEMORY},
    {"no Storage", [](auto& s) { s.storages.clear(); }, {}, ERR_NO_MEMORY},
    {"a Storage without End", {}, [](const Bundle& b) { replace_in_descriptor(b, "<End>64</End>", ""); }, ERR_BAD_FORMAT},
    {"an unknown Type", [](auto& s) { s.storages[1].images[0].type = "Sparse"; }, {}, ERR_BAD_FORMAT},
    {"no image of the snapshot", [](auto& s) { s.storages[1].images[0].guid = "{2}"; }, {}, ERR_BAD_FORMAT},
    {"a file outside the folder", [](auto& s) { s.storages[1].images[0].file = "../x.hds"; }, {}, ERR_BAD_FORMAT},
    {"two storages in one file", [](auto& s) { s.storages[1].images[0].file = s.storages[0].images[0].file; }, {}, ERR_BAD_FORMAT},
    {"storages short of the disk", [](auto& s) { s.disk_size = 200; }, {}, ERR_BAD_FORMAT},
    {"a missing image", {}, [](const Bundle& b) { fs::remove(b.files[1]); }, ERR_BAD_FORMAT},
    {"an image shorter than its storage", {}, [](const Bundle& b) {
       auto f = test::read_file(b.files[1]);
       store_le<uint64_t>(&f[36], kStorageSectors - 1);
       test::write_file(b.files[1], f);
     }, ERR_BAD_FORMAT},
    {"a truncated image", {}, [](const Bundle& b) { fs::resize_file(b.files[2], fs::file_size(b.files[2]) - 512); }, ERR_BAD_FORMAT},
    {"Disk_size not a number", {}, [](const Bundle& b) { replace_in_descriptor(b, "<Disk_size>192", "<Disk_size>192x"); }, ERR_BAD_FORMAT},
    {"a numeric reference", {}, [](const Bundle& b) { replace_in_descriptor(b, "<Name>disk", "<Name>&#100;isk"); }, ERR_BAD_FORMAT},
    {"a mismatched end tag", {}, [](const Bundle& b) { replace_in_descriptor(b, "</Heads>", "</Head>"); }, ERR_BAD_FORMAT},
    {"a descriptor cut inside a tag", {}, [](const Bundle& b) { fs::resize_file(descriptor_path(b), 700); }, ERR_BAD_FORMAT},
    {"a descriptor of 127 bytes", {}, [](const Bundle& b) { fs::resize_file(descriptor_path(b), 127); }, ERR_BAD_FORMAT},
    {"no descriptor", {}, [](const Bundle& b) { fs::remove(descriptor_path(b)); }, ERR_BAD_FORMAT},
    {"another text", {}, [](const Bundle& b) { replace_in_descriptor(b, "<?xml", "<?xmm"); }, ERR_BAD_FORMAT},
};

TEST(ParallelsBundle, Descriptors) {
  for (const DescriptorCase& c : kDescriptorCases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const Bundle b = make_bundle(dir, 3, 0, c.shape);
    if (c.files) c.files(b);
    DiskImage image;
    const ErrorCode rc = open_image_as(image, b.folder, true, FORMAT_PARALLELS_BUNDLE);
    EXPECT_EQ(rc, c.expected);
    if (rc == OK) {
      ErrorCode read_rc = OK;
      EXPECT_EQ(read_disk(b.folder, read_rc), b.disk);
    }
  }
}

void expect_untouched(const Bundle& b, const std::vector<uint8_t>& descriptor) {
  for (size_t i = 0; i < b.files.size(); ++i) {
    EXPECT_EQ(test::read_file(b.files[i]), b.bytes[i]) << i;
    EXPECT_FALSE(fs::exists(b.files[i] + "_DEL")) << i;
  }
  EXPECT_EQ(test::read_file(descriptor_path(b)), descriptor);
}

TEST(ParallelsBundle, TrimsEveryStorage) {
  for (const uint32_t padding : {0u, 1u}) {
    SCOPED_TRACE(padding ? "old signature, padded" : "current signature");
    test::TempDir dir;
    const Bundle b = make_bundle(dir, 3, padding);
    const auto descriptor = test::read_file(descriptor_path(b));
    const auto r = test::quorvex(shell_quote(b.folder));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("\nSUCCESS\n"), std::string::npos) << r.output;
    ErrorCode rc = OK;
    EXPECT_EQ(read_disk(b.folder, rc), b.disk);
    EXPECT_EQ(rc, OK);
    EXPECT_EQ(test::read_file(descriptor_path(b)), descriptor);
    for (size_t i = 0; i < b.files.size(); ++i) {
      EXPECT_EQ(test::read_file(b.files[i] + "_DEL"), b.bytes[i]);
      const auto file = test::read_file(b.files[i]);
      const auto view = test::parse_parallels(file);
      // One cluster of table, then clusters 0 and 2; the zero cluster went.
      EXPECT_EQ(file.size(), 3 * 16 * 512u) << i;
      EXPECT_EQ(view.data_offset, 16u);
      EXPECT_EQ(view.bat, (padding ? std::vector<uint32_t>{15, 0, 31, 0} : std::vector<uint32_t>{1, 0, 2, 0}));
      if (padding == 0 && test::have_tool("qemu-img")) {
        const auto check = test::run_command("qemu-img check -f parallels " + shell_quote(b.files[i]) + " 2>&1");
        EXPECT_EQ(check.status, 0) << check.output;
      }
    }
  }
}

TEST(ParallelsBundle, PlainStorageReadsButIsNotTrimmed) {
  test::TempDir dir;
  Bundle b = make_bundle(dir, 3, 0, [](auto& s) { s.storages[1].images[0].type = "Plain"; });
  b.bytes[1].assign(b.disk.begin() + kStorageSectors * 512, b.disk.begin() + 2 * kStorageSectors * 512);
  test::write_file(b.files[1], b.bytes[1]);
  ErrorCode rc = OK;
  EXPECT_EQ(read_disk(b.folder, rc), b.disk);
  EXPECT_EQ(rc, OK);
  const auto descriptor = test::read_file(descriptor_path(b));
  const auto r = test::quorvex(shell_quote(b.folder));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("\nERROR\n"), std::string::npos) << r.output;
  expect_untouched(b, descriptor);
  for (const auto& f : b.files) EXPECT_FALSE(fs::exists(f + "_TEMP"));
}

TEST(ParallelsBundle, StorageImageAloneIsNotTrimmed) {
  test::TempDir dir;
  const Bundle b = make_bundle(dir, 2);
  const auto descriptor = test::read_file(descriptor_path(b));
  const auto r = test::quorvex(shell_quote(b.files[0]));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("\nERROR\n"), std::string::npos) << r.output;
  expect_untouched(b, descriptor);
  EXPECT_FALSE(fs::exists(b.files[0] + "_TEMP"));
}

TEST(ParallelsBundle, ImageStillInUseIsNotTrimmed) {
  test::TempDir dir;
  Bundle b = make_bundle(dir, 3);
  store_le<uint32_t>(&b.bytes[2][44], 0x746F6E59);
  test::write_file(b.files[2], b.bytes[2]);
  const auto descriptor = test::read_file(descriptor_path(b));
  const auto r = test::quorvex(shell_quote(b.folder));
  EXPECT_EQ(r.status, 2);
  expect_untouched(b, descriptor);
  for (const auto& f : b.files) EXPECT_FALSE(fs::exists(f + "_TEMP"));
}

TEST(ParallelsBundle, FailedSwapOfTheSecondStoragePutsEveryFileBack) {
  test::TempDir dir;
  const Bundle b = make_bundle(dir, 3);
  fs::create_directories(b.files[1] + "_DEL/x");
  const auto descriptor = test::read_file(descriptor_path(b));
  const auto r = test::quorvex("-d " + shell_quote(b.folder));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(test::ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(r.output.find("QxDeleteFile"), std::string::npos);
  for (size_t i = 0; i < b.files.size(); ++i) {
    EXPECT_EQ(test::read_file(b.files[i]), b.bytes[i]) << i;
    EXPECT_FALSE(fs::exists(b.files[i] + "_TEMP")) << i;
    EXPECT_EQ(fs::exists(b.files[i] + "_DEL"), i == 1) << i;
  }
  EXPECT_EQ(test::read_file(descriptor_path(b)), descriptor);
}

TEST(ParallelsBundle, SecondTrimFails) {
  // Its "_TEMP" name is held by a folder; then its output outgrows the file size limit.
  for (const bool by_limit : {false, true}) {
    SCOPED_TRACE(by_limit ? "write fails midway" : "temporary file not creatable");
    test::TempDir dir;
    Bundle b = make_bundle(dir, 3);
    if (by_limit) {
      // 40 KiB files at most: the first and third outputs fit, the second's 64 KiB cluster not.
      test::ParallelsShape big = storage_shape(true);
      big.cluster_sectors = 128;
      big.cylinders = 1;
      b.bytes[1] = storage_image(1, big).bytes();
      test::write_file(b.files[1], b.bytes[1]);
    } else {
      fs::create_directory(b.files[1] + "_TEMP");
    }
    const auto descriptor = test::read_file(descriptor_path(b));
    const std::string command = shell_quote(test::quorvex_binary()) + " " + shell_quote(b.folder);
    const auto r = test::run_command(by_limit ? "bash -c " + shell_quote("trap '' XFSZ; ulimit -f 40; exec " + command) + " 2>&1"
                                              : command + " 2>&1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("\nERROR\n"), std::string::npos) << r.output;
    expect_untouched(b, descriptor);
    EXPECT_FALSE(fs::exists(b.files[0] + "_TEMP"));
    EXPECT_EQ(fs::exists(b.files[1] + "_TEMP"), !by_limit);
    EXPECT_FALSE(fs::exists(b.files[2] + "_TEMP"));
  }
}

}  // namespace
}  // namespace qx
