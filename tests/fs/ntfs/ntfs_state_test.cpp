// The NTFS reader refuses volumes whose allocation on disk Windows may not have finished writing:
// left dirty, or hibernated (fast startup included), and any volume where it cannot tell.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fs/ntfs/ntfs_reader.hpp"
#include "ntfs_test_util.hpp"
#include "support/fs_support.hpp"
#include "support/ntfs_builder.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kTable = 4 * 4096;  // record 0 of the basic volume
constexpr uint64_t kBasicClusters = 32767 / 8;
constexpr uint32_t kFileRecord = 12;
constexpr uint64_t kFileReference = kFileRecord | uint64_t{1} << 48;
constexpr uint64_t kBlocksCluster = 400;  // the root index blocks
constexpr uint64_t kFileCluster = 300;    // the hibernation file's data

ReaderResult map_spec(const NtfsVolumeSpec& spec) {
  TempDir dir;
  const std::string path = dir.file("ntfs.img");
  write_ntfs_volume(path, spec);
  return map_volume_file(path, KIND_NTFS);
}

ErrorCode probe_spec(const NtfsVolumeSpec& spec) { return map_spec(spec).probe; }

std::vector<uint8_t> bytes_of(const std::string& text, size_t size = 0) {
  std::vector<uint8_t> b(text.begin(), text.end());
  b.resize(std::max(size, b.size()), 0);
  return b;
}

std::vector<uint8_t> standard_information() {
  return ntfs_resident_attribute(0x10, std::vector<uint8_t>(72, 0));
}
std::vector<uint8_t> name_of(const std::string& n) {
  return ntfs_resident_attribute(0x30, ntfs_file_name_value(n));
}

std::vector<uint8_t> file_record(const std::string& name, const std::vector<uint8_t>& data) {
  return ntfs_file_record(1024, kFileRecord, {standard_information(), name_of(name), data});
}

NtfsNonResident file_data(uint64_t size, uint64_t clusters = 16) {
  NtfsNonResident d;
  d.runs = encode_ntfs_runs({{kFileCluster, clusters}});
  d.clusters = clusters;
  d.data_size = size;
  return d;
}

// The basic volume with one more file in the root folder, record 12, holding `data`.
NtfsVolumeSpec with_file(const std::string& name, const std::vector<uint8_t>& data) {
  NtfsVolumeSpec spec = basic_ntfs_spec();
  spec.record5 = ntfs_root_record(1024, ntfs_index_entries({{kFileReference, name}}));
  spec.records.push_back({kFileRecord, file_record(name, data)});
  return spec;
}

// The basic volume whose root index leads to blocks 0 and 1 at cluster 400 and on.
NtfsVolumeSpec with_blocks(const std::vector<uint8_t>& root_entries,
                           std::vector<std::vector<uint8_t>> blocks) {
  NtfsVolumeSpec spec = basic_ntfs_spec();
  NtfsNonResident allocation = file_data(4096 * blocks.size(), blocks.size());
  allocation.runs = encode_ntfs_runs({{kBlocksCluster, blocks.size()}});
  spec.record5 = ntfs_root_record(1024, root_entries, allocation);
  for (size_t i = 0; i < blocks.size(); ++i) {
    protect_ntfs_record(blocks[i]);
    spec.writes.push_back({(kBlocksCluster + i) * 4096, blocks[i]});
  }
  return spec;
}

// ---- the dirty flag -------------------------------------------------------------------------

TEST(NtfsState, DirtyVolumeIsRefused) {
  NtfsVolumeSpec spec = basic_ntfs_spec();
  for (uint16_t flags : {0x0001, 0x8001, 0xFFFF}) {
    spec.volume_flags = flags;
    EXPECT_EQ(probe_spec(spec), ERR_LAYOUT) << flags;
  }
  // Flags that say nothing about unwritten allocation.
  spec.volume_flags = 0x8000;
  const ReaderResult clean = map_spec(spec);
  expect_follows_bitmap(clean, 8, kBasicClusters, spec.bitmap);
}

