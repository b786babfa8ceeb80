#include "support/vmdk_guest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/test_support.hpp"
#include "support/trim_run.hpp"

namespace qx::test {
namespace {

// Writes into the child every 64 KiB piece in which `changed` differs from `raw`.
void write_differences(const std::string& raw, const std::string& changed, const std::string& child,
                       const std::string& work) {
  const auto a = read_file(raw), b = read_file(changed);
  ASSERT_EQ(a.size(), b.size());
  std::string cmd = "qemu-io -f vmdk";
  constexpr size_t kPiece = 64 * 1024;
  for (size_t at = 0; at < a.size(); at += kPiece) {
    if (std::equal(a.begin() + at, a.begin() + at + kPiece, b.begin() + at)) continue;
    const std::string piece = work + "/piece" + std::to_string(at);
    write_file(piece, std::vector<uint8_t>(b.begin() + at, b.begin() + at + kPiece));
    cmd += " -c " + shell_quote("write -s " + piece + " " + std::to_string(at) + " " + std::to_string(kPiece));
  }
  const auto r = run_command(cmd + " " + shell_quote(child) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.output;
}

void make_file(const std::string& path, size_t zeros_at, size_t zeros, size_t size) {
  std::vector<uint8_t> data(size);
  uint32_t x = 12345;
  for (auto& v : data) v = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16 | 1);
  std::fill(data.begin() + zeros_at, data.begin() + zeros_at + zeros, 0);
  write_file(path, data);
}

}  // namespace

void write_guest_changes(const DiskFixture& disk, const std::string& child, const std::string& work) {
  constexpr size_t kMiB = 1024 * 1024;
  const std::string changed = work + "/changed.raw", fat = shell_quote(changed + "@@" + std::to_string(2048 * 512));
  std::filesystem::copy_file(disk.raw, changed);
  make_file(work + "/new", 256 * 1024, 256 * 1024, kMiB);
  ASSERT_EQ(run_command("mcopy -i " + fat + " " + shell_quote(work + "/new") + " ::/new && mdel -i " + fat +
                        " ::/f0 2>&1").status, 0);
  qemu_convert(changed, work + "/changed.vmdk", "-f raw -O vmdk");
  const UsedSectors changed_used = used_sectors(work + "/changed.vmdk");
  uint32_t dirtied = 0;
  for (uint32_t g = 40000 / 128; g < 98304 / 128 && dirtied < 4; ++g) {
    bool free = true;
    for (uint32_t s = g * 128; s < g * 128 + 128 && free; ++s) free = !changed_used.used(s);
    if (free) fill_pattern(changed, uint64_t{g} * 128 * 512, 128 * 512, static_cast<uint8_t>(++dirtied));
  }
  ASSERT_EQ(dirtied, 4u);
  write_differences(disk.raw, changed, child, work);
}

}  // namespace qx::test
