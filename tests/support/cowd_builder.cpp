#include "support/cowd_builder.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "support/file_patch.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

constexpr uint32_t kPart = 0x3FF800;
constexpr uint32_t kTable = 512;


}  // namespace

CowdBuilder::CowdBuilder(CowdShape shape) : shape_(std::move(shape)) {
  if (shape_.grain == 0) throw std::invalid_argument("grain");
}

uint32_t CowdBuilder::part_count() const {
  return shape_.version == 3 && shape_.total_sectors > kPart
             ? static_cast<uint32_t>((uint64_t{shape_.total_sectors} + kPart - 1) / kPart)
             : 1;
}

void CowdBuilder::write(uint64_t sector, std::span<const uint8_t> data) {
  const uint64_t grain_bytes = uint64_t{shape_.grain} * 512;
  for (uint64_t k = 0; k < data.size() / 512; ++k) {
    const uint64_t s = sector + k;
    std::vector<uint8_t>& g = grains_[s / shape_.grain];
    g.resize(grain_bytes, 0);
    std::memcpy(g.data() + (s % shape_.grain) * 512, data.data() + k * 512, 512);
  }
}

void CowdBuilder::copy_raw(const std::vector<uint8_t>& disk) {
  const uint64_t grain_bytes = uint64_t{shape_.grain} * 512;
  for (uint64_t at = 0; at < disk.size(); at += grain_bytes) {
    const uint64_t n = std::min<uint64_t>(grain_bytes, disk.size() - at);
    const auto begin = disk.begin() + static_cast<int64_t>(at);
    if (std::all_of(begin, begin + static_cast<int64_t>(n), [](uint8_t b) { return b == 0; })) continue;
    write(at / 512, std::span(disk.data() + at, n / 512 * 512));
  }
}

std::vector<uint8_t> CowdBuilder::part_bytes(uint32_t index) const {
  const CowdShape& s = shape_;
  const uint32_t count = part_count();
  const uint64_t first = uint64_t{index} * kPart;
  const uint64_t sectors = index + 1 < count ? kPart : s.total_sectors - first;
  const uint64_t span = uint64_t{kTable} * s.grain;
  const uint64_t dir_entries = (sectors + span - 1) / span;
  const uint64_t tables_at = round_up(2048 + dir_entries * 4, 512);
  // Whole groups of eight tables: qemu-img reads 4096 entries behind each directory entry.
  const uint64_t tables = round_up(dir_entries, 8);
  std::vector<uint8_t> file(tables_at + tables * 2048, 0);
  put_le(file, 0, 0x44574F43, 4);
  put_le(file, 4, s.version, 4);
  const uint32_t flags = s.version == 1 ? (s.redo ? 18 : 3)
                                        : (s.redo ? (count == 1 ? 18 : 26) : (count == 1 ? 19 : 27));
  put_le(file, 8, s.flags.value_or(flags), 4);
  put_le(file, 12, static_cast<uint32_t>(count == 1 ? s.total_sectors : sectors), 4);
  put_le(file, 16, s.grain, 4);
  put_le(file, 20, 4, 4);
  put_le(file, 24, static_cast<uint32_t>(dir_entries), 4);
  if (s.redo) {
    std::copy(s.parent_name.begin(), s.parent_name.end(), file.begin() + 32);
  } else {
    put_le(file, 32, s.cylinders, 4);
    put_le(file, 36, s.heads, 4);
    put_le(file, 40, s.sectors_per_track, 4);
  }
  if (s.version == 3) {
    if (!s.redo) std::copy_n(s.adapter.c_str(), std::min<size_t>(4, s.adapter.size() + 1), file.begin() + 1640);
    put_le(file, 1648, index, 4);
    put_le(file, 1652, count, 4);
    put_le(file, 1656, s.cylinders, 4);
    put_le(file, 1660, s.heads, 4);
    put_le(file, 1664, s.sectors_per_track, 4);
    put_le(file, 1668, s.total_sectors, 4);
  }
  put_le(file, 1676, kPart, 4);
  // qemu-img wants a descriptor's CID lines at 512; the format leaves those bytes unused.
  const std::string cid = "CID=fffffffe\nparentCID=ffffffff\n";
  std::copy(cid.begin(), cid.end(), file.begin() + 512);
  for (uint64_t t = 0; t < dir_entries; ++t) put_le(file, 2048 + t * 4, static_cast<uint32_t>((tables_at + t * 2048) / 512), 4);
  const uint64_t grain_bytes = uint64_t{s.grain} * 512;
  for (const auto& [grain, data] : grains_) {
    const uint64_t sector = grain * s.grain;
    if (sector < first || sector >= first + sectors) continue;
    const uint64_t local = (sector - first) / s.grain;
    const uint64_t at = file.size();
    file.insert(file.end(), data.begin(), data.end());
    file.resize(at + grain_bytes, 0);
    put_le(file, tables_at + local / kTable * 2048 + local % kTable * 4, static_cast<uint32_t>(at / 512), 4);
  }
  return file;
}

std::vector<std::string> CowdBuilder::write_to(const std::string& path) const {
  std::vector<std::string> paths{path};
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  for (uint32_t k = 1; k < part_count(); ++k) {
    char number[16];
    std::snprintf(number, sizeof number, "-%02u", k + 1);
    paths.push_back(has_ext ? path.substr(0, dot) + number + path.substr(dot) : path + number + ".");
  }
  for (uint32_t k = 0; k < paths.size(); ++k) write_file(paths[k], part_bytes(k));
  return paths;
}

}  // namespace qx::test