TEST(NtfsState, VolumeRecordThatCannotBeReadIsRefused) {
  std::vector<uint8_t> info(12, 0);
  struct Case {
    const char* what;
    std::vector<std::vector<uint8_t>> attributes;
  };
  const Case cases[] = {
      {"no volume information", {standard_information(), name_of("$Volume")}},
      {"volume information too short",
       {standard_information(), name_of("$Volume"),
        ntfs_resident_attribute(0x70, std::vector<uint8_t>(10, 0))}},
      {"volume information before the name",
       {standard_information(), ntfs_resident_attribute(0x70, info), name_of("$Volume")}},
      {"another file's record",
       {standard_information(), name_of("$Volumes"), ntfs_resident_attribute(0x70, info)}},
      {"no name", {standard_information(), ntfs_resident_attribute(0x70, info)}},
      {"nothing", {}},
  };
  for (const Case& c : cases) {
    NtfsVolumeSpec spec = basic_ntfs_spec();
    spec.record3 = ntfs_file_record(1024, 3, c.attributes);
    EXPECT_EQ(probe_spec(spec), ERR_LAYOUT) << c.what;
  }
  // Non-resident volume information.
  NtfsVolumeSpec spec = basic_ntfs_spec();
  NtfsNonResident outside = file_data(12, 1);
  outside.type = 0x70;
  spec.record3 = ntfs_file_record(
      1024, 3, {standard_information(), name_of("$Volume"), ntfs_nonresident_attribute(outside)});
  EXPECT_EQ(probe_spec(spec), ERR_LAYOUT);
}

TEST(NtfsState, DamagedVolumeRecordIsRefused) {
  // The default record 3: standard information, name and volume name before the volume
  // information.
  const uint64_t record3 = kTable + 3 * 1024, info = record3 + 0x38 + 0x60 + 0x68 + 0x18;
  struct Case {
    const char* what;
    uint64_t offset;
    uint64_t value;
    size_t bytes;
  };
  const Case cases[] = {
      {"magic", record3, 'B', 1},
      {"update sequence", record3 + 1022, 0x0707, 2},
      {"not in use", record3 + 22, 0, 2},
      {"volume information length beyond the record", info + 4, 0x400, 4},
      {"value beyond the attribute", info + 16, 0x40, 4},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.file("ntfs.img");
    write_ntfs_volume(path, basic_ntfs_spec());
    ASSERT_EQ(read_range(path, info, 1), std::vector<uint8_t>{0x70});
    patch_le(path, c.offset, c.value, c.bytes);
    EXPECT_EQ(map_volume_file(path, KIND_NTFS).probe, ERR_LAYOUT) << c.what;
  }
}

// ---- the hibernation file -------------------------------------------------------------------

TEST(NtfsState, HibernatedVolumeIsRefused) {
  for (const char* head : {"hibr", "HIBR", "wake", "WaKe"}) {
    EXPECT_EQ(probe_spec(with_file("hiberfil.sys", ntfs_resident_attribute(0x80, bytes_of(head, 64)))),
              ERR_LAYOUT)
        << head;
  }
  EXPECT_EQ(probe_spec(with_file("HiberFil.SYS", ntfs_resident_attribute(0x80, bytes_of("hibr")))),
            ERR_LAYOUT);
}

TEST(NtfsState, HibernationFileWithoutItsMarkIsAccepted) {
  for (const std::string& head : {std::string(64, '\0'), std::string("RSTR"), std::string("hib"),
                                  std::string(), std::string("xhibr")}) {
    const NtfsVolumeSpec spec = with_file("hiberfil.sys", ntfs_resident_attribute(0x80, bytes_of(head)));
    expect_follows_bitmap(map_spec(spec), 8, kBasicClusters, spec.bitmap);
  }
  // Only the root folder's hibernation file counts, not names like it.
  for (const char* name : {"hiberfil.sy", "hiberfil.sys2", "xhiberfil.sys", "pagefile.sys"})
    EXPECT_EQ(probe_spec(with_file(name, ntfs_resident_attribute(0x80, bytes_of("hibr")))), OK) << name;
}

TEST(NtfsState, HibernationMarkInTheFirstCluster) {
  NtfsVolumeSpec spec = with_file("hiberfil.sys", ntfs_nonresident_attribute(file_data(65536)));
  spec.writes.push_back({kFileCluster * 4096, bytes_of("HIBR", 4096)});
  EXPECT_EQ(probe_spec(spec), ERR_LAYOUT);
  spec.writes.back().second = bytes_of("", 4096);
  EXPECT_EQ(probe_spec(spec), OK);

  // The mark counts only inside the initialised data.
  NtfsNonResident unwritten = file_data(65536);
  unwritten.initialized_size = 0;
  spec = with_file("hiberfil.sys", ntfs_nonresident_attribute(unwritten));
  spec.writes.push_back({kFileCluster * 4096, bytes_of("HIBR", 4096)});
  EXPECT_EQ(probe_spec(spec), OK);
}

