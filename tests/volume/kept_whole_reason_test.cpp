// Every volume the map keeps whole says why, with the key of its cause: built by the file systems'
// own tools where they can make the state, patched where only a crash would.
#include <gtest/gtest.h>

#include <functional>

#include "fs/reader.hpp"
#include "support/disk_builder.hpp"
#include "support/ext_builder.hpp"
#include "support/fs_support.hpp"
#include "support/map_disk.hpp"
#include "support/ntfs_builder.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

void patch(const std::string& path, uint64_t at, std::vector<uint8_t> bytes) {
  test::write_at(path, at, bytes);
}

bool ext_volume(const std::string& path, const std::string& type) {
  test::MkExtOptions options;
  options.type = type;
  options.blocks = 1024;
  return test::make_ext_volume(path, options);
}

struct KeptCase {
  const char* key;
  uint8_t type;  // MBR partition type
  std::function<bool(const std::string& path)> make;
};

const KeptCase kCases[] = {
    {"unknown_file_system", 0x83,
     [](const std::string& p) {
       test::make_dirty_file(p, 2u << 20);
       return true;
     }},
    {"not_cleanly_unmounted", 0x83,
     [](const std::string& p) {
       if (!ext_volume(p, "ext2")) return false;
       patch(p, 1024 + 0x3A, {0, 0});  // s_state: mounted
       return true;
     }},
    {"needs_journal_recovery", 0x83,
     [](const std::string& p) {
       if (!ext_volume(p, "ext3")) return false;
       const auto sb = test::read_file(p);
       patch(p, 1024 + 0x60, {static_cast<uint8_t>(sb[1024 + 0x60] | 0x04)});  // needs recovery
       return true;
     }},
    {"not_cleanly_unmounted", 0x07,
     [](const std::string& p) {
       test::NtfsVolumeSpec spec = test::basic_ntfs_spec();
       spec.volume_flags = 0x0001;
       test::write_ntfs_volume(p, spec);
       return true;
     }},
    {"hibernated", 0x82,
     [](const std::string& p) {
       test::make_dirty_file(p, 1u << 20);
       patch(p, 0, std::vector<uint8_t>(4096, 0));
       patch(p, 4086, {'S', '1', 'S', 'U', 'S', 'P', 'E', 'N', 'D', 0});
       return true;
     }},
};

TEST(KeptWholeReasons, EveryVolumeKeptWholeSaysWhy) {
  for (const KeptCase& c : kCases) {
    SCOPED_TRACE(c.key);
    test::TempDir dir;
    const std::string volume = dir.file("volume");
    if (!c.make(volume)) {
      ADD_FAILURE() << "the volume could not be made";
      continue;
    }
    test::expect_kept_whole(dir.file("disk.img"), volume, c.type, c.key);
  }
}

}  // namespace
}  // namespace qx
