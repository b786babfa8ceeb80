// Every writer turns the same images into the same bytes: the trimmed files of images built in
// code, over a map with free stretches, hash to the values the writers have always produced.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/explicit_map.hpp"
#include "support/parallels_builder.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vdi_builder.hpp"
#include "support/vhd_builder.hpp"
#include "support/vhdx_builder.hpp"
#include "support/vmdk_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSectors = 65536;  // 32 MiB

// Bytes no two sectors share, never zero.
std::vector<uint8_t> data(uint32_t sector, uint32_t count) {
  std::vector<uint8_t> out(size_t{count} * 512);
  uint32_t x = sector * 2654435761u + 7;
  for (uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x | 1);
  }
  return out;
}

// What every image holds: data that stays, data in sectors the map calls free, stored zeros under
// used sectors, and the last sector of the disk.
template <typename Write>
void fill_disk(Write&& write) {
  for (uint32_t at : {0u, 20000u, 20100u, 33000u, kSectors - 1})
    write(at, data(at, at == 20000u ? 64u : at == kSectors - 1 ? 1u : 8u));
  write(4196, data(4196, 16));                        // free
  write(9000, std::vector<uint8_t>(16 * 512, 0));     // used, zeros
  write(31000, data(31000, 4));                       // free
}

void set_free(test::ExplicitUsageMap& map) {
  map.set_free(4096, 4096);
  map.set_free(30000, 2048);
}

uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

struct Case {
  const char* name;
  const char* image;  // the file handed to the trim
  std::function<void(const test::TempDir&)> make;
  uint64_t expected;  // over every file of the folder but the backups, in name order
};

const Case kCases[] = {
    {"vdi", "d.vdi",
     [](const test::TempDir& dir) {
       test::VdiShape shape;
       shape.disk_size = uint64_t{kSectors} * 512;
       test::VdiBuilder b(shape);
       fill_disk([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.vdi"));
     },
     0x7f12bd9e611637f6ull},
    {"vdi fixed", "d.vdi",
     [](const test::TempDir& dir) {
       test::VdiShape shape;
       shape.disk_size = uint64_t{kSectors} * 512;
       shape.image_type = 2;
       test::VdiBuilder b(shape);
       fill_disk([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.vdi"));
     },
     0x2617a3c851b98631ull},
    {"vhd 64 KiB blocks", "d.vhd",
     [](const test::TempDir& dir) {
       test::VhdShape shape;
       shape.total_sectors = kSectors;
       shape.block_bytes = 64u << 10;
       shape.geometry = std::array<uint32_t, 3>{1024, 16, 4};
       test::VhdBuilder b(shape);
       fill_disk([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.vhd"));
     },
     0x8ba7d2ec834c389aull},
    {"vhdx", "d.vhdx",
     [](const test::TempDir& dir) {
       test::VhdxShape shape;
       shape.disk_bytes = uint64_t{kSectors} * 512;
       test::VhdxBuilder b(shape);
       fill_disk([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(uint64_t{at} * 512, d); });
       b.write_to(dir.file("d.vhdx"));
     },
     0xa3383e8ba9c65c36ull},
    {"vmdk", "d.vmdk",
     [](const test::TempDir& dir) {
       test::VmdkExtentBuilder b(test::vmdk_shape(
           kSectors, test::vmdk_descriptor("monolithicSparse", {test::sparse_extent_line(kSectors, "d.vmdk")})));
       fill_disk([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.vmdk"));
     },
     0xbd695736a91cab9eull},
    {"vmdk split", "d.vmdk",
     [](const test::TempDir& dir) {
       std::vector<std::string> lines;
       for (uint32_t i = 0; i < 4; ++i) {
         const uint32_t first = i * kSectors / 4;
         test::VmdkExtentBuilder b(test::vmdk_shape(kSectors / 4));
         fill_disk([&](uint32_t at, const std::vector<uint8_t>& d) {
           if (at >= first && at < first + kSectors / 4) b.write(at - first, d);
         });
         const std::string name = "d-s00" + std::to_string(i + 1) + ".vmdk";
         b.write_to(dir.file(name));
         lines.push_back(test::sparse_extent_line(kSectors / 4, name));
       }
       const std::string text = test::vmdk_descriptor("twoGbMaxExtentSparse", lines);
       test::write_file(dir.file("d.vmdk"), std::vector<uint8_t>(text.begin(), text.end()));
     },
     0x8e5045182a4c1bb0ull},
    {"parallels", "d.hdd",
     [](const test::TempDir& dir) {
       test::ParallelsShape shape;
       shape.total_sectors = kSectors;
       test::ParallelsBuilder b(shape);
       fill_disk([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.hdd"));
     },
     0x81c13a496434faf9ull},
    {"parallels bundle", "disk.hdd",
     [](const test::TempDir& dir) {
       const std::string folder = dir.file("disk.hdd");
       std::vector<std::vector<std::string>> rows;
       for (uint32_t i = 0; i < 2; ++i)
         rows.push_back({std::to_string(i * kSectors / 2), std::to_string((i + 1) * kSectors / 2),
                         "disk.hdd." + std::to_string(i) + ".hds"});
       test::write_bundle_descriptor(folder, test::bundle_shape(kSectors, rows));
       for (uint32_t i = 0; i < 2; ++i) {
         test::ParallelsShape shape;
         shape.total_sectors = kSectors / 2;
         test::ParallelsBuilder b(shape);
         const uint32_t first = i * kSectors / 2;
         fill_disk([&](uint32_t at, const std::vector<uint8_t>& d) {
           if (at >= first && at < first + kSectors / 2) b.write(at - first, d);
         });
         b.write_to(folder + "/" + rows[i][2]);
       }
     },
     0x6ccb8310832c2995ull},
};

// The files a trim leaves, backups aside, hashed one after another in name order (a bundle's
// folder is walked too).
uint64_t hash_outputs(const test::TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir.path()))
    if (e.is_regular_file() && !e.path().string().ends_with("_DEL")) names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  uint64_t h = 0;
  for (const std::string& n : names) h = h * 31 + fnv1a(test::read_file(n));
  return h;
}

class WriterIdentity : public ::testing::TestWithParam<Case> {};

TEST_P(WriterIdentity, TrimmedFilesHashAsBefore) {
  const Case& c = GetParam();
  test::TempDir dir;
  c.make(dir);
  test::ExplicitUsageMap map(kSectors);
  set_free(map);
  ASSERT_EQ(test::trim(dir.file(c.image), nullptr, &map.map()).rc, OK);
  const uint64_t h = hash_outputs(dir);
  // QX_PRINT_IDENTITY=1 prints the values to record.
  if (std::getenv("QX_PRINT_IDENTITY")) std::printf("%s 0x%016llxull\n", c.name, static_cast<unsigned long long>(h));
  EXPECT_EQ(h, c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Writers, WriterIdentity, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

}  // namespace
}  // namespace qx
