// The length rules and signatures that decide formats 22 to 27, at their exact borders.
#include <gtest/gtest.h>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/emulator_images.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

using test::Bytes;

Bytes with_disk(Bytes head, uint64_t disk_bytes) {
  head.resize(head.size() + disk_bytes, 0x5A);
  return head;
}

struct Case {
  const char* what;
  const char* name;
  std::function<Bytes()> file;
  int32_t format;            // the driver asked, or FORMAT_NONE for detection
  ErrorCode expected;
  DiskGeometry geometry;     // when it opens
};

const Case kCases[] = {
    {"hdi disk of 4,121,600 bytes", "a.hdi", [] { return with_disk(test::headed_flat_header(22, {8050, 1, 1, 512}), 4121600); },
     FORMAT_NONE, OK, {8050, 1, 1, 512}},
    {"hdi disk of 4,121,439 bytes", "a.hdi", [] { return with_disk(test::headed_flat_header(22, {4121439, 1, 1, 1}), 4121439); },
     FORMAT_HDI, ERR_BAD_FORMAT, {}},
    {"hdi data size one byte off", "a.hdi", [] {
       Bytes b = with_disk(test::headed_flat_header(22, {8050, 1, 1, 512}), 4121600);
       b[12] += 1;
       return b;
     }, FORMAT_HDI, ERR_BAD_FORMAT, {}},
    {"thd of 10 cylinders", "a.thd", [] { return with_disk(test::headed_flat_header(23, {10}), 675840); },
     FORMAT_NONE, OK, {2640, 8, 33, 256}},
    {"thd one byte long", "a.thd", [] { return with_disk(test::headed_flat_header(23, {10}), 675841); },
     FORMAT_THD, ERR_BAD_FORMAT, {}},
    {"nhd", "a.nhd", [] { return with_disk(test::headed_flat_header(24, {20, 4, 17, 512}), 20 * 4 * 17 * 512); },
     FORMAT_NONE, OK, {1360, 4, 17, 512}},
    {"nhd without the NUL", "a.nhd", [] {
       Bytes b = with_disk(test::headed_flat_header(24, {20, 4, 17, 512}), 20 * 4 * 17 * 512);
       b[14] = 'X';
       return b;
     }, FORMAT_NHD, ERR_BAD_FORMAT, {}},
    {"hdd", "a.hdd", [] { return with_disk(test::headed_flat_header(25, {30, 2, 9, 1024}), 30 * 2 * 9 * 1024); },
     FORMAT_NONE, OK, {540, 2, 9, 1024}},
    {"69,206,016 bytes", "a.raw", [] { return Bytes(69206016, 0); }, FORMAT_NONE, OK, {128000, 8, 20, 512}},
    {"69,206,017 bytes", "a.raw", [] { return Bytes(69206017, 0); }, FORMAT_FIXED_69M, ERR_BAD_FORMAT, {}},
    {"10 MiB disk.h0", "disk.h0", [] { return Bytes(10 << 20, 0); }, FORMAT_NONE, OK, {20480, 64, 32, 512}},
    {"10 MiB disk.h5", "disk.h5", [] { return Bytes(10 << 20, 0); }, FORMAT_NONE, ERR_UNSUPPORTED, {}},
    {"disk.h1 half a MiB long", "disk.h1", [] { return Bytes(3 << 19, 0); }, FORMAT_H0, ERR_BAD_FORMAT, {}},
};

TEST(HeadedFlat, LengthRulesAndSignatures) {
  const FormatId detected[] = {FORMAT_HDI, FORMAT_THD, FORMAT_NHD, FORMAT_HDD, FORMAT_FIXED_69M, FORMAT_H0};
  for (const Case& c : kCases) {
    test::TempDir dir;
    const std::string path = dir.file(c.name);
    test::write_file(path, c.file());
    DiskImage image;
    const ErrorCode rc = c.format == FORMAT_NONE ? open_image(image, path, true)
                                                 : open_image_as(image, path, true, c.format);
    ASSERT_EQ(rc, c.expected) << c.what;
    if (rc != OK) continue;
    EXPECT_NE(std::find(std::begin(detected), std::end(detected), image.format), std::end(detected)) << c.what;
    const DiskGeometry g = get_geometry(image);
    EXPECT_EQ(g.total_sectors, c.geometry.total_sectors) << c.what;
    EXPECT_EQ(g.heads, c.geometry.heads) << c.what;
    EXPECT_EQ(g.sectors_per_track, c.geometry.sectors_per_track) << c.what;
    EXPECT_EQ(g.bytes_per_sector, c.geometry.bytes_per_sector) << c.what;
    // Free-range queries count 512-byte sectors, whatever the disk's own sector size.
    const auto sectors = static_cast<uint32_t>(g.size_bytes() / 512);
    bool free = false;
    EXPECT_EQ(is_range_free(image, nullptr, 0, sectors, free, nullptr), OK) << c.what;
    EXPECT_EQ(is_range_free(image, nullptr, 0, sectors + 1, free, nullptr), ERR_UNSUPPORTED) << c.what;
  }
}

}  // namespace
}  // namespace qx
