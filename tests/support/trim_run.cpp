#include "support/trim_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "formats/trim_walk.hpp"
#include "image/replacement.hpp"
#include "image/disk_image.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {

CommandResult quorvex(const std::string& args, bool errors) {
  return run_command(shell_quote(quorvex_binary()) + " " + args + (errors ? " 2>&1" : " 2>/dev/null"));
}

void qemu_convert(const std::string& from, const std::string& to, const std::string& options) {
  const auto r = run_command("qemu-img convert " + options + " " + shell_quote(from) + " " +
                             shell_quote(to) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.output;
}

void write_qemu_parents(const std::string& raw, const std::string& folder) {
  const auto at = [&](const char* name) { return folder + "/" + name; };
  qemu_convert(raw, at("parent.qcow"), "-f raw -O qcow");
  // The compressing convert reports failure although the file it writes is right.
  (void)run_command("qemu-img convert -c -f raw -O qcow " + shell_quote(raw) + " " +
                    shell_quote(at("compressed.qcow")) + " 2>&1");
  const auto r = run_command("qemu-img compare -f raw -F qcow " + shell_quote(raw) + " " +
                             shell_quote(at("compressed.qcow")) + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.output;
  qemu_convert(raw, at("fixed.vhd"), "-f raw -O vpc -o subformat=fixed,force_size=on");
  qemu_convert(raw, at("parent.qcow2"), "-f raw -O qcow2");
  qemu_convert(raw, at("zstd.qcow2"), "-c -f raw -O qcow2 -o compression_type=zstd");
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

size_t count_of(const std::string& s, const std::string& needle) {
  size_t n = 0;
  for (size_t at = s.find(needle); at != std::string::npos; at = s.find(needle, at + 1)) ++n;
  return n;
}

UsedSectors used_sectors(const std::string& path, const VolumeKeys* keys) {
  UsedSectors u;
  DiskImage image;
  EXPECT_EQ(open_image(image, path, true), OK);
  ErrorCode error = OK;
  auto map = build_usage_map(image, error, u.recognised, MapContext{keys});
  EXPECT_TRUE(map) << error;
  if (!map) return u;
  u.total = get_geometry(image).total_sectors;
  for (const VolumeEntry& v : map->volumes) u.volumes += v.kind != KIND_GAP;
  u.bits.assign(bitmap_bytes(u.total), 0);
  constexpr uint32_t kStep = 1u << 16;
  std::vector<uint8_t> piece(bitmap_bytes(kStep));
  for (uint32_t first = 0; first < u.total; first += kStep) {
    const uint32_t n = std::min(kStep, u.total - first);
    EXPECT_EQ(query_used(*map, first, n, piece), OK);
    for (uint32_t i = 0; i < n; ++i)
      if (test_bit(piece, i)) put_bit(u.bits, uint64_t{first} + i, true);
  }
  return u;
}

int64_t first_used_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                              const UsedSectors& used) {
  for (uint64_t s = 0; s < used.total; ++s) {
    if (!used.used(s)) continue;
    const uint64_t at = s * 512;
    const bool in_a = at + 512 <= a.size(), in_b = at + 512 <= b.size();
    if (in_a != in_b) return static_cast<int64_t>(s);
    if (in_a && std::memcmp(a.data() + at, b.data() + at, 512) != 0)
      return static_cast<int64_t>(s);
  }
  return -1;
}

UsageMap whole_disk_map(uint32_t total) {
  UsageMap map;
  if (total) map.volumes.push_back(VolumeEntry{0, total, KIND_UNRECOGNISED, nullptr});
  return map;
}

bool log_progress(uint32_t done, uint32_t total, void* user) {
  auto& log = *static_cast<ProgressLog*>(user);
  log.calls.emplace_back(done, total);
  return log.calls.size() - 1 != log.cancel_at;
}

Trimmed trim(const std::string& path, ProgressLog* log, const UsageMap* custom) {
  Trimmed t;
  DiskImage image;
  if ((t.rc = open_image(image, path, true)) != OK) return t;
  const UsageMap whole = whole_disk_map(get_geometry(image).total_sectors);
  // Every trim is forecast first: the forecast must name exactly the files it writes, to the byte.
  TrimForecast forecast;
  CountingSink counting(forecast);
  const ErrorCode forecast_rc = trim_image(image, path, custom ? *custom : whole, counting, nullptr, nullptr);
  WriterRecord record;
  FileSink files(record);
  t.rc = trim_image(image, path, custom ? *custom : whole, files, log ? log_progress : nullptr, log);
  close_image(image);
  if (t.rc == OK && (!log || log->cancel_at == SIZE_MAX)) {
    EXPECT_EQ(forecast_rc, OK);
    std::vector<std::pair<std::string, uint64_t>> written, forecast_files;
    auto add = [&](const ReplacementEntry& e) {
      if (!e.temporary.empty())
        written.emplace_back(std::string(e.target.view()), std::filesystem::file_size(std::string(e.temporary.view())));
    };
    if (record.single.active) add(record.single.entry);
    for (uint32_t i = 0; i < record.list.count; ++i) add(record.list.entries[i]);
    for (const ForecastFile& f : forecast.files) forecast_files.emplace_back(f.path, f.bytes);
    std::sort(written.begin(), written.end());
    std::sort(forecast_files.begin(), forecast_files.end());
    EXPECT_EQ(forecast_files, written) << path;
  }
  t.temp_created = record.single.active;
  if (std::filesystem::exists(path + "_TEMP")) t.temp_size = std::filesystem::file_size(path + "_TEMP");
  if (t.rc == OK) {
    const ErrorCode commit = commit_writer_record(record, kBackupSuffix, false);
    if (commit != OK) t.rc = commit;
  } else {
    EXPECT_EQ(discard_writer_record(record), OK);
  }
  return t;
}

uint64_t host_bytes(const std::string& path) {
  FileInfo info;
  EXPECT_TRUE(file_info(path, info)) << path;
  return info.allocated;
}

ErrorCode trim_in_place_with_hook(const std::string& path, FileCallHook hook) {
  DiskImage image;
  if (ErrorCode rc = open_image(image, path, true); rc != OK) return rc;
  ErrorCode error = OK;
  uint32_t recognised = 0;
  auto map = build_usage_map(image, error, recognised);
  if (!map) return error;
  set_file_call_hook(hook);
  const ErrorCode rc = trim_image_in_place(image, path, *map, nullptr, nullptr);
  set_file_call_hook(nullptr);
  return rc;
}

}  // namespace qx::test
