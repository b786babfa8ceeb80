#include "support/exfat_builder.hpp"

#include <algorithm>
#include <stdexcept>

#include "support/file_patch.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

constexpr uint32_t kEndOfChain = 0xFFFFFFFF;
constexpr uint8_t kTypeFile = 0x85, kTypeStream = 0xC0, kTypeName = 0xC1, kTypeBitmap = 0x81,
                  kTypeUpcase = 0x82, kTypeLabel = 0x83, kInUse = 0x80;
constexpr uint32_t kNameUnitsPerEntry = 15;
constexpr uint32_t kTimestamp = 0x58210000;  // 2024-01-01 00:00:00

uint32_t rotate_add32(uint32_t sum, uint8_t byte) { return ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + byte; }

std::vector<uint8_t> upcase_table() {
  std::vector<uint8_t> t(256);
  for (uint32_t c = 0; c < 128; ++c) put_le(t, c * 2, c >= 'a' && c <= 'z' ? c - 32 : c, 2);
  return t;
}

}  // namespace

uint16_t exfat_entry_set_checksum(const std::vector<uint8_t>& entries) {
  uint16_t sum = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == 2 || i == 3) continue;
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + entries[i]);
  }
  return sum;
}

uint16_t exfat_name_hash(const std::u16string& name) {
  uint16_t hash = 0;
  for (char16_t c : name) {
    for (uint8_t byte : {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)})
      hash = static_cast<uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + byte);
  }
  return hash;
}

void build_exfat_volume(const std::string& path, const ExfatSpec& spec) {
  const uint64_t bps = uint64_t{1} << spec.sector_shift;
  const uint64_t spc = uint64_t{1} << spec.cluster_shift;
  const uint64_t cluster_bytes = bps * spc;
  const uint64_t fat_length = ((uint64_t{spec.cluster_count} + 2) * 4 + bps - 1) / bps;
  uint64_t heap = spec.heap_offset;
  if (!heap) heap = (spec.fat_offset + fat_length + spc - 1) / spc * spc;
  const uint64_t volume_sectors = heap + spec.cluster_count * spc + spec.trailing_sectors;

  const uint64_t bitmap_bytes = (spec.cluster_count + 7) / 8;
  const uint32_t bitmap_clusters = static_cast<uint32_t>((bitmap_bytes + cluster_bytes - 1) / cluster_bytes);
  const uint32_t upcase_cluster = 2 + bitmap_clusters;
  const uint32_t root_cluster = upcase_cluster + 1;
  if (root_cluster - 2 >= spec.cluster_count) throw std::runtime_error("too few clusters");

  write_file(path, {});
  make_sparse_file(path, volume_sectors * bps);

  // Boot region: main boot sector, eight extended boot sectors, two blank, checksum sector.
  std::vector<uint8_t> region(12 * bps, 0);
  region[0] = 0xEB;
  region[1] = 0x76;
  region[2] = 0x90;
  for (int i = 0; i < 8; ++i) region[3 + i] = static_cast<uint8_t>("EXFAT   "[i]);
  put_le(region, 72, volume_sectors, 8);
  put_le(region, 80, spec.fat_offset, 4);
  put_le(region, 84, fat_length, 4);
  put_le(region, 88, heap, 4);
  put_le(region, 92, spec.cluster_count, 4);
  put_le(region, 96, root_cluster, 4);
  put_le(region, 100, 0x12345678, 4);
  put_le(region, 104, 0x0100, 2);
  region[108] = static_cast<uint8_t>(spec.sector_shift);
  region[109] = static_cast<uint8_t>(spec.cluster_shift);
  region[110] = 1;
  region[111] = 0x80;
  put_le(region, 510, 0xAA55, 2);
  for (uint64_t s = 1; s <= 8; ++s) put_le(region, s * bps + bps - 4, 0xAA550000, 4);
  uint32_t sum = 0;
  for (size_t i = 0; i < 11 * bps; ++i)
    if (i != 106 && i != 107 && i != 112) sum = rotate_add32(sum, region[i]);
  for (uint64_t i = 0; i < bps / 4; ++i) put_le(region, 11 * bps + i * 4, sum, 4);
  patch_file(path, 0, region);
  patch_file(path, 12 * bps, region);

  // FAT: the two reserved entries and the chains of bitmap, up-case table and root directory.
  std::vector<uint8_t> fat((root_cluster + 1) * 4, 0);
  put_le(fat, 0, 0xFFFFFFF8, 4);
  put_le(fat, 4, kEndOfChain, 4);
  for (uint32_t c = 2; c < upcase_cluster; ++c) put_le(fat, c * 4, c + 1 < upcase_cluster ? c + 1 : kEndOfChain, 4);
  put_le(fat, upcase_cluster * 4, kEndOfChain, 4);
  put_le(fat, root_cluster * 4, kEndOfChain, 4);
  patch_file(path, spec.fat_offset * bps, fat);

  auto cluster_byte = [&](uint32_t c) { return heap * bps + (c - 2) * cluster_bytes; };
  std::vector<uint8_t> bitmap(bitmap_bytes, 0);
  for (uint32_t c = 2; c <= root_cluster; ++c) bitmap[(c - 2) / 8] |= static_cast<uint8_t>(1u << ((c - 2) % 8));
  patch_file(path, cluster_byte(2), bitmap);
  const std::vector<uint8_t> upcase = upcase_table();
  patch_file(path, cluster_byte(upcase_cluster), upcase);

  // The rest of the cluster stays a sparse hole of zeros.
  std::vector<uint8_t> root(std::min<uint64_t>(cluster_bytes, 4096), 0);
  root[0] = kTypeLabel;
  root[32] = kTypeBitmap;
  put_le(root, 32 + 20, 2, 4);
  put_le(root, 32 + 24, bitmap_bytes, 8);
  root[64] = kTypeUpcase;
  uint32_t table_sum = 0;
  for (uint8_t b : upcase) table_sum = rotate_add32(table_sum, b);
  put_le(root, 64 + 4, table_sum, 4);
  put_le(root, 64 + 20, upcase_cluster, 4);
  put_le(root, 64 + 24, upcase.size(), 8);
  patch_file(path, cluster_byte(root_cluster), root);
}

