#include "support/ntfs_builder.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "support/file_patch.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

size_t align8(size_t n) { return (n + 7) / 8 * 8; }

size_t unsigned_bytes(uint64_t v) {
  size_t n = 1;
  while (n < 8 && (v >> (8 * n)) != 0) ++n;
  return n;
}
size_t signed_bytes(int64_t v) {
  for (size_t n = 1; n < 8; ++n) {
    const int64_t lo = -(int64_t{1} << (8 * n - 1)), hi = (int64_t{1} << (8 * n - 1)) - 1;
    if (v >= lo && v <= hi) return n;
  }
  return 8;
}

std::vector<uint8_t> utf16(const std::string& s) {
  std::vector<uint8_t> out;
  for (char c : s) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

void write_at(std::fstream& f, uint64_t offset, const uint8_t* data, size_t n) {
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
  if (!f) throw std::runtime_error("write failed");
}

// Lays `data` along the runs as far as they reach.
void write_stream(std::fstream& f, const std::vector<NtfsRun>& runs, uint32_t cluster_size,
                  const std::vector<uint8_t>& data) {
  size_t done = 0;
  for (const NtfsRun& r : runs) {
    if (done >= data.size()) break;
    const size_t n = std::min<size_t>(data.size() - done, r.length * cluster_size);
    write_at(f, r.cluster * cluster_size, data.data() + done, n);
    done += n;
  }
}

uint64_t total_length(const std::vector<NtfsRun>& runs) {
  uint64_t n = 0;
  for (const NtfsRun& r : runs) n += r.length;
  return n;
}

}  // namespace

std::vector<uint8_t> encode_ntfs_runs(const std::vector<NtfsRun>& runs) {
  std::vector<uint8_t> out;
  int64_t previous = 0;
  for (const NtfsRun& r : runs) {
    const int64_t delta = static_cast<int64_t>(r.cluster) - previous;
    previous = static_cast<int64_t>(r.cluster);
    const size_t ls = unsigned_bytes(r.length), os = signed_bytes(delta);
    out.push_back(static_cast<uint8_t>(os << 4 | ls));
    for (size_t i = 0; i < ls; ++i) out.push_back(static_cast<uint8_t>(r.length >> (8 * i)));
    for (size_t i = 0; i < os; ++i)
      out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(delta) >> (8 * i)));
  }
  out.push_back(0);
  return out;
}

std::vector<uint8_t> ntfs_resident_attribute(uint32_t type, const std::vector<uint8_t>& value,
                                             const std::string& name) {
  const std::vector<uint8_t> n = utf16(name);
  const size_t value_at = align8(24 + n.size());
  std::vector<uint8_t> a(align8(value_at + value.size()), 0);
  put32(a, 0, type);
  put32(a, 4, static_cast<uint32_t>(a.size()));
  a[9] = static_cast<uint8_t>(name.size());
  put16(a, 10, 24);
  put32(a, 16, static_cast<uint32_t>(value.size()));
  put16(a, 20, static_cast<uint16_t>(value_at));
  std::copy(n.begin(), n.end(), a.begin() + 24);
  std::copy(value.begin(), value.end(), a.begin() + static_cast<long>(value_at));
  return a;
}

std::vector<uint8_t> ntfs_file_name_value(const std::string& name) {
  std::vector<uint8_t> v(66, 0);
  put64(v, 0, 0x0005000000000005ULL);  // parent: the root folder
  v[64] = static_cast<uint8_t>(name.size());
  v[65] = 3;  // Win32 and DOS
  const std::vector<uint8_t> n = utf16(name);
  v.insert(v.end(), n.begin(), n.end());
  return v;
}

