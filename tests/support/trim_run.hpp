// Running the command line over an image and checking what it kept: the tools' output, the map the
// run builds, and the used sectors of two raw disks compared.
#pragma once

#include <cstdint>
#include <utility>
#include <string>
#include <vector>

#include "image/error.hpp"
#include "image/file.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {

// quorvex with these arguments (already quoted); its reason line on standard error is left out,
// or with `errors` kept in the output.
CommandResult quorvex(const std::string& args, bool errors = false);
// qemu-img convert with the options; a failure fails the test.
void qemu_convert(const std::string& from, const std::string& to, const std::string& options);

// The parents qemu-img makes of one raw disk, written into `folder` under these names: QCOW,
// compressed QCOW, fixed VHD, QCOW2 and zstd-compressed QCOW2.
inline constexpr const char* kQemuParents[] = {"parent.qcow", "compressed.qcow", "fixed.vhd", "parent.qcow2",
                                               "zstd.qcow2"};
void write_qemu_parents(const std::string& raw, const std::string& folder);

bool ends_with(const std::string& s, const std::string& tail);
size_t count_of(const std::string& s, const std::string& needle);

// The map of an image as the command line builds it: which sectors hold used data.
struct UsedSectors {
  uint32_t total = 0;
  uint32_t recognised = 0;
  size_t volumes = 0;  // partitions and file systems, gaps left out
  std::vector<uint8_t> bits;
  bool used(uint64_t s) const { return test_bit(bits, s); }
};
// With keys, encrypted volumes are read inside as a run given them would.
UsedSectors used_sectors(const std::string& path, const VolumeKeys* keys = nullptr);

// First used sector whose content differs, or -1.
int64_t first_used_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                              const UsedSectors& used);

// Bytes the file takes on its host.
uint64_t host_bytes(const std::string& path);
// Opens and maps the image, then trims it in place with `hook` on the file primitives' seam.
ErrorCode trim_in_place_with_hook(const std::string& path, FileCallHook hook);

// Every sector used, unless a test hands in a map of its own.
UsageMap whole_disk_map(uint32_t total);

struct ProgressLog {
  std::vector<std::pair<uint32_t, uint32_t>> calls;
  size_t cancel_at = SIZE_MAX;  // answer false on this call (0 = the first)
};
bool log_progress(uint32_t done, uint32_t total, void* user);

struct Trimmed {
  ErrorCode rc = ERR_UNSUPPORTED;
  bool temp_created = false;
  uint64_t temp_size = 0;
};
// Opens, trims through the driver table, then commits (keeping the backup) or discards, as the
// command line does.
Trimmed trim(const std::string& path, ProgressLog* log = nullptr, const UsageMap* custom = nullptr);

}  // namespace qx::test
