// Every writer turns the same images into the same bytes: the trimmed files of images built in
// code, over a map with free stretches, hash to the values the writers have always produced. And
// a read that fails anywhere in a run over those images never ends in a success that wrote
// something else.
#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/disk_builder.hpp"
#include "support/explicit_map.hpp"
#include "support/fat_builder.hpp"
#include "formats/trim_walk.hpp"
#include "image/disk_image.hpp"
#include "image/file_guard.hpp"
#include "image/replacement.hpp"
#include "support/parallels_builder.hpp"
#include "support/qcow_builder.hpp"
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

using Write = std::function<void(uint32_t sector, const std::vector<uint8_t>& data)>;
using Fill = void (*)(const Write& write);

// What every image holds: data that stays, data in sectors the map calls free, stored zeros under
// used sectors, and the last sector of the disk.
void fill_disk(const Write& write) {
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
  std::function<void(const test::TempDir&, Fill)> make;
  uint64_t expected;  // over every file of the folder but the backups, in name order
};

const Case kCases[] = {
    {"vdi", "d.vdi",
     [](const test::TempDir& dir, Fill fill) {
       test::VdiShape shape;
       shape.disk_size = uint64_t{kSectors} * 512;
       test::VdiBuilder b(shape);
       fill([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.vdi"));
     },
     0x7f12bd9e611637f6ull},
    {"vdi fixed", "d.vdi",
     [](const test::TempDir& dir, Fill fill) {
       test::VdiShape shape;
       shape.disk_size = uint64_t{kSectors} * 512;
       shape.image_type = 2;
       test::VdiBuilder b(shape);
       fill([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.vdi"));
     },
     0x2617a3c851b98631ull},
    {"vhd 64 KiB blocks", "d.vhd",
     [](const test::TempDir& dir, Fill fill) {
       test::VhdShape shape;
       shape.total_sectors = kSectors;
       shape.block_bytes = 64u << 10;
       shape.geometry = std::array<uint32_t, 3>{1024, 16, 4};
       test::VhdBuilder b(shape);
       fill([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.vhd"));
     },
     0x8ba7d2ec834c389aull},
    {"vhdx", "d.vhdx",
     [](const test::TempDir& dir, Fill fill) {
       test::VhdxShape shape;
       shape.disk_bytes = uint64_t{kSectors} * 512;
       test::VhdxBuilder b(shape);
       fill([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(uint64_t{at} * 512, d); });
       b.write_to(dir.file("d.vhdx"));
     },
     0xa3383e8ba9c65c36ull},
    {"vmdk", "d.vmdk",
     [](const test::TempDir& dir, Fill fill) {
       test::VmdkExtentBuilder b(test::vmdk_shape(
           kSectors, test::vmdk_descriptor("monolithicSparse", {test::sparse_extent_line(kSectors, "d.vmdk")})));
       fill([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.vmdk"));
     },
     0xbd695736a91cab9eull},
    {"vmdk split", "d.vmdk",
     [](const test::TempDir& dir, Fill fill) {
       std::vector<std::string> lines;
       for (uint32_t i = 0; i < 4; ++i) {
         const uint32_t first = i * kSectors / 4;
         test::VmdkExtentBuilder b(test::vmdk_shape(kSectors / 4));
         fill([&](uint32_t at, const std::vector<uint8_t>& d) {
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
     [](const test::TempDir& dir, Fill fill) {
       test::ParallelsShape shape;
       shape.total_sectors = kSectors;
       test::ParallelsBuilder b(shape);
       fill([&](uint32_t at, const std::vector<uint8_t>& d) { b.write(at, d); });
       b.write_to(dir.file("d.hdd"));
     },
     0x81c13a496434faf9ull},
    {"parallels bundle", "disk.hdd",
     [](const test::TempDir& dir, Fill fill) {
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
         fill([&](uint32_t at, const std::vector<uint8_t>& d) {
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

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  std::string n = info.param.name;
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

class WriterIdentity : public ::testing::TestWithParam<Case> {};

TEST_P(WriterIdentity, TrimmedFilesHashAsBefore) {
  const Case& c = GetParam();
  test::TempDir dir;
  c.make(dir, fill_disk);
  test::ExplicitUsageMap map(kSectors);
  set_free(map);
  ASSERT_EQ(test::trim(dir.file(c.image), nullptr, &map.map()).rc, OK);
  const uint64_t h = hash_outputs(dir);
  // QX_PRINT_IDENTITY=1 prints the values to record.
  if (std::getenv("QX_PRINT_IDENTITY")) std::printf("%s 0x%016llxull\n", c.name, static_cast<unsigned long long>(h));
  EXPECT_EQ(h, c.expected) << c.name;
}

uint64_t g_reads = 0;
int count_reads(FileCall call) noexcept {
  g_reads += call == FileCall::kRead;
  return 0;
}

// The trim that follows a forecast takes over its decisions: the same files, fewer reads. Under
// a run's guard, an image written since the forecast is decided anew.
TEST_P(WriterIdentity, TheTrimTakesOverTheForecastsDecisions) {
  const Case& c = GetParam();
  enum Run { kFresh, kTakenOver, kWrittenMeanwhile };
  uint64_t reads[3] = {};
  for (const Run run : {kFresh, kTakenOver, kWrittenMeanwhile}) {
    SCOPED_TRACE(run);
    test::TempDir dir;
    c.make(dir, fill_disk);
    const std::string path = dir.file(c.image);
    test::ExplicitUsageMap map(kSectors);
    set_free(map);
    FileGuard guard;
    ActiveGuard active(guard);
    if (!fs::is_directory(path)) {
      ASSERT_EQ(guard.hold(path), HoldResult::kHeld);
    }
    DiskImage image;
    ASSERT_EQ(open_image(image, path, true), OK);
    TrimForecast forecast;
    TrimDecisions decisions;
    CountingSink counting(forecast);
    ASSERT_EQ(trim_image(image, path, map.map(), counting, nullptr, nullptr, &decisions), OK);
    if (run == kWrittenMeanwhile)
      fs::last_write_time(forecast.files[0].path, fs::last_write_time(forecast.files[0].path) + std::chrono::hours(1));
    WriterRecord record;
    FileSink files(record);
    g_reads = 0;
    set_file_call_hook(count_reads);
    const ErrorCode rc = trim_image(image, path, map.map(), files, nullptr, nullptr, run == kFresh ? nullptr : &decisions);
    set_file_call_hook(nullptr);
    reads[run] = g_reads;
    close_image(image);
    EXPECT_EQ(rc, OK);
    if (run == kWrittenMeanwhile) {
      EXPECT_EQ(discard_writer_record(record), OK);
      continue;
    }
    ASSERT_EQ(commit_writer_record(record, kBackupSuffix, false), OK);
    EXPECT_EQ(hash_outputs(dir), c.expected);
  }
  EXPECT_LT(reads[kTakenOver], reads[kFresh]);
  EXPECT_EQ(reads[kWrittenMeanwhile], reads[kFresh]);
}

INSTANTIATE_TEST_SUITE_P(Writers, WriterIdentity, ::testing::ValuesIn(kCases), case_name);

// An MBR disk with one FAT16 volume: clusters in use with data, a long run of free clusters that
// still hold data (which only the volume's table shows to be droppable), and more used ones.
const std::vector<uint8_t>& fat_disk() {
  static const std::vector<uint8_t> disk = [] {
    test::TempDir dir;
    test::FatSpec spec;
    spec.sectors_per_cluster = 4;
    spec.cluster_count = 15000;
    const test::FatVolume v = test::build_fat_volume(dir.file("part"), spec);
    for (uint64_t n = 2; n < 3000; ++n) v.set_entry(n, 0xFFFF);
    for (uint64_t n = 10000; n < 10100; ++n) v.set_entry(n, 0xFFFF);
    std::vector<uint8_t> part = test::read_file(dir.file("part"));
    part.resize(v.total_sectors * 512);
    // Data in the used clusters and in the free ones between them.
    for (uint64_t n = 2; n < 10100; ++n) {
      const uint64_t at = v.cluster_first_sector(n) * 512;
      const std::vector<uint8_t> d = data(static_cast<uint32_t>(2048 + at / 512), 4);
      std::copy(d.begin(), d.end(), part.begin() + static_cast<ptrdiff_t>(at));
    }
    std::vector<uint8_t> out(size_t{kSectors} * 512);
    EXPECT_LE(part.size() + 2048 * 512, out.size());
    std::copy(part.begin(), part.end(), out.begin() + 2048 * 512);
    const std::vector<uint8_t> mbr = test::boot_sector({{0x06, 2048, static_cast<uint32_t>(v.total_sectors)}});
    std::copy(mbr.begin(), mbr.end(), out.begin());
    return out;
  }();
  return disk;
}

// The FAT disk, written in pieces of 64 KiB that are not all zeros.
void fill_fat_disk(const Write& write) {
  const std::vector<uint8_t>& disk = fat_disk();
  constexpr size_t kPiece = 128 * 512;
  for (size_t at = 0; at < disk.size(); at += kPiece) {
    const auto first = disk.begin() + static_cast<ptrdiff_t>(at);
    if (std::all_of(first, first + kPiece, [](uint8_t b) { return b == 0; })) continue;
    write(static_cast<uint32_t>(at / 512), std::vector<uint8_t>(first, first + kPiece));
  }
}

// The Nth read of the file primitives fails with EIO; every read is counted.
struct ReadFault {
  uint64_t reads = 0;
  uint64_t fail_at = 0;  // 0: none fails
};
ReadFault g_fault;

int fail_nth_read(FileCall call) noexcept {
  return call == FileCall::kRead && ++g_fault.reads == g_fault.fail_at ? EIO : 0;
}

// Open, map, forecast and trim over the map the run built, as the command line does (the trim
// taking over what the forecast decided), reads
// failing as planned; then the swap (keeping the backup) or the discard, with no read failing.
ErrorCode run_with_read_fault(const std::string& path, uint64_t fail_at, uint32_t* recognised_out = nullptr) {
  g_fault = ReadFault{0, fail_at};
  set_file_call_hook(fail_nth_read);
  WriterRecord record;
  const ErrorCode rc = [&] {
    DiskImage image;
    if (ErrorCode rc = open_image(image, path, true); rc != OK) return rc;
    ErrorCode error = OK;
    uint32_t recognised = 0;
    const std::unique_ptr<UsageMap> map = build_usage_map(image, error, recognised);
    if (!map) return error;
    if (recognised_out) *recognised_out = recognised;
    TrimForecast forecast;
    TrimDecisions decisions;
    CountingSink counting(forecast);
    if (ErrorCode rc = trim_image(image, path, *map, counting, nullptr, nullptr, &decisions); rc != OK) return rc;
    FileSink files(record);
    return trim_image(image, path, *map, files, nullptr, nullptr, &decisions);
  }();
  set_file_call_hook(nullptr);
  if (rc != OK) {
    EXPECT_EQ(discard_writer_record(record), OK);
    return rc;
  }
  return commit_writer_record(record, kBackupSuffix, false);
}

// Every file of the folder, name and bytes.
std::vector<std::pair<std::string, uint64_t>> folder_state(const test::TempDir& dir) {
  std::vector<std::pair<std::string, uint64_t>> out;
  for (const auto& e : fs::recursive_directory_iterator(dir.path()))
    out.emplace_back(e.path().string(), e.is_regular_file() ? fnv1a(test::read_file(e.path().string())) : 0);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Case> read_fault_cases() {
  std::vector<Case> cases(std::begin(kCases), std::end(kCases));
  cases.push_back({"qcow2", "d.qcow2",
                   [](const test::TempDir& dir, Fill fill) {
                     std::vector<uint8_t> disk(size_t{kSectors} * 512);
                     fill([&](uint32_t at, const std::vector<uint8_t>& d) {
                       std::copy(d.begin(), d.end(), disk.begin() + size_t{at} * 512);
                     });
                     test::Qcow2Shape shape;
                     shape.size = disk.size();
                     test::write_file(dir.file("d.qcow2"), test::qcow2_bytes(shape, disk).bytes);
                   },
                   0});
  return cases;
}

class ReadFaults : public ::testing::TestWithParam<Case> {};

TEST_P(ReadFaults, AFailedReadEndsInErrReadWithNothingChangedOrChangesNothing) {
  const Case& c = GetParam();
  test::TempDir source(test::memory_folder());
  c.make(source, fill_fat_disk);
  // A fresh copy of the built image for every run.
  auto fresh = [&](const test::TempDir& dir) {
    fs::copy(source.path(), dir.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  };
  uint64_t reads = 0, reference = 0;
  {
    test::TempDir dir(test::memory_folder());
    fresh(dir);
    uint32_t recognised = 0;
    ASSERT_EQ(run_with_read_fault(dir.file(c.image), 0, &recognised), OK);
    ASSERT_EQ(recognised, 1u);
    reads = g_fault.reads;
    reference = hash_outputs(dir);
  }
  ASSERT_GT(reads, 3u);
  // Every read up to kEvery (the open, the map, the first blocks), then reads spread evenly over
  // the rest, so that the many reads of a trim of small blocks keep the test short.
  constexpr uint64_t kEvery = 80;
  const uint64_t step = reads <= 2 * kEvery ? 1 : (reads - kEvery) / kEvery + 1;
  uint64_t succeeded = 0, tried = 0;
  for (uint64_t n = 1; n <= reads; n += n < kEvery ? 1 : step) {
    ++tried;
    SCOPED_TRACE("read " + std::to_string(n) + " of " + std::to_string(reads));
    test::TempDir dir(test::memory_folder());
    fresh(dir);
    const auto before = folder_state(dir);
    const ErrorCode rc = run_with_read_fault(dir.file(c.image), n);
    if (rc == OK) {
      ++succeeded;
      EXPECT_EQ(hash_outputs(dir), reference);
    } else {
      EXPECT_EQ(rc, ERR_READ) << error_name(rc);
      EXPECT_EQ(folder_state(dir), before);
    }
  }
  std::printf("[ %s ] %llu of %llu reads failed one at a time, %llu runs still wrote the same files\n",
              c.name, static_cast<unsigned long long>(tried), static_cast<unsigned long long>(reads),
              static_cast<unsigned long long>(succeeded));
}

INSTANTIATE_TEST_SUITE_P(Writers, ReadFaults, ::testing::ValuesIn(read_fault_cases()), case_name);

}  // namespace
}  // namespace qx