std::vector<uint8_t> ntfs_nonresident_attribute(const NtfsNonResident& d) {
  const std::vector<uint8_t> name = utf16(d.name);
  const size_t runs_at = align8(64 + name.size());
  std::vector<uint8_t> a(align8(runs_at + d.runs.size()), 0);
  put32(a, 0, d.type);
  put32(a, 4, static_cast<uint32_t>(a.size()));
  a[8] = 1;
  a[9] = static_cast<uint8_t>(d.name.size());
  put16(a, 10, 64);
  put16(a, 12, d.flags);
  put64(a, 16, 0);
  put64(a, 24, d.clusters - 1);
  put16(a, 32, static_cast<uint16_t>(runs_at));
  put64(a, 40, d.clusters * d.cluster_size);
  put64(a, 48, d.data_size);
  put64(a, 56, d.initialized_size == UINT64_MAX ? d.data_size : d.initialized_size);
  std::copy(name.begin(), name.end(), a.begin() + 64);
  std::copy(d.runs.begin(), d.runs.end(), a.begin() + static_cast<long>(runs_at));
  return a;
}

std::vector<uint8_t> ntfs_file_record(uint32_t record_size, uint32_t number,
                                      const std::vector<std::vector<uint8_t>>& attributes) {
  std::vector<uint8_t> r(record_size, 0);
  const uint16_t usa_count = static_cast<uint16_t>(record_size / 512 + 1);
  std::memcpy(r.data(), "FILE", 4);
  put16(r, 4, 0x30);
  put16(r, 6, usa_count);
  put16(r, 16, 1);  // sequence number
  put16(r, 18, 1);  // links
  size_t pos = align8(0x30 + 2 * usa_count);
  put16(r, 20, static_cast<uint16_t>(pos));
  put16(r, 22, 1);  // in use
  for (const auto& a : attributes) {
    if (pos + a.size() + 8 > record_size) throw std::runtime_error("record overflow");
    std::copy(a.begin(), a.end(), r.begin() + static_cast<long>(pos));
    pos += a.size();
  }
  put32(r, pos, 0xFFFFFFFF);
  pos += 8;
  put32(r, 24, static_cast<uint32_t>(pos));
  put32(r, 28, record_size);
  put16(r, 40, static_cast<uint16_t>(attributes.size()));
  put32(r, 44, number);
  return r;
}

std::vector<uint8_t> ntfs_system_record(uint32_t record_size, uint32_t number, const std::string& name,
                                        const NtfsNonResident& data) {
  return ntfs_file_record(record_size, number,
                          {ntfs_resident_attribute(0x10, std::vector<uint8_t>(72, 0)),
                           ntfs_resident_attribute(0x30, ntfs_file_name_value(name)),
                           ntfs_nonresident_attribute(data)});
}

std::vector<uint8_t> ntfs_volume_record(uint32_t record_size, uint16_t flags) {
  std::vector<uint8_t> info(12, 0);
  info[8] = 3;
  info[9] = 1;
  put16(info, 10, flags);
  return ntfs_file_record(record_size, 3,
                          {ntfs_resident_attribute(0x10, std::vector<uint8_t>(72, 0)),
                           ntfs_resident_attribute(0x30, ntfs_file_name_value("$Volume")),
                           ntfs_resident_attribute(0x60, {}), ntfs_resident_attribute(0x70, info),
                           ntfs_resident_attribute(0x80, {})});
}

std::vector<uint8_t> ntfs_index_entries(const std::vector<NtfsIndexEntry>& entries, uint64_t last_child) {
  std::vector<uint8_t> out;
  auto add = [&](uint64_t reference, const std::vector<uint8_t>& key, uint64_t child, uint16_t flags) {
    const size_t at = out.size(), key_end = align8(16 + key.size());
    const size_t length = key_end + (child != UINT64_MAX ? 8 : 0);
    out.resize(at + length, 0);
    put64(out, at, reference);
    put16(out, at + 8, static_cast<uint16_t>(length));
    put16(out, at + 10, static_cast<uint16_t>(key.size()));
    put16(out, at + 12, static_cast<uint16_t>(flags | (child != UINT64_MAX ? 1 : 0)));
    std::copy(key.begin(), key.end(), out.begin() + static_cast<long>(at + 16));
    if (child != UINT64_MAX) put64(out, at + length - 8, child);
  };
  for (const NtfsIndexEntry& e : entries) add(e.reference, ntfs_file_name_value(e.name), e.child, 0);
  add(0, {}, last_child, 2);
  return out;
}