TEST(NtfsState, HibernationFileThatCannotBeReadIsRefused) {
  // Each has "hibr" where its data would be, so only a refusal is safe.
  auto nonresident = [](auto change) {
    NtfsNonResident d = file_data(65536);
    change(d);
    return ntfs_nonresident_attribute(d);
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> record;
  };
  std::vector<uint8_t> late_start = nonresident([](NtfsNonResident&) {});
  late_start[16] = 1;  // first VCN: an extension's piece
  const Case cases[] = {
      {"sparse first run", file_record("hiberfil.sys", nonresident([](NtfsNonResident& d) {
                                         d.runs = {0x01, 0x10, 0x00};
                                       }))},
      {"compressed", file_record("hiberfil.sys", nonresident([](NtfsNonResident& d) { d.flags = 1; }))},
      {"first run beyond the volume", file_record("hiberfil.sys", nonresident([](NtfsNonResident& d) {
                                                    d.runs = {0x21, 0x01, 0x00, 0x10, 0x00};
                                                  }))},
      {"no run", file_record("hiberfil.sys", nonresident([](NtfsNonResident& d) { d.runs = {0x00}; }))},
      {"data not from its start", file_record("hiberfil.sys", late_start)},
      {"no data", ntfs_file_record(1024, kFileRecord, {standard_information(), name_of("hiberfil.sys")})},
      {"only named data", file_record("hiberfil.sys", ntfs_resident_attribute(0x80, bytes_of("x"), "s"))},
  };
  for (const Case& c : cases) {
    NtfsVolumeSpec spec = with_file("hiberfil.sys", {});
    spec.records.back().second = c.record;
    spec.writes.push_back({kFileCluster * 4096, bytes_of("hibr", 4096)});
    EXPECT_EQ(probe_spec(spec), ERR_LAYOUT) << c.what;
  }
}

TEST(NtfsState, IndexEntryThatLeadsNowhereIsRefused) {
  const std::vector<uint8_t> data = ntfs_resident_attribute(0x80, bytes_of("", 64));
  NtfsVolumeSpec spec = with_file("hiberfil.sys", data);
  ASSERT_EQ(probe_spec(spec), OK);
  for (uint64_t reference : {kFileRecord | uint64_t{2} << 48, uint64_t{13} | uint64_t{1} << 48,
                             uint64_t{16} | uint64_t{1} << 48, ~uint64_t{0}}) {
    spec.record5 = ntfs_root_record(1024, ntfs_index_entries({{reference, "hiberfil.sys"}}));
    EXPECT_EQ(probe_spec(spec), ERR_LAYOUT) << std::hex << reference;
  }
}

TEST(NtfsState, EveryEntryOfThatNameIsChecked) {
  NtfsVolumeSpec spec = with_file("hiberfil.sys", ntfs_resident_attribute(0x80, bytes_of("", 64)));
  spec.records.push_back({13, ntfs_file_record(1024, 13,
                                               {standard_information(), name_of("HIBERFIL.SYS"),
                                                ntfs_resident_attribute(0x80, bytes_of("hibr"))})});
  spec.record5 = ntfs_root_record(
      1024, ntfs_index_entries({{kFileReference, "hiberfil.sys"}, {13 | uint64_t{1} << 48, "HIBERFIL.SYS"}}));
  EXPECT_EQ(probe_spec(spec), ERR_LAYOUT);
}

// ---- the root folder's index ----------------------------------------------------------------

TEST(NtfsState, HibernationFileFoundDeepInTheIndex) {
  // Root -> block 0 -> block 1, which holds the name; found whatever the order of the names.
  const std::vector<uint8_t> root = ntfs_index_entries({}, 0);
  const std::vector<uint8_t> block0 =
      ntfs_index_block(4096, 0, ntfs_index_entries({{uint64_t{14} | uint64_t{1} << 48, "zzz.txt", 1}}));
  for (const char* head : {"hibr", ""}) {
    const std::vector<uint8_t> block1 =
        ntfs_index_block(4096, 1, ntfs_index_entries({{kFileReference, "hiberfil.sys"}}));
    NtfsVolumeSpec spec = with_blocks(root, {block0, block1});
    spec.records.push_back(
        {kFileRecord, file_record("hiberfil.sys", ntfs_resident_attribute(0x80, bytes_of(head, 8)))});
    if (*head) {
      EXPECT_EQ(probe_spec(spec), ERR_LAYOUT);
    } else {
      expect_follows_bitmap(map_spec(spec), 8, kBasicClusters, spec.bitmap);
    }
  }
}

