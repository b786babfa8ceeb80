// QCOW2 read side: images of the builder in every entry shape read as their disk (with qemu-img
// as the oracle), and every damage of the header or the tables ends in its own clean refusal.
#include <gtest/gtest.h>

#include <functional>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/file_patch.hpp"
#include "support/flip_campaign.hpp"
#include "support/qcow_builder.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

using test::shell_quote;
using Bytes = std::vector<uint8_t>;

// Data in the first clusters, in the middle and in the last sector; zeros elsewhere.
Bytes sample_disk(uint64_t size) {
  Bytes disk(size, 0);
  uint32_t v = 7;
  for (uint64_t i = 0; i < 200000 && i < size; ++i) disk[i] = static_cast<uint8_t>((v = v * 1103515245u + 12345u) >> 24);
  for (uint64_t i = size / 2; i < size / 2 + 5000; ++i) disk[i] = static_cast<uint8_t>(i % 13 + 1);
  disk[size - 1] = 0x5A;
  return disk;
}

struct ReadCase {
  const char* name;
  test::Qcow2Shape shape;
  std::vector<test::Qcow2Special> special;
};

TEST(Qcow2Read, EveryEntryShapeReadsAsQemuReadsIt) {
  const auto shape = [](uint32_t version, uint32_t bits, bool extended, bool compressed) {
    test::Qcow2Shape s;
    s.version = version, s.cluster_bits = bits, s.extended = extended, s.compressed = compressed;
    return s;
  };
  const ReadCase cases[] = {
      {"v3 64K", shape(3, 16, false, false), {{1, 1, 0}}},
      {"v2 4K", shape(2, 12, false, false), {}},
      {"512-byte clusters", shape(3, 9, false, false), {{3, 1, 0}}},
      {"deflated 4K", shape(3, 12, false, true), {}},
      {"extended 16K", shape(3, 14, true, false), {{0, 0x0000F000, 0x00F00000}, {5, 0xFFFFFFFF, 0}, {64, 0x3, 0x0C}}},
      {"2M clusters", shape(3, 21, false, false), {}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("d.qcow2");
    Bytes disk = sample_disk(c.shape.size);
    test::write_file(path, test::qcow2_bytes(c.shape, disk, c.special).bytes);
    if (test::have_tool("qemu-img")) {
      const auto check = test::run_command("qemu-img check " + shell_quote(path) + " 2>&1");
      EXPECT_EQ(check.status, 0) << check.output;
      ASSERT_EQ(test::run_command("qemu-img convert -O raw " + shell_quote(path) + " " + shell_quote(dir.file("q.raw"))).status, 0);
      disk = test::read_file(dir.file("q.raw"));
    }
    EXPECT_TRUE(test::read_whole_disk(path) == disk);
    DiskImage image;
    ASSERT_EQ(open_image(image, path, true), OK);
    EXPECT_EQ(image.format, FORMAT_QCOW2);
  }
}

struct Refusal {
  const char* name;
  std::function<void(Bytes&, const test::Qcow2Built&)> damage;
  ErrorCode open;                 // what open answers
  ErrorCode read = OK;            // and reading the whole disk, when it opened
};

void be(Bytes& f, uint64_t at, uint64_t v, int n) { test::put_be(f, at, v, n); }

TEST(Qcow2Read, DamageEndsInItsOwnRefusal) {
  const Refusal cases[] = {
      {"unknown incompatible feature", [](Bytes& f, auto&) { be(f, 72, 1u << 5, 8); }, ERR_UNSUPPORTED},
      {"corrupt bit", [](Bytes& f, auto&) { be(f, 72, 2, 8); }, ERR_BAD_FORMAT},
      {"AES encryption", [](Bytes& f, auto&) { be(f, 32, 1, 4); }, ERR_KEY_REQUIRED},
      {"LUKS encryption", [](Bytes& f, auto&) { be(f, 32, 2, 4); }, ERR_KEY_REQUIRED},
      {"unknown encryption", [](Bytes& f, auto&) { be(f, 32, 3, 4); }, ERR_BAD_FORMAT},
      {"version 4", [](Bytes& f, auto&) { be(f, 4, 4, 4); }, ERR_UNSUPPORTED},
      {"4 MiB clusters", [](Bytes& f, auto&) { be(f, 20, 22, 4); }, ERR_UNSUPPORTED},
      {"extended entries in 4K clusters", [](Bytes& f, auto&) { be(f, 72, 16, 8); be(f, 20, 12, 4); }, ERR_BAD_FORMAT},
      {"disk over 2 TiB", [](Bytes& f, auto&) { be(f, 24, uint64_t{3} << 40, 8); }, ERR_UNSUPPORTED},
      {"size in part sectors", [](Bytes& f, auto&) { be(f, 24, (4u << 20) - 100, 8); }, ERR_UNSUPPORTED},
      {"L1 too short for the size", [](Bytes& f, auto&) { be(f, 24, uint64_t{1} << 40, 8); }, ERR_BAD_FORMAT},
      {"L1 beyond the file", [](Bytes& f, auto&) { be(f, 40, uint64_t{1} << 40, 8); }, ERR_BAD_FORMAT},
      {"L1 over the header", [](Bytes& f, auto&) { be(f, 40, 0, 8); }, ERR_BAD_FORMAT},
      {"L1 not aligned", [](Bytes& f, const test::Qcow2Built& b) { be(f, 40, b.l1_offset + 512, 8); }, ERR_BAD_FORMAT},
      {"L2 table on the L1", [](Bytes& f, const test::Qcow2Built& b) { be(f, b.l1_offset, b.l1_offset, 8); }, ERR_BAD_FORMAT},
      {"L1 reserved bits", [](Bytes& f, const test::Qcow2Built& b) { f[b.l1_offset + 7] |= 1; }, ERR_BAD_FORMAT},
      {"refcount table beyond the file", [](Bytes& f, auto&) { be(f, 56, 100000, 4); }, ERR_BAD_FORMAT},
      {"refcount order 7", [](Bytes& f, auto&) { be(f, 96, 7, 4); }, ERR_BAD_FORMAT},
      {"header length not in eights", [](Bytes& f, auto&) { be(f, 100, 108, 4); }, ERR_BAD_FORMAT},
      {"zstd without its feature bit", [](Bytes& f, auto&) { be(f, 100, 112, 4); f[104] = 1; }, ERR_BAD_FORMAT},
      {"unknown compression type", [](Bytes& f, auto&) { be(f, 100, 112, 4); be(f, 72, 8, 8); f[104] = 9; }, ERR_UNSUPPORTED},
      {"backing name past the first cluster", [](Bytes& f, auto&) { be(f, 8, 65530, 8); be(f, 16, 20, 4); }, ERR_BAD_FORMAT},
      {"missing backing file", [](Bytes& f, auto&) { be(f, 8, 200, 8); be(f, 16, 4, 4); be(f, 200, 0x6E6F6E65, 4); }, ERR_OPEN},
      {"bitmaps bit without bitmaps", [](Bytes& f, auto&) { be(f, 88, 1, 8); }, ERR_BAD_FORMAT},
      {"data cluster on the refcount table",
       [](Bytes& f, const test::Qcow2Built& b) { be(f, b.first_l2, uint64_t{1} << 63 | b.refcount_table, 8); }, OK,
       ERR_BAD_FORMAT},
      {"data cluster beyond the file",
       [](Bytes& f, const test::Qcow2Built& b) { be(f, b.first_l2, uint64_t{1} << 63 | uint64_t{1} << 40, 8); }, OK,
       ERR_BAD_FORMAT},
      {"L2 reserved bits", [](Bytes& f, const test::Qcow2Built& b) { f[b.first_l2] |= 0x01; }, OK, ERR_BAD_FORMAT},
      {"compressed and copied", [](Bytes& f, const test::Qcow2Built& b) { f[b.first_l2] |= 0xC0; }, OK, ERR_BAD_FORMAT},
  };
  test::Qcow2Shape shape;
  const Bytes disk = sample_disk(shape.size);
  const test::Qcow2Built built = test::qcow2_bytes(shape, disk);
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("d.qcow2");
    Bytes file = built.bytes;
    c.damage(file, built);
    test::write_file(path, file);
    DiskImage image;
    ASSERT_EQ(open_image_as(image, path, true, FORMAT_QCOW2), c.open);
    if (c.open != OK) continue;
    Bytes out(disk.size());
    EXPECT_EQ(read_bytes(image, 0, out), c.read);
  }
}

