// The NTFS reader on volumes built byte by byte: every check of the probe, hostile run lists and
// bitmaps, and how sectors map to clusters.
#include <gtest/gtest.h>

#include <filesystem>

#include "fs/ntfs/ntfs_reader.hpp"
#include "fs/reader.hpp"
#include "ntfs_test_util.hpp"
#include "support/fs_support.hpp"
#include "support/ntfs_builder.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kBasicClusters = 32767 / 8;   // total sectors / sectors per cluster
constexpr uint64_t kBasicRecord0 = 4 * 4096;    // the table at cluster 4
constexpr uint64_t kBasicRecord6 = kBasicRecord0 + 6 * 1024;

ReaderResult map_spec(const TempDir& dir, const NtfsVolumeSpec& spec) {
  const std::string path = dir.file("ntfs.img");
  write_ntfs_volume(path, spec);
  return map_volume_file(path, KIND_NTFS);
}

ErrorCode probe_spec(const NtfsVolumeSpec& spec) {
  TempDir dir;
  return map_spec(dir, spec).probe;
}

NtfsNonResident data_of(const std::vector<NtfsRun>& runs, uint32_t cluster_size, uint64_t size) {
  NtfsNonResident d;
  d.runs = encode_ntfs_runs(runs);
  for (const NtfsRun& r : runs) d.clusters += r.length;
  d.cluster_size = cluster_size;
  d.data_size = size;
  return d;
}

std::vector<uint8_t> standard_information() {
  return ntfs_resident_attribute(0x10, std::vector<uint8_t>(72, 0));
}

// ---- a sound volume -----------------------------------------------------------------------

TEST(NtfsReader, FollowsTheClusterBitmap) {
  TempDir dir;
  const NtfsVolumeSpec spec = basic_ntfs_spec();
  const ReaderResult r = map_spec(dir, spec);
  expect_follows_bitmap(r, 8, kBasicClusters, spec.bitmap);
  EXPECT_FALSE(r.used(8 * 150));    // a free cluster full of old data
  EXPECT_TRUE(r.used(8 * 200 + 7));
}

TEST(NtfsReader, SectorsBehindTheLastWholeClusterAreUsed) {
  TempDir dir;
  NtfsVolumeSpec spec = basic_ntfs_spec();
  spec.total_sectors = 32763;  // 4095 clusters and 3 sectors
  spec.bitmap.assign(spec.bitmap.size(), 0);
  set_ntfs_clusters(spec.bitmap, 4, 4);
  set_ntfs_clusters(spec.bitmap, 100, 1);
  const ReaderResult r = map_spec(dir, spec);
  ASSERT_EQ(r.probe, OK);
  for (uint32_t s = 32752; s < 32760; ++s) EXPECT_FALSE(r.used(s)) << s;  // last cluster, free
  for (uint32_t s = 32760; s < 32768; ++s) EXPECT_TRUE(r.used(s)) << s;   // partial cluster, backup
}

TEST(NtfsReader, HoldsOneCopyOfTheBitmapAndAnswersWithoutTheDisk) {
  TempDir dir;
  const NtfsVolumeSpec spec = basic_ntfs_spec();
  const std::string path = dir.file("ntfs.img");
  write_ntfs_volume(path, spec);
  std::unique_ptr<ReaderState> state;
  {
    DiskImage image;
    ASSERT_EQ(open_flat(image, path, true, 0, DiskGeometry{32768, 255, 63, 512}), OK);
    ASSERT_EQ(kNtfsReader.probe(image, 0, 32768, state), OK);
  }
  std::filesystem::remove(path);
  const UnitAllocation* clusters = ntfs_allocation(*state);
  ASSERT_NE(clusters, nullptr);
  EXPECT_EQ(clusters->unit_count, kBasicClusters);
  EXPECT_EQ(clusters->used.size(), bitmap_bytes(kBasicClusters));
  EXPECT_EQ(clusters->sectors_per_unit, 8u);

  std::vector<uint8_t> bits(bitmap_bytes(64), 0);
  ASSERT_EQ(kNtfsReader.mark(*state, 8 * 199, 16, bits, 3), OK);  // free cluster, then used
  for (uint32_t i = 0; i < 8; ++i) EXPECT_FALSE(test_bit(bits, 3 + i));
  for (uint32_t i = 8; i < 16; ++i) EXPECT_TRUE(test_bit(bits, 3 + i));
  EXPECT_FALSE(test_bit(bits, 2));
  EXPECT_FALSE(test_bit(bits, 19));
}