TEST(NtfsState, IndexBlocksSmallerThanAClusterCountSectors) {
  // 64 KiB clusters with 4 KiB blocks: block numbers count 512-byte units, so the second block
  // is number 8.
  NtfsVolumeSpec spec;
  spec.volume_sectors = 65536;
  spec.sectors_per_cluster = 128;
  spec.mft_runs = {{1, 1}};
  spec.mft_records = 64;
  spec.bitmap_runs = {{2, 1}};
  spec.bitmap.assign(64, 0);
  set_ntfs_clusters(spec.bitmap, 0, 4);
  std::vector<uint8_t> block0 =
      ntfs_index_block(4096, 0, ntfs_index_entries({{uint64_t{14} | uint64_t{1} << 48, "a.txt", 8}}));
  std::vector<uint8_t> block8 =
      ntfs_index_block(4096, 8, ntfs_index_entries({{kFileReference, "hiberfil.sys"}}));
  protect_ntfs_record(block0);
  protect_ntfs_record(block8);
  NtfsNonResident allocation;
  allocation.runs = encode_ntfs_runs({{3, 1}});
  allocation.clusters = 1;
  allocation.cluster_size = 65536;
  allocation.data_size = 8192;
  spec.record5 = ntfs_root_record(1024, ntfs_index_entries({}, 0), allocation);
  spec.records.push_back(
      {kFileRecord, file_record("hiberfil.sys", ntfs_resident_attribute(0x80, bytes_of("hibr")))});
  spec.writes = {{3 * 65536, block0}, {3 * 65536 + 8 * 512, block8}};
  EXPECT_EQ(probe_spec(spec), ERR_LAYOUT);
  spec.records.back().second = file_record("hiberfil.sys", ntfs_resident_attribute(0x80, bytes_of("none")));
  EXPECT_EQ(probe_spec(spec), OK);
}

TEST(NtfsState, RootIndexThatCannotBeWalkedIsRefused) {
  const std::vector<uint8_t> no_names = ntfs_index_entries({});
  const std::vector<uint8_t> to_block0 = ntfs_index_entries({}, 0);
  const std::vector<uint8_t> empty_block = ntfs_index_block(4096, 0, no_names);
  struct Case {
    const char* what;
    NtfsVolumeSpec spec;
  };
  std::vector<Case> cases;
  auto root_of = [](std::vector<std::vector<uint8_t>> attributes) {
    NtfsVolumeSpec spec = basic_ntfs_spec();
    spec.record5 = ntfs_file_record(1024, 5, attributes);
    return spec;
  };
  const std::vector<uint8_t> root_value = ntfs_index_root_value(4096, no_names);
  cases.push_back({"no index root", root_of({standard_information(), name_of(".")})});
  cases.push_back({"unnamed index root", root_of({standard_information(), name_of("."),
                                                  ntfs_resident_attribute(0x90, root_value)})});
  cases.push_back({"index of another name", root_of({standard_information(), name_of("."),
                                                     ntfs_resident_attribute(0x90, root_value, "$O")})});
  cases.push_back({"not the root folder", root_of({standard_information(), name_of("a"),
                                                   ntfs_resident_attribute(0x90, root_value, "$I30")})});
  std::vector<uint8_t> other_type = root_value;
  other_type[0] = 0x10;
  cases.push_back({"index not of names", root_of({standard_information(), name_of("."),
                                                  ntfs_resident_attribute(0x90, other_type, "$I30")})});
  std::vector<uint8_t> odd_block = root_value;
  odd_block[9] = 0x0F;  // 3840 bytes
  cases.push_back(
      {"block size not a power of two",
       root_of({standard_information(), name_of("."), ntfs_resident_attribute(0x90, odd_block, "$I30")})});
  std::vector<uint8_t> unended = no_names;
  unended[12] = 0;  // the last entry no longer says so
  cases.push_back({"no last entry", basic_ntfs_spec()});
  cases.back().spec.record5 = ntfs_root_record(1024, unended);
  std::vector<uint8_t> zero_length = ntfs_index_entries({{kFileReference, "a"}});
  zero_length[8] = zero_length[9] = 0;
  cases.push_back({"zero entry length", basic_ntfs_spec()});
  cases.back().spec.record5 = ntfs_root_record(1024, zero_length);
  std::vector<uint8_t> long_key = ntfs_index_entries({{kFileReference, "a"}});
  long_key[10] = 0x60;
  cases.push_back({"key beyond its entry", basic_ntfs_spec()});
  cases.back().spec.record5 = ntfs_root_record(1024, long_key);
  cases.push_back({"children without blocks", basic_ntfs_spec()});
  cases.back().spec.record5 = ntfs_root_record(1024, to_block0);
  cases.push_back({"child beyond the blocks", with_blocks(ntfs_index_entries({}, 1), {empty_block})});
  cases.push_back({"child far beyond", with_blocks(ntfs_index_entries({}, ~uint64_t{0} / 2), {empty_block})});
  cases.push_back(
      {"block with another number", with_blocks(to_block0, {ntfs_index_block(4096, 1, no_names)})});
  std::vector<uint8_t> not_index = empty_block;
  not_index[0] = 'J';
  cases.push_back({"block magic", with_blocks(to_block0, {not_index})});
  cases.push_back(
      {"block leading to itself", with_blocks(to_block0, {ntfs_index_block(4096, 0, to_block0)})});
  cases.push_back(
      {"blocks doubling at every level",
       with_blocks(to_block0, {ntfs_index_block(4096, 0, ntfs_index_entries({{1, "a", 0}}, 0))})});
  cases.push_back(
      {"block without a last entry", with_blocks(to_block0, {ntfs_index_block(4096, 0, unended)})});
  for (const Case& c : cases) EXPECT_EQ(probe_spec(c.spec), ERR_LAYOUT) << c.what;

  // The same shapes sound: accepted.
  EXPECT_EQ(probe_spec(with_blocks(to_block0, {empty_block})), OK);
}