std::vector<uint8_t> ntfs_index_root_value(uint32_t block_size, const std::vector<uint8_t>& entries) {
  std::vector<uint8_t> v(32, 0);
  put32(v, 0, 0x30);
  put32(v, 4, 1);  // collated as file names
  put32(v, 8, block_size);
  v[12] = static_cast<uint8_t>(block_size >= 4096 ? block_size / 4096 : 0);
  put32(v, 16, 16);
  put32(v, 20, static_cast<uint32_t>(16 + entries.size()));
  put32(v, 24, static_cast<uint32_t>(16 + entries.size()));
  bool children = false;
  for (size_t pos = 0; pos + 16 <= entries.size() && (entries[pos + 8] | entries[pos + 9]);) {
    children |= entries[pos + 12] & 1;
    pos += entries[pos + 8] | entries[pos + 9] << 8;
  }
  v[28] = children ? 1 : 0;
  v.insert(v.end(), entries.begin(), entries.end());
  return v;
}

std::vector<uint8_t> ntfs_index_block(uint32_t block_size, uint64_t vcn,
                                      const std::vector<uint8_t>& entries) {
  std::vector<uint8_t> b(block_size, 0);
  const uint16_t usa_count = static_cast<uint16_t>(block_size / 512 + 1);
  std::memcpy(b.data(), "INDX", 4);
  put16(b, 4, 0x28);
  put16(b, 6, usa_count);
  put64(b, 16, vcn);
  const size_t entries_at = align8(0x28 + 2 * usa_count);
  if (entries_at + entries.size() > block_size) throw std::runtime_error("index block overflow");
  put32(b, 24, static_cast<uint32_t>(entries_at - 24));
  put32(b, 28, static_cast<uint32_t>(entries_at - 24 + entries.size()));
  put32(b, 32, block_size - 24);
  std::copy(entries.begin(), entries.end(), b.begin() + static_cast<long>(entries_at));
  return b;
}

std::vector<uint8_t> ntfs_root_record(uint32_t record_size, const std::vector<uint8_t>& entries,
                                      const NtfsNonResident& blocks) {
  std::vector<std::vector<uint8_t>> attributes = {
      ntfs_resident_attribute(0x10, std::vector<uint8_t>(72, 0)),
      ntfs_resident_attribute(0x30, ntfs_file_name_value(".")),
      ntfs_resident_attribute(0x90, ntfs_index_root_value(4096, entries), "$I30")};
  if (!blocks.runs.empty()) {
    NtfsNonResident a = blocks;
    a.type = 0xA0;
    a.name = "$I30";
    attributes.push_back(ntfs_nonresident_attribute(a));
  }
  return ntfs_file_record(record_size, 5, attributes);
}

void protect_ntfs_record(std::span<uint8_t> record, uint16_t sequence) {
  const size_t usa = record[4] | record[5] << 8;
  const size_t blocks = record.size() / 512;
  record[usa] = static_cast<uint8_t>(sequence);
  record[usa + 1] = static_cast<uint8_t>(sequence >> 8);
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t* tail = &record[i * 512 + 510];
    std::memcpy(&record[usa + 2 * (i + 1)], tail, 2);
    tail[0] = static_cast<uint8_t>(sequence);
    tail[1] = static_cast<uint8_t>(sequence >> 8);
  }
}

void unprotect_ntfs_record(std::span<uint8_t> record) {
  const size_t usa = record[4] | record[5] << 8;
  for (size_t i = 0; i < record.size() / 512; ++i)
    std::memcpy(&record[i * 512 + 510], &record[usa + 2 * (i + 1)], 2);
}