TEST(Qcow2Read, VersionTwoHasNoZeroFlag) {
  test::Qcow2Shape shape;
  shape.version = 2;
  const Bytes disk = sample_disk(shape.size);
  const test::Qcow2Built built = test::qcow2_bytes(shape, disk, {{40, 1, 0}});
  test::TempDir dir;
  test::write_file(dir.file("d.qcow2"), built.bytes);
  DiskImage image;
  ASSERT_EQ(open_image(image, dir.file("d.qcow2"), true), OK);
  Bytes out(disk.size());
  EXPECT_EQ(read_bytes(image, 0, out), ERR_BAD_FORMAT);
}

uint64_t be_at(const Bytes& f, uint64_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | f.at(at + static_cast<uint64_t>(i));
  return v;
}

// Header, L1, first L2 table, refcount table and the snapshot table: every table a damaged byte
// of which the driver must catch.
std::vector<test::ByteRegion> table_regions(const Bytes& f) {
  const uint64_t l1 = be_at(f, 40, 8), l2 = be_at(f, l1, 8) & 0x00FFFFFFFFFFFE00ull;
  std::vector<test::ByteRegion> r = {{0, 512}, {l1, 64}, {be_at(f, 48, 8), 64}};
  if (l2) r.push_back({l2, 4096});
  if (const uint64_t snapshots = be_at(f, 64, 8)) r.push_back({snapshots, 256});
  return r;
}