ExfatEditor::ExfatEditor(std::string image) : image_(std::move(image)) {
  const std::vector<uint8_t> b = read_range(image_, 0, 512);
  bytes_per_sector_ = 1u << b[108];
  bytes_per_cluster_ = uint64_t{bytes_per_sector_} << b[109];
  fat_offset_ = get_le(b, 80, 4) * bytes_per_sector_;
  heap_offset_ = get_le(b, 88, 4) * bytes_per_sector_;
  cluster_count_ = static_cast<uint32_t>(get_le(b, 92, 4));
  root_cluster_ = static_cast<uint32_t>(get_le(b, 96, 4));
  for (uint64_t at : root_entry_bytes()) {
    const std::vector<uint8_t> e = read_range(image_, at, 32);
    if (e[0] == 0) break;
    if (e[0] == kTypeBitmap) {
      bitmap_entry_byte_ = at;
      bitmap_cluster_ = static_cast<uint32_t>(get_le(e, 20, 4));
      bitmap_length_ = get_le(e, 24, 8);
      break;
    }
  }
  if (!bitmap_cluster_) throw std::runtime_error("no allocation bitmap in " + image_);
  for (uint32_t c : chain(bitmap_cluster_)) {
    const uint64_t n = std::min<uint64_t>(bytes_per_cluster_, bitmap_length_ - bitmap_.size());
    const std::vector<uint8_t> part = read_range(image_, cluster_byte(c), n);
    bitmap_.insert(bitmap_.end(), part.begin(), part.end());
    if (bitmap_.size() == bitmap_length_) break;
  }
}

uint64_t ExfatEditor::cluster_byte(uint32_t cluster) const {
  return heap_offset_ + uint64_t{cluster - 2} * bytes_per_cluster_;
}

bool ExfatEditor::allocated(uint32_t cluster) const {
  const uint32_t k = cluster - 2;
  return (bitmap_[k / 8] >> (k % 8)) & 1;
}