TEST(NtfsState, IndexBlockUpdateSequenceIsChecked) {
  TempDir dir;
  const std::string path = dir.file("ntfs.img");
  const NtfsVolumeSpec spec =
      with_blocks(ntfs_index_entries({}, 0), {ntfs_index_block(4096, 0, ntfs_index_entries({}))});
  write_ntfs_volume(path, spec);
  ASSERT_EQ(map_volume_file(path, KIND_NTFS).probe, OK);
  patch_le(path, kBlocksCluster * 4096 + 7 * 512 + 510, 0x0303, 2);
  EXPECT_EQ(map_volume_file(path, KIND_NTFS).probe, ERR_LAYOUT);
}

TEST(NtfsState, ByteFlipsOfTheStateStructures) {
  // A deep index leading to a hibernation file without its mark: every flip in the structures
  // the state check reads either leaves the answer as it was or refuses the volume.
  const std::vector<uint8_t> block0 =
      ntfs_index_block(4096, 0, ntfs_index_entries({{uint64_t{14} | uint64_t{1} << 48, "zzz.txt", 1}}, 1));
  const std::vector<uint8_t> block1 =
      ntfs_index_block(4096, 1, ntfs_index_entries({{kFileReference, "hiberfil.sys"}}));
  NtfsVolumeSpec spec = with_blocks(ntfs_index_entries({}, 0), {block0, block1});
  spec.records.push_back(
      {kFileRecord, file_record("hiberfil.sys", ntfs_nonresident_attribute(file_data(65536)))});
  spec.writes.push_back({kFileCluster * 4096, bytes_of("", 4096)});
  TempDir dir;
  const std::string path = dir.file("ntfs.img");
  write_ntfs_volume(path, spec);
  const ReaderResult baseline = map_volume_file(path, KIND_NTFS);
  ASSERT_EQ(baseline.probe, OK);
  const std::pair<uint64_t, uint64_t> targets[] = {{kTable + 3 * 1024, 1024},
                                                   {kTable + 5 * 1024, 1024},
                                                   {kTable + kFileRecord * 1024, 1024},
                                                   {kBlocksCluster * 4096, 8192},
                                                   {kFileCluster * 4096, 8}};
  std::mt19937_64 rng(0x48494252);
  int refused = 0;
  for (int i = 0; i < 600; ++i) {
    const auto& [from, length] = targets[rng() % std::size(targets)];
    const uint64_t offset = from + rng() % length;
    const std::vector<uint8_t> old = read_range(path, offset, 1);
    patch_file(path, offset, {static_cast<uint8_t>(old[0] ^ (1 + rng() % 255))});
    const ReaderResult r = map_volume_file(path, KIND_NTFS);
    patch_file(path, offset, old);
    if (r.probe != OK) {
      ++refused;
      EXPECT_EQ(r.probe, ERR_LAYOUT) << "offset " << offset;
      continue;
    }
    EXPECT_EQ(r.bitmap, baseline.bitmap) << "offset " << offset;
  }
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace qx::test