void write_ntfs_volume(const std::string& path, const NtfsVolumeSpec& s) {
  const uint32_t cluster_size = s.sectors_per_cluster * 512u;
  const uint64_t size = uint64_t{s.volume_sectors} * 512;
  write_file(path, {});
  make_sparse_file(path, size);
  fill_pattern(path, 0, size, 0x6B);

  std::vector<uint8_t> boot(512, 0);
  boot[0] = 0xEB;
  boot[1] = 0x52;
  boot[2] = 0x90;
  std::memcpy(boot.data() + 3, "NTFS    ", 8);
  put16(boot, 11, s.bytes_per_sector);
  boot[13] = s.sectors_per_cluster;
  boot[21] = 0xF8;
  put64(boot, 40, s.total_sectors ? s.total_sectors : s.volume_sectors - 1);
  const uint64_t mft_cluster =
      s.mft_cluster != UINT64_MAX ? s.mft_cluster : (s.mft_runs.empty() ? 0 : s.mft_runs[0].cluster);
  put64(boot, 48, mft_cluster);
  put64(boot, 56, 2);
  boot[64] = s.clusters_per_record;
  boot[68] = 1;
  put16(boot, 510, 0xAA55);

  std::vector<uint8_t> r0 = s.record0, r3 = s.record3, r5 = s.record5, r6 = s.record6;
  if (r0.empty()) {
    NtfsNonResident d;
    d.runs = encode_ntfs_runs(s.mft_runs);
    d.clusters = total_length(s.mft_runs);
    d.cluster_size = cluster_size;
    d.data_size = uint64_t{s.mft_records} * s.record_size;
    r0 = ntfs_system_record(s.record_size, 0, "$MFT", d);
  }
  if (r6.empty()) {
    NtfsNonResident d;
    d.runs = encode_ntfs_runs(s.bitmap_runs);
    d.clusters = total_length(s.bitmap_runs);
    d.cluster_size = cluster_size;
    d.data_size = s.bitmap.size();
    r6 = ntfs_system_record(s.record_size, 6, "$Bitmap", d);
  }
  if (r3.empty()) r3 = ntfs_volume_record(s.record_size, s.volume_flags);
  if (r5.empty()) r5 = ntfs_root_record(s.record_size, ntfs_index_entries({}));
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records = {{0, r0}, {3, r3}, {5, r5}, {6, r6}};
  records.insert(records.end(), s.records.begin(), s.records.end());
  std::vector<uint8_t> mft(uint64_t{s.mft_records} * s.record_size, 0);
  for (auto& [number, r] : records) {
    protect_ntfs_record(r);
    if (mft.size() >= uint64_t{number} * s.record_size + r.size())
      std::copy(r.begin(), r.end(), mft.begin() + static_cast<long>(uint64_t{number} * s.record_size));
  }

  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  write_at(f, 0, boot.data(), boot.size());
  write_at(f, size - 512, boot.data(), boot.size());
  write_stream(f, s.mft_runs, cluster_size, mft);
  write_stream(f, s.bitmap_runs, cluster_size, s.bitmap);
  for (const auto& [offset, bytes] : s.writes) write_at(f, offset, bytes.data(), bytes.size());
}

void set_ntfs_clusters(std::vector<uint8_t>& bitmap, uint64_t first, uint64_t count) {
  for (uint64_t c = first; c < first + count && c / 8 < bitmap.size(); ++c)
    bitmap[c / 8] |= static_cast<uint8_t>(1u << (c % 8));
}

NtfsVolumeSpec basic_ntfs_spec() {
  NtfsVolumeSpec s;
  s.volume_sectors = 32768;  // 16 MiB; the last sector holds the backup boot sector
  s.sectors_per_cluster = 8;
  s.mft_runs = {{4, 4}};     // 16 records of 1 KiB
  s.bitmap_runs = {{100, 1}};
  const uint64_t clusters = (s.volume_sectors - 1) / 8;
  s.bitmap.assign((clusters + 63) / 64 * 8, 0);
  set_ntfs_clusters(s.bitmap, 0, 1);      // boot
  set_ntfs_clusters(s.bitmap, 4, 4);      // table
  set_ntfs_clusters(s.bitmap, 100, 1);    // bitmap
  set_ntfs_clusters(s.bitmap, 200, 37);   // a file
  set_ntfs_clusters(s.bitmap, 1000, 3);   // another
  set_ntfs_clusters(s.bitmap, clusters - 8, 8);
  return s;
}

}  // namespace qx::test