TEST(Qcow2Read, ByteFlipsEndInCleanResults) {
  test::TempDir dir;
  std::vector<std::string> images;
  for (const bool extended : {false, true}) {
    test::Qcow2Shape shape;
    shape.extended = extended;
    shape.cluster_bits = 14;
    shape.compressed = !extended;
    images.push_back(dir.file(extended ? "extended.qcow2" : "deflated.qcow2"));
    test::write_file(images.back(), test::qcow2_bytes(shape, sample_disk(shape.size)).bytes);
  }
  // A real image: qemu-img's tables, a snapshot and a bitmap.
  if (test::have_tool("qemu-io")) {
    images.push_back(dir.file("qemu.qcow2"));
    const std::string q = shell_quote(images.back());
    ASSERT_EQ(test::run_command("qemu-img create -q -f qcow2 -o cluster_size=4096 " + q + " 4M && qemu-io -f qcow2 -c "
                                "'write -P 1 0 256k' " + q + " >/dev/null && qemu-img snapshot -c s " + q +
                                " && qemu-io -f qcow2 -c 'write -P 2 64k 64k' " + q + " >/dev/null && "
                                "qemu-img bitmap --add " + q + " b")
                  .status,
              0);
  }
  for (size_t i = 0; i < images.size(); ++i) {
    SCOPED_TRACE(images[i]);
    const test::FlipStats stats = test::run_image_flip_campaign(images[i], FORMAT_QCOW2,
                                                                table_regions(test::read_file(images[i])), 1500,
                                                                static_cast<uint32_t>(3 + i));
    EXPECT_EQ(stats.failure, "");
    EXPECT_GT(stats.accepted, 0);
  }
}

}  // namespace
}  // namespace qx