TEST(NtfsReader, ProbeOfAPartitionInsideADisk) {
  // The volume's sectors start 2048 sectors into the disk; every read must add that base.
  TempDir dir;
  const NtfsVolumeSpec spec = basic_ntfs_spec();
  const std::string vol = dir.file("vol.img"), disk = dir.file("disk.img");
  write_ntfs_volume(vol, spec);
  make_dirty_file(disk, (2048 + 32768) * 512ull);
  patch_file(disk, 2048 * 512ull, read_range(vol, 0, std::filesystem::file_size(vol)));
  DiskImage image;
  ASSERT_EQ(open_flat(image, disk, true, 0, DiskGeometry{2048 + 32768, 255, 63, 512}), OK);
  std::unique_ptr<ReaderState> state;
  ASSERT_EQ(kNtfsReader.probe(image, 2048, 32768, state), OK);
  std::vector<uint8_t> bits(bitmap_bytes(32768));
  ASSERT_EQ(kNtfsReader.mark(*state, 0, 32768, bits, 0), OK);
  ReaderResult r;
  r.probe = r.mark = OK;
  r.sectors = 32768;
  r.bitmap = bits;
  expect_follows_bitmap(r, 8, kBasicClusters, spec.bitmap);
}

// ---- boot sector ----------------------------------------------------------------------------

TEST(NtfsReader, BootSectorChecks) {
  struct Case {
    const char* what;
    uint64_t offset;
    uint64_t value;
    size_t bytes;
  };
  const Case cases[] = {
      {"4096 bytes per sector", 11, 4096, 2},
      {"OEM identifier", 10, 'X', 1},
      {"boot signature", 510, 0xAA56, 2},
      {"zero sectors per cluster", 13, 0, 1},
      {"sectors per cluster not a power of two", 13, 3, 1},
      {"encoded large cluster size", 13, 0xF4, 1},
      {"file system larger than its volume", 40, 32769, 8},
      {"no whole cluster", 40, 7, 8},
      {"zero clusters per record", 64, 0, 1},
      {"record of 2^-(-32) bytes", 64, 0xE0, 1},
      {"record of 2^-(-128) bytes", 64, 0x80, 1},
      {"record of 127 clusters", 64, 0x7F, 1},
      {"record of 256 bytes", 64, 0xF8, 1},
      {"table beyond the volume", 48, kBasicClusters, 8},
      {"table cluster far beyond", 48, 0xFFFFFFFFFFFFFF00ull, 8},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.file("ntfs.img");
    write_ntfs_volume(path, basic_ntfs_spec());
    patch_le(path, c.offset, c.value, c.bytes);
    const ReaderResult r = map_volume_file(path, KIND_NTFS);
    EXPECT_EQ(r.probe, ERR_LAYOUT) << c.what;
  }
}

TEST(NtfsReader, NonNegativeClustersPerRecordCountsClusters) {
  // Two-sector clusters with one cluster per record: 1 KiB records, as the published rule says.
  NtfsVolumeSpec spec = basic_ntfs_spec();
  spec.sectors_per_cluster = 2;
  spec.clusters_per_record = 1;
  spec.mft_runs = {{16, 16}};
  spec.bitmap_runs = {{100, 2}};
  const uint64_t clusters = 32767 / 2;
  spec.bitmap.assign((clusters + 63) / 64 * 8, 0);
  set_ntfs_clusters(spec.bitmap, 16, 16);
  set_ntfs_clusters(spec.bitmap, 100, 2);
  TempDir dir;
  expect_follows_bitmap(map_spec(dir, spec), 2, clusters, spec.bitmap);

  // One-sector clusters, two per record.
  spec.sectors_per_cluster = 1;
  spec.clusters_per_record = 2;
  spec.mft_runs = {{16, 32}};
  spec.bitmap_runs = {{100, 8}};
  spec.bitmap.assign((32767 + 63) / 64 * 8, 0);
  set_ntfs_clusters(spec.bitmap, 16, 32);
  set_ntfs_clusters(spec.bitmap, 100, 8);
  expect_follows_bitmap(map_spec(dir, spec), 1, 32767, spec.bitmap);
}