void ExfatEditor::set_allocated(uint32_t cluster, bool value) {
  const uint32_t k = cluster - 2;
  if (value) bitmap_[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
  else bitmap_[k / 8] &= static_cast<uint8_t>(~(1u << (k % 8)));
}

void ExfatEditor::write_bitmap() const {
  uint64_t done = 0;
  for (uint32_t c : chain(bitmap_cluster_)) {
    const uint64_t n = std::min<uint64_t>(bytes_per_cluster_, bitmap_.size() - done);
    patch_file(image_, cluster_byte(c),
               std::vector<uint8_t>(bitmap_.begin() + static_cast<std::ptrdiff_t>(done),
                                    bitmap_.begin() + static_cast<std::ptrdiff_t>(done + n)));
    done += n;
    if (done == bitmap_.size()) break;
  }
}

uint32_t ExfatEditor::fat_entry(uint32_t cluster) const {
  return static_cast<uint32_t>(get_le(read_range(image_, fat_offset_ + uint64_t{cluster} * 4, 4), 0, 4));
}

void ExfatEditor::set_fat_entry(uint32_t cluster, uint32_t value) const {
  patch_file_le32(image_, fat_offset_ + uint64_t{cluster} * 4, value);
}

std::vector<uint32_t> ExfatEditor::chain(uint32_t first) const {
  std::vector<uint32_t> out;
  for (uint32_t c = first; c >= 2 && c - 2 < cluster_count_ && out.size() <= cluster_count_;
       c = fat_entry(c))
    out.push_back(c);
  return out;
}

std::vector<uint64_t> ExfatEditor::root_entry_bytes() const {
  std::vector<uint64_t> out;
  for (uint32_t c : chain(root_cluster_))
    for (uint64_t at = 0; at < bytes_per_cluster_; at += 32) out.push_back(cluster_byte(c) + at);
  return out;
}

std::vector<uint32_t> ExfatEditor::take_clusters(uint32_t n, bool fragmented) const {
  std::vector<uint32_t> out;
  if (!n) return out;
  if (fragmented) {
    bool skip = false;
    for (uint32_t c = 2; c - 2 < cluster_count_ && out.size() < n; ++c) {
      if (allocated(c)) continue;
      if (!skip) out.push_back(c);
      skip = !skip;
    }
  } else {
    for (uint32_t c = 2; c - 2 < cluster_count_ && out.size() < n; ++c) {
      if (allocated(c)) out.clear();
      else out.push_back(c);
    }
  }
  if (out.size() < n) out.clear();
  return out;
}

bool ExfatEditor::grow_root() {
  const std::vector<uint32_t> c = take_clusters(1, false);
  if (c.empty()) return false;
  patch_file(image_, cluster_byte(c[0]), std::vector<uint8_t>(bytes_per_cluster_, 0));
  const std::vector<uint32_t> root = chain(root_cluster_);
  set_fat_entry(root.back(), c[0]);
  set_fat_entry(c[0], kEndOfChain);
  set_allocated(c[0], true);
  write_bitmap();
  return true;
}

bool ExfatEditor::add_file(const std::string& name, uint64_t size, bool fragmented, uint8_t seed) {
  const std::u16string uname(name.begin(), name.end());
  const uint32_t name_entries = static_cast<uint32_t>((uname.size() + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry);
  const uint32_t set_size = 2 + name_entries;

  std::vector<uint64_t> slots;
  for (int attempt = 0; attempt < 2 && slots.empty(); ++attempt) {
    std::vector<uint64_t> run;
    for (uint32_t c : chain(root_cluster_)) {
      const std::vector<uint8_t> dir = read_range(image_, cluster_byte(c), bytes_per_cluster_);
      for (uint64_t at = 0; at < bytes_per_cluster_ && slots.empty(); at += 32) {
        if (dir[at] & kInUse) run.clear();
        else run.push_back(cluster_byte(c) + at);
        if (run.size() == set_size) slots = run;
      }
    }
    if (slots.empty() && !grow_root()) return false;
  }
  if (slots.empty()) return false;

  const uint32_t n = static_cast<uint32_t>((size + bytes_per_cluster_ - 1) / bytes_per_cluster_);
  const std::vector<uint32_t> clusters = take_clusters(n, fragmented);
  if (clusters.size() != n) return false;
  std::vector<uint8_t> data(bytes_per_cluster_);
  for (uint32_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < data.size(); ++j) data[j] = static_cast<uint8_t>((seed + i * 13 + j * 7) | 1);
    patch_file(image_, cluster_byte(clusters[i]), data);
    set_allocated(clusters[i], true);
    if (fragmented) set_fat_entry(clusters[i], i + 1 < n ? clusters[i + 1] : kEndOfChain);
  }
  write_bitmap();

  std::vector<uint8_t> set(size_t{set_size} * 32, 0);
  set[0] = kTypeFile;
  set[1] = static_cast<uint8_t>(set_size - 1);
  put_le(set, 4, 0x20, 2);
  put_le(set, 8, kTimestamp, 4);
  put_le(set, 12, kTimestamp, 4);
  put_le(set, 16, kTimestamp, 4);
  set[32] = kTypeStream;
  set[33] = static_cast<uint8_t>(n && !fragmented ? 0x03 : 0x01);
  set[35] = static_cast<uint8_t>(uname.size());
  put_le(set, 36, exfat_name_hash(uname), 2);
  put_le(set, 40, size, 8);
  put_le(set, 52, n ? clusters[0] : 0, 4);
  put_le(set, 56, size, 8);
  for (uint32_t e = 0; e < name_entries; ++e) {
    const size_t at = size_t{2 + e} * 32;
    set[at] = kTypeName;
    for (uint32_t k = 0; k < kNameUnitsPerEntry && e * kNameUnitsPerEntry + k < uname.size(); ++k)
      put_le(set, at + 2 + k * 2, uname[e * kNameUnitsPerEntry + k], 2);
  }
  put_le(set, 2, exfat_entry_set_checksum(set), 2);
  for (uint32_t e = 0; e < set_size; ++e)
    patch_file(image_, slots[e], std::vector<uint8_t>(set.begin() + e * 32, set.begin() + (e + 1) * 32));
  return true;
}

bool ExfatEditor::find_set(const std::string& name, EntrySet& out) const {
  std::vector<uint64_t> all;
  std::vector<uint8_t> dir;
  for (uint32_t c : chain(root_cluster_)) {
    const std::vector<uint8_t> part = read_range(image_, cluster_byte(c), bytes_per_cluster_);
    dir.insert(dir.end(), part.begin(), part.end());
    for (uint64_t at = 0; at < bytes_per_cluster_; at += 32) all.push_back(cluster_byte(c) + at);
  }
  auto entry = [&](size_t i) { return dir.data() + i * 32; };
  for (size_t i = 0; i < all.size(); ++i) {
    const uint8_t* e = entry(i);
    if (e[0] == 0) return false;
    if (e[0] != kTypeFile) continue;
    const size_t count = e[1] + size_t{1};
    if (i + count > all.size()) return false;
    const uint8_t* stream = entry(i + 1);
    std::string found;
    for (size_t k = 2; k < count; ++k)
      for (size_t u = 0; u < kNameUnitsPerEntry; ++u) found += static_cast<char>(entry(i + k)[2 + u * 2]);
    found.resize(std::min<size_t>(found.size(), stream[3]));
    if (found != name) continue;
    out.first_entry_byte = all[i];
    out.entry_bytes.assign(all.begin() + static_cast<std::ptrdiff_t>(i),
                           all.begin() + static_cast<std::ptrdiff_t>(i + count));
    const std::vector<uint8_t> s(stream, stream + 32);
    out.first_cluster = static_cast<uint32_t>(get_le(s, 20, 4));
    out.length = get_le(s, 24, 8);
    out.no_fat_chain = s[1] & 0x02;
    return true;
  }
  return false;
}

std::vector<uint32_t> ExfatEditor::file_clusters(const std::string& name) const {
  EntrySet set;
  if (!find_set(name, set) || !set.first_cluster) return {};
  if (!set.no_fat_chain) return chain(set.first_cluster);
  std::vector<uint32_t> out;
  const uint64_t n = (set.length + bytes_per_cluster_ - 1) / bytes_per_cluster_;
  for (uint64_t i = 0; i < n; ++i) out.push_back(static_cast<uint32_t>(set.first_cluster + i));
  return out;
}

bool ExfatEditor::delete_file(const std::string& name) {
  EntrySet set;
  if (!find_set(name, set)) return false;
  const std::vector<uint32_t> clusters = file_clusters(name);
  for (uint64_t at : set.entry_bytes) {
    const uint8_t type = read_range(image_, at, 1)[0];
    patch_byte(image_, at, static_cast<uint8_t>(type & ~kInUse));
  }
  for (uint32_t c : clusters) {
    set_allocated(c, false);
    if (!set.no_fat_chain) set_fat_entry(c, 0);
  }
  write_bitmap();
  return true;
}

}  // namespace qx::test
