#include "support/trim_harness.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "formats/replacement/replacement.hpp"
#include "fs/reader.hpp"
#include "volume/sector_bitmap.hpp"

namespace qx::test {
namespace {

struct BitmapState : ReaderState {
  std::vector<uint8_t> used;
};

ErrorCode no_probe(DiskImage&, uint32_t, uint32_t, std::unique_ptr<ReaderState>&) { return ERR_FILE_SYSTEM; }

ErrorCode mark_from_bitmap(const ReaderState& s, uint32_t first, uint32_t count, std::span<uint8_t> bitmap,
                           uint32_t bit) {
  const auto& used = static_cast<const BitmapState&>(s).used;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t sector = uint64_t{first} + i;
    put_bit(bitmap, bit + i, sector / 8 < used.size() && test_bit(used, sector));
  }
  return OK;
}

// A kind no real reader holds answers from the bitmap.
const FsReader kBitmapReader = {"bitmap", no_probe, mark_from_bitmap};

}  // namespace

UsageMap whole_disk_map(uint32_t total) {
  UsageMap map;
  if (total) map.volumes.push_back(VolumeEntry{0, total, KIND_UNRECOGNISED, nullptr});
  return map;
}

UsageMap bitmap_map(uint32_t total, std::vector<uint8_t> used) {
  override_fs_reader(KIND_PLACEHOLDER_7, &kBitmapReader);
  auto state = std::make_unique<BitmapState>();
  state->used = std::move(used);
  UsageMap map;
  map.volumes.push_back(VolumeEntry{0, total, KIND_PLACEHOLDER_7, std::move(state)});
  return map;
}

bool log_progress(uint32_t done, uint32_t total, void* user) {
  auto& log = *static_cast<ProgressLog*>(user);
  log.calls.emplace_back(done, total);
  return log.calls.size() - 1 != log.cancel_at;
}

Trimmed trim_image(const std::string& path, const UsageMap* map, ProgressLog* log) {
  Trimmed t;
  DiskImage image;
  if ((t.rc = open_image(image, path, true)) != OK) return t;
  const UsageMap whole = whole_disk_map(get_geometry(image).total_sectors);
  const FormatDriver* driver = format_driver(image.format);
  WriterRecord record;
  t.rc = driver && driver->trim ? driver->trim(path, image, map ? *map : whole, record,
                                               log ? log_progress : nullptr, log)
                                : ERR_UNSUPPORTED;
  close_image(image);
  t.temp_created = record.single.active;
  if (std::filesystem::exists(path + "_TEMP")) t.temp_size = std::filesystem::file_size(path + "_TEMP");
  if (t.rc == OK) {
    const ErrorCode commit = commit_writer_record(record, kBackupSuffix, false, true);
    if (commit != OK) t.rc = commit;
  } else {
    EXPECT_EQ(discard_writer_record(record), OK);
  }
  return t;
}

}  // namespace qx::test