TEST(NtfsReader, FourKibRecords) {
  NtfsVolumeSpec spec = basic_ntfs_spec();
  spec.clusters_per_record = 0xF4;  // -12
  spec.record_size = 4096;
  spec.mft_runs = {{4, 16}};
  set_ntfs_clusters(spec.bitmap, 4, 16);
  TempDir dir;
  expect_follows_bitmap(map_spec(dir, spec), 8, kBasicClusters, spec.bitmap);
}

TEST(NtfsReader, RejectsAFatBootSector) {
  if (!have_tool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
  TempDir dir;
  const std::string path = dir.file("fat.img");
  make_dirty_file(path, 16 << 20);
  ASSERT_EQ(run_command("mkfs.fat -F 16 " + shell_quote(path) + " >/dev/null 2>&1").status, 0);
  DiskImage image;
  ASSERT_EQ(open_flat(image, path, true, 0, DiskGeometry{32768, 255, 63, 512}), OK);
  std::unique_ptr<ReaderState> state;
  EXPECT_EQ(kNtfsReader.probe(image, 0, 32768, state), ERR_LAYOUT);
  EXPECT_EQ(state, nullptr);
}

TEST(NtfsReader, EmptyOrUnreadableRegion) {
  TempDir dir;
  const std::string path = dir.file("zero.img");
  make_sparse_file(path, 1 << 20);
  DiskImage image;
  ASSERT_EQ(open_flat(image, path, true, 0, DiskGeometry{2048, 255, 63, 512}), OK);
  std::unique_ptr<ReaderState> state;
  EXPECT_EQ(kNtfsReader.probe(image, 0, 2048, state), ERR_LAYOUT);
  EXPECT_EQ(kNtfsReader.probe(image, 0, 0, state), ERR_LAYOUT);
  EXPECT_NE(kNtfsReader.probe(image, 4096, 16, state), OK);  // beyond the disk
  EXPECT_EQ(state, nullptr);
}

// ---- file records ---------------------------------------------------------------------------

TEST(NtfsReader, UpdateSequenceMismatchIsABadRecord) {
  struct Case {
    const char* what;
    uint64_t offset;
    uint64_t value;
    size_t bytes;
  };
  const Case cases[] = {
      {"record 0, first block tail", kBasicRecord0 + 510, 0x0002, 2},
      {"record 0, second block tail", kBasicRecord0 + 1022, 0x0100, 2},
      {"record 6, first block tail", kBasicRecord6 + 510, 0x0002, 2},
      {"record 6, second block tail", kBasicRecord6 + 1022, 0xFFFF, 2},
      {"record 0, count for one block", kBasicRecord0 + 6, 2, 2},
      {"record 6, count for four blocks", kBasicRecord6 + 6, 5, 2},
      {"record 0, array past the first block", kBasicRecord0 + 4, 0x1F8, 2},
      {"record 0, array over the header", kBasicRecord0 + 4, 0x10, 2},
      {"record 6, magic", kBasicRecord6, 'B', 1},
      {"record 0, not in use", kBasicRecord0 + 22, 0, 2},
      {"record 6, an extension record", kBasicRecord6 + 32, 0x10, 8},
      {"record 6, bytes in use beyond the record", kBasicRecord6 + 24, 1025, 4},
      {"record 0, first attribute over the array", kBasicRecord0 + 20, 0x30, 2},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.file("ntfs.img");
    write_ntfs_volume(path, basic_ntfs_spec());
    patch_le(path, c.offset, c.value, c.bytes);
    EXPECT_EQ(map_volume_file(path, KIND_NTFS).probe, ERR_BAD_RECORD) << c.what;
  }
}

TEST(NtfsReader, UpdateSequenceRestoresTheTrueBytes) {
  // The eighth run of record 6 starts at byte 510, where the sequence number stands on disk:
  // only the restored bytes decode, and that run holds the last eighth of the bitmap.
  NtfsVolumeSpec spec;
  spec.volume_sectors = 32768;
  spec.sectors_per_cluster = 1;
  spec.clusters_per_record = 2;
  spec.mft_runs = {{16, 32}};
  for (uint64_t i = 0; i < 8; ++i) spec.bitmap_runs.push_back({1000 + 37 * i, 1});
  spec.bitmap.assign(4096, 0);
  set_ntfs_clusters(spec.bitmap, 16, 32);
  for (const NtfsRun& r : spec.bitmap_runs) set_ntfs_clusters(spec.bitmap, r.cluster, 1);
  set_ntfs_clusters(spec.bitmap, 30000, 300);
  const NtfsNonResident d = data_of(spec.bitmap_runs, 512, 4096);
  spec.record6 = ntfs_file_record(1024, 6,
                                  {ntfs_resident_attribute(0x10, std::vector<uint8_t>(240, 0)),
                                   ntfs_resident_attribute(0x30, ntfs_file_name_value("$Bitmap")),
                                   ntfs_nonresident_attribute(d)});
  ASSERT_EQ(spec.record6[488], 0x21);  // the first run
  ASSERT_EQ(spec.record6[510], 0x11);  // the eighth
  TempDir dir;
  expect_follows_bitmap(map_spec(dir, spec), 1, 32767, spec.bitmap);
}

TEST(NtfsReader, AttributeShapeOfRecordsZeroAndSix) {
  const NtfsVolumeSpec base = basic_ntfs_spec();
  const NtfsNonResident mft = data_of(base.mft_runs, 4096, 16 * 1024);
  const NtfsNonResident bmp = data_of(base.bitmap_runs, 4096, base.bitmap.size());
  auto name = [](const std::string& n) { return ntfs_resident_attribute(0x30, ntfs_file_name_value(n)); };
  auto with = [](NtfsNonResident d, auto change) {
    change(d);
    return ntfs_nonresident_attribute(d);
  };
  struct Case {
    const char* what;
    bool record6;
    std::vector<std::vector<uint8_t>> attributes;
  };
  const std::vector<uint8_t> list = ntfs_resident_attribute(0x20, std::vector<uint8_t>(32, 0));
  const Case cases[] = {
      {"attribute list before the data", false,
       {standard_information(), name("$MFT"), list, ntfs_nonresident_attribute(mft)}},
      {"attribute list that does not check out", false,
       {standard_information(), list, name("$MFT"), ntfs_nonresident_attribute(mft)}},
      {"name before standard information", false,
       {name("$MFT"), standard_information(), ntfs_nonresident_attribute(mft)}},
      {"lower-case name", false, {standard_information(), name("$mft"), ntfs_nonresident_attribute(mft)}},
      {"longer name", false, {standard_information(), name("$MFTMirr"), ntfs_nonresident_attribute(mft)}},
      {"shorter name", false, {standard_information(), name("$MF"), ntfs_nonresident_attribute(mft)}},
      {"record 6 named $MFT", true, {standard_information(), name("$MFT"), ntfs_nonresident_attribute(bmp)}},
      {"resident data", true,
       {standard_information(), name("$Bitmap"), ntfs_resident_attribute(0x80, base.bitmap)}},
      {"named data", true,
       {standard_information(), name("$Bitmap"), with(bmp, [](NtfsNonResident& d) { d.name = "$Bad"; })}},
      {"sparse data", true,
       {standard_information(), name("$Bitmap"), with(bmp, [](NtfsNonResident& d) { d.flags = 0x8000; })}},
      {"compressed data", true,
       {standard_information(), name("$Bitmap"), with(bmp, [](NtfsNonResident& d) { d.flags = 0x0001; })}},
      {"encrypted data", true,
       {standard_information(), name("$Bitmap"), with(bmp, [](NtfsNonResident& d) { d.flags = 0x4000; })}},
      {"index root in place of the data", true,
       {standard_information(), name("$Bitmap"), with(bmp, [](NtfsNonResident& d) { d.type = 0x90; })}},
      {"data size beyond the runs", true,
       {standard_information(), name("$Bitmap"), with(bmp, [](NtfsNonResident& d) { d.data_size = 4097; })}},
      {"initialised beyond the data", true,
       {standard_information(), name("$Bitmap"),
        with(bmp, [](NtfsNonResident& d) { d.initialized_size = d.data_size + 1; })}},
      {"last VCN beyond the runs", false,
       {standard_information(), name("$MFT"), with(mft, [](NtfsNonResident& d) { d.clusters += 1; })}},
      {"no data", true, {standard_information(), name("$Bitmap")}},
      {"nothing at all", false, {}},
  };
  for (const Case& c : cases) {
    NtfsVolumeSpec spec = base;
    (c.record6 ? spec.record6 : spec.record0) = ntfs_file_record(1024, c.record6 ? 6 : 0, c.attributes);
    EXPECT_EQ(probe_spec(spec), ERR_BAD_RECORD) << c.what;
  }
}

TEST(NtfsReader, AttributeLengthsThatLeaveTheRecord) {
  // Offsets inside record 6 of the basic volume: the first attribute begins at 0x38.
  struct Case {
    const char* what;
    uint64_t offset;
    uint64_t value;
    size_t bytes;
  };
  const uint64_t first = kBasicRecord6 + 0x38;
  const Case cases[] = {
      {"zero length", first + 4, 0, 4},
      {"length below a header", first + 4, 15, 4},
      {"length beyond bytes in use", first + 4, 0x3B0, 4},
      {"huge length", first + 4, 0xFFFFFFF8, 4},
      {"value beyond the attribute", first + 16, 0x49, 4},
      {"value offset beyond", first + 20, 0xFFFF, 2},
      {"first attribute beyond bytes in use", kBasicRecord6 + 20, 0x3F0, 2},
      {"first attribute at the record end", kBasicRecord6 + 20, 0xFFFF, 2},
      {"non-resident flag 2 on the name", first + 0x60 + 8, 2, 1},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.file("ntfs.img");
    write_ntfs_volume(path, basic_ntfs_spec());
    patch_le(path, c.offset, c.value, c.bytes);
    EXPECT_EQ(map_volume_file(path, KIND_NTFS).probe, ERR_BAD_RECORD) << c.what;
  }
}

TEST(NtfsReader, DataAttributeFieldsChecked) {
  // The data attribute of record 6 (basic volume) begins at 0x38 + 0x60 + 0x68.
  const uint64_t data = kBasicRecord6 + 0x38 + 0x60 + 0x68;
  struct Case {
    const char* what;
    uint64_t offset;
    uint64_t value;
    size_t bytes;
  };
  const Case cases[] = {
      {"first VCN not zero", data + 16, 1, 8},
      {"run list offset inside the header", data + 32, 0x30, 2},
      {"run list offset beyond the attribute", data + 32, 0x400, 2},
      {"data attribute resident flag", data + 8, 0, 1},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.file("ntfs.img");
    write_ntfs_volume(path, basic_ntfs_spec());
    ASSERT_EQ(read_range(path, data, 1), std::vector<uint8_t>{0x80});
    patch_le(path, c.offset, c.value, c.bytes);
    EXPECT_EQ(map_volume_file(path, KIND_NTFS).probe, ERR_BAD_RECORD) << c.what;
  }
}

TEST(NtfsReader, TableMustStartWhereTheBootSectorPoints) {
  TempDir dir;
  const std::string path = dir.file("ntfs.img");
  write_ntfs_volume(path, basic_ntfs_spec());
  patch_file(path, 20 * 4096, read_range(path, kBasicRecord0, 1024));  // a copy of record 0
  patch_le(path, 48, 20, 8);
  EXPECT_EQ(map_volume_file(path, KIND_NTFS).probe, ERR_BAD_RECORD);
}

// ---- runs -----------------------------------------------------------------------------------

TEST(NtfsReader, RecordCrossingARunBoundaryWithANegativeOffset) {
  // 512-byte clusters: record 6 spans the last cluster of the first run and the first of the
  // second, which lies 41000 clusters lower (three offset bytes ending in 0xFF).
  NtfsVolumeSpec spec;
  spec.volume_sectors = 49152;
  spec.sectors_per_cluster = 1;
  spec.clusters_per_record = 2;
  spec.mft_runs = {{45000, 13}, {4000, 19}};
  spec.bitmap_runs = {{100, 12}};
  spec.bitmap.assign(6144, 0);
  set_ntfs_clusters(spec.bitmap, 0, 16);
  set_ntfs_clusters(spec.bitmap, 45000, 13);
  set_ntfs_clusters(spec.bitmap, 4000, 19);
  set_ntfs_clusters(spec.bitmap, 100, 12);
  set_ntfs_clusters(spec.bitmap, 30000, 777);
  const std::vector<uint8_t> runs = encode_ntfs_runs(spec.mft_runs);
  ASSERT_EQ(runs.size(), 11u);
  EXPECT_EQ(runs[5], 0x31);  // one length byte, three offset bytes
  EXPECT_EQ(runs[9], 0xFF);  // the offset's last byte: negative

  TempDir dir;
  const std::string path = dir.file("ntfs.img");
  write_ntfs_volume(path, spec);
  // Record 6 really is split: its first half at the end of run one, its second at run two.
  EXPECT_EQ(read_range(path, (45000 + 12) * 512ull, 4), (std::vector<uint8_t>{'F', 'I', 'L', 'E'}));
  EXPECT_NE(read_range(path, (45000 + 13) * 512ull, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
  expect_follows_bitmap(map_volume_file(path, KIND_NTFS), 1, 49151, spec.bitmap);
}

TEST(NtfsReader, OffsetSignTakenFromTheLastByte) {
  // Runs "21 02 C8 00" (two clusters at 200) then "11 02 80": one offset byte 0x80 is -128, so
  // the second run is at 72, not 328.
  NtfsVolumeSpec spec = basic_ntfs_spec();
  spec.volume_sectors = 16384;
  spec.sectors_per_cluster = 1;
  spec.clusters_per_record = 2;
  spec.mft_runs = {{16, 32}};
  spec.bitmap_runs = {{200, 2}, {72, 2}};
  spec.bitmap.assign(2048, 0);
  set_ntfs_clusters(spec.bitmap, 16, 32);
  set_ntfs_clusters(spec.bitmap, 200, 2);
  set_ntfs_clusters(spec.bitmap, 72, 2);
  set_ntfs_clusters(spec.bitmap, 9000, 1000);  // in the part read from the second run
  NtfsNonResident d = data_of(spec.bitmap_runs, 512, 2048);
  d.runs = {0x21, 0x02, 0xC8, 0x00, 0x11, 0x02, 0x80, 0x00};
  ASSERT_EQ(d.runs, encode_ntfs_runs(spec.bitmap_runs));
  spec.record6 = ntfs_system_record(1024, 6, "$Bitmap", d);
  TempDir dir;
  expect_follows_bitmap(map_spec(dir, spec), 1, 16383, spec.bitmap);
}

TEST(NtfsReader, HostileRunLists) {
  const NtfsVolumeSpec base = basic_ntfs_spec();
  struct Case {
    const char* what;
    bool record6;
    std::vector<uint8_t> runs;
  };
  const Case cases[] = {
      {"run beyond the volume", true, {0x21, 0x01, 0xFF, 0x0F, 0x00}},
      {"run over the volume's end", true, {0x21, 0x02, 0xFE, 0x0F, 0x00}},
      {"huge length", true, {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
      {"huge offset", true, {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}},
      {"offset below cluster 0", true, {0x11, 0x01, 0x0A, 0x11, 0x01, 0xEC, 0x00}},
      {"most negative offset", true, {0x11, 0x01, 0x0A, 0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}},
      {"zero length", true, {0x11, 0x00, 0x64, 0x00}},
      {"no length bytes", true, {0x10, 0x64, 0x00}},
      {"sparse run", true, {0x01, 0x01, 0x00}},
      {"nine length bytes", true, {0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x64, 0x00}},
      {"nine offset bytes", true, {0x91, 1, 0x64, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}},
      {"sizes past the attribute", true, {0x11, 0x01, 0x64, 0x88, 0x01}},
      {"no end of list", true, {0x11, 0x01, 0x64, 0x11, 0x01, 0x01, 0x11, 0x01}},
      {"table run beyond the volume", false, {0x31, 0x04, 0x00, 0x00, 0x10, 0x00}},
      {"table second run beyond", false, {0x11, 0x02, 0x04, 0x21, 0x02, 0xFF, 0x0F, 0x00}},
  };
  for (const Case& c : cases) {
    NtfsVolumeSpec spec = base;
    NtfsNonResident d = data_of(c.record6 ? base.bitmap_runs : base.mft_runs, 4096,
                                c.record6 ? base.bitmap.size() : 16 * 1024);
    d.runs = c.runs;
    (c.record6 ? spec.record6 : spec.record0) =
        ntfs_system_record(1024, c.record6 ? 6 : 0, c.record6 ? "$Bitmap" : "$MFT", d);
    EXPECT_EQ(probe_spec(spec), ERR_BAD_RECORD) << c.what;
  }
}

TEST(NtfsReader, RecordSixBeyondTheTable) {
  NtfsVolumeSpec spec = basic_ntfs_spec();
  spec.mft_records = 6;  // the table's data ends before record 6
  EXPECT_EQ(probe_spec(spec), ERR_UNSUPPORTED);
  spec.mft_records = 7;
  EXPECT_EQ(probe_spec(spec), OK);
  spec.mft_runs = {{4, 1}};  // four records of runs for seven of data
  EXPECT_EQ(probe_spec(spec), ERR_BAD_RECORD);
}

// ---- short bitmaps --------------------------------------------------------------------------

TEST(NtfsReader, BitmapShorterThanTheClusterCount) {
  NtfsVolumeSpec spec = basic_ntfs_spec();
  spec.bitmap.resize(256);  // 2048 of 4095 clusters
  TempDir dir;
  const ReaderResult r = map_spec(dir, spec);
  expect_follows_bitmap(r, 8, 2048, spec.bitmap);
  EXPECT_FALSE(r.used(2047 * 8));
  EXPECT_TRUE(r.used(2048 * 8));  // not described: used though its bit would be clear
}

TEST(NtfsReader, BitmapBeyondItsInitialisedSizeIsUsed) {
  NtfsVolumeSpec spec = basic_ntfs_spec();
  NtfsNonResident d = data_of(spec.bitmap_runs, 4096, spec.bitmap.size());
  d.initialized_size = 128;  // 1024 clusters
  spec.record6 = ntfs_system_record(1024, 6, "$Bitmap", d);
  TempDir dir;
  expect_follows_bitmap(map_spec(dir, spec), 8, 1024, spec.bitmap);
}

TEST(NtfsReader, EmptyBitmapLeavesEverythingUsed) {
  NtfsVolumeSpec spec = basic_ntfs_spec();
  NtfsNonResident d = data_of(spec.bitmap_runs, 4096, 0);
  spec.record6 = ntfs_system_record(1024, 6, "$Bitmap", d);
  TempDir dir;
  const ReaderResult r = map_spec(dir, spec);
  ASSERT_EQ(r.probe, OK);
  for (uint32_t s = 0; s < r.sectors; ++s) ASSERT_TRUE(r.used(s)) << s;
}

TEST(NtfsReader, BitmapLongerThanTheClusterCountIsCutToIt) {
  // A bitmap file of many clusters: only the bytes that describe clusters are loaded.
  NtfsVolumeSpec spec = basic_ntfs_spec();
  spec.bitmap_runs = {{100, 64}};
  spec.bitmap.resize(64 * 4096, 0);
  set_ntfs_clusters(spec.bitmap, 100, 64);
  TempDir dir;
  const std::string path = dir.file("ntfs.img");
  write_ntfs_volume(path, spec);
  DiskImage image;
  ASSERT_EQ(open_flat(image, path, true, 0, DiskGeometry{32768, 255, 63, 512}), OK);
  std::unique_ptr<ReaderState> state;
  ASSERT_EQ(kNtfsReader.probe(image, 0, 32768, state), OK);
  EXPECT_EQ(ntfs_allocation(*state)->used.size(), bitmap_bytes(kBasicClusters));
}

}  // namespace
}  // namespace qx::test
