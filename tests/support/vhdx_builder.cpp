#include "support/vhdx_builder.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "image/crc32c.hpp"
#include "support/file_patch.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kMiB = 1u << 20;
constexpr uint64_t kHeaderAt[2] = {64u << 10, 128u << 10};
constexpr uint64_t kRegionAt[2] = {192u << 10, 256u << 10};
constexpr size_t kRegionBytes = 64u << 10;

// "2DC27766-F623-4200-9D64-115E9BFD4A08" in the stored (mixed-endian) form.
VhdxGuid guid_from(const char* text) {
  VhdxGuid raw{};
  int n = 0;
  for (const char* p = text; *p && n < 32; ++p) {
    if (*p == '-') continue;
    const int v = *p <= '9' ? *p - '0' : (*p | 0x20) - 'a' + 10;
    raw[static_cast<size_t>(n / 2)] = static_cast<uint8_t>(raw[static_cast<size_t>(n / 2)] * 16 + v);
    ++n;
  }
  VhdxGuid g = raw;
  std::reverse(g.begin(), g.begin() + 4);
  std::reverse(g.begin() + 4, g.begin() + 6);
  std::reverse(g.begin() + 6, g.begin() + 8);
  return g;
}

std::string guid_text(const VhdxGuid& g) {
  VhdxGuid raw = g;
  std::reverse(raw.begin(), raw.begin() + 4);
  std::reverse(raw.begin() + 4, raw.begin() + 6);
  std::reverse(raw.begin() + 6, raw.begin() + 8);
  static const char* kHex = "0123456789abcdef";
  std::string s = "{";
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += kHex[raw[i] >> 4];
    s += kHex[raw[i] & 15];
  }
  return s + "}";
}

const VhdxGuid kBat = guid_from("2DC27766-F623-4200-9D64-115E9BFD4A08");
const VhdxGuid kMetadata = guid_from("8B7CA206-4790-4B9A-B8FE-575F050F886E");
const VhdxGuid kFileParameters = guid_from("CAA16737-FA36-4D43-B3B6-33F0AA44E76B");
const VhdxGuid kDiskSize = guid_from("2FA54224-CD1B-4876-B211-5DBED83BF4B8");
const VhdxGuid kDiskId = guid_from("BECA12AB-B2E6-4523-93EF-C309E000C746");
const VhdxGuid kLogicalSector = guid_from("8141BF1D-A96F-4709-BA47-F233A8FAAB5F");
const VhdxGuid kPhysicalSector = guid_from("CDA348C7-445D-4471-9CC9-E9885251C556");
const VhdxGuid kParentLocator = guid_from("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C");
const VhdxGuid kLocatorType = guid_from("B04AEFB7-D19E-4A81-B789-25B8E9445913");

std::vector<uint8_t> utf16(const std::string& ascii) {
  std::vector<uint8_t> out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

uint64_t round_mib(uint64_t v) { return (v + kMiB - 1) / kMiB * kMiB; }

uint32_t entries_for(uint32_t blocks, uint32_t ratio, bool parent) {
  if (parent) return (blocks + ratio - 1) / ratio * (ratio + 1);
  return blocks ? blocks + (blocks - 1) / ratio : 0;
}

bool same(const std::vector<uint8_t>& b, uint64_t at, const VhdxGuid& g) {
  return std::memcmp(b.data() + at, g.data(), 16) == 0;
}

bool structure_ok(const std::vector<uint8_t>& file, uint64_t at, size_t size, const char* sig) {
  if (at + size > file.size() || std::memcmp(file.data() + at, sig, 4) != 0) return false;
  std::vector<uint8_t> copy(file.begin() + static_cast<ptrdiff_t>(at),
                            file.begin() + static_cast<ptrdiff_t>(at + size));
  std::memset(copy.data() + 4, 0, 4);
  return crc32c(copy) == get32(file, at + 4);
}

}  // namespace

VhdxGuid guid_of(uint8_t seed) {
  VhdxGuid g;
  for (size_t i = 0; i < 16; ++i) g[i] = static_cast<uint8_t>(seed * 37 + i * 11 + 1);
  return g;
}

VhdxBuilder::VhdxBuilder(VhdxShape shape) : shape_(std::move(shape)) {
  if (shape_.data_write_guid == VhdxGuid{}) shape_.data_write_guid = guid_of(static_cast<uint8_t>(shape_.disk_bytes >> 20));
}

uint32_t VhdxBuilder::block_count() const {
  return static_cast<uint32_t>((shape_.disk_bytes + shape_.block_bytes - 1) / shape_.block_bytes);
}

uint32_t VhdxBuilder::chunk_ratio() const {
  return static_cast<uint32_t>((uint64_t{1} << 23) * shape_.logical_sector / shape_.block_bytes);
}

VhdxBuilder::Block& VhdxBuilder::block(uint32_t index) {
  auto it = blocks_.find(index);
  if (it != blocks_.end()) return it->second;
  Block& b = blocks_[index];
  b.data.assign(shape_.block_bytes, 0);
  b.present.assign(shape_.block_bytes / shape_.logical_sector, false);
  return b;
}

void VhdxBuilder::write(uint64_t offset, std::span<const uint8_t> data) {
  const uint32_t ls = shape_.logical_sector;
  if (offset % ls || data.size() % ls || offset + data.size() > shape_.disk_bytes)
    throw std::invalid_argument("whole logical sectors inside the disk");
  for (uint64_t done = 0; done < data.size(); done += ls) {
    const uint64_t at = offset + done;
    Block& b = block(static_cast<uint32_t>(at / shape_.block_bytes));
    const uint64_t in = at % shape_.block_bytes;
    std::memcpy(b.data.data() + in, data.data() + done, ls);
    b.present[in / ls] = true;
  }
}

void VhdxBuilder::fill(uint64_t offset, uint64_t length, uint8_t value) {
  write(offset, std::vector<uint8_t>(length, value));
}

void VhdxBuilder::set_state(uint32_t index, uint8_t state) { states_[index] = state; }

void VhdxBuilder::copy_raw(const std::string& raw_path) {
  const auto raw = read_file(raw_path);
  for (uint64_t at = 0; at < shape_.disk_bytes && at < raw.size(); at += shape_.block_bytes) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(shape_.block_bytes, raw.size() - at));
    const std::span<const uint8_t> piece(raw.data() + at, n);
    if (std::any_of(piece.begin(), piece.end(), [](uint8_t b) { return b != 0; }))
      write(at, piece.first(n / shape_.logical_sector * shape_.logical_sector));
  }
}

uint64_t VhdxBuilder::metadata_offset() const { return kLogOffset + round_mib(shape_.log_bytes); }
uint64_t VhdxBuilder::bat_offset() const { return metadata_offset() + kMiB; }
uint64_t VhdxBuilder::first_block_offset() const {
  return bat_offset() + round_mib(uint64_t{entries_for(block_count(), chunk_ratio(), shape_.has_parent)} * 8);
}

std::vector<uint8_t> VhdxBuilder::metadata_region() const {
  std::vector<uint8_t> m(kMiB, 0);
  struct Item {
    VhdxGuid id;
    std::vector<uint8_t> value;
    uint32_t flags;
  };
  std::vector<Item> items;
  auto le = [](uint64_t v, size_t n) {
    std::vector<uint8_t> out(n);
    std::memcpy(out.data(), &v, n);
    return out;
  };
  items.push_back({kFileParameters, le(uint64_t{shape_.block_bytes} | uint64_t{shape_.extra_flags | (shape_.has_parent ? 2u : 0u)} << 32, 8), 4});
  items.push_back({kDiskSize, le(shape_.disk_bytes, 8), 6});
  VhdxGuid id = guid_of(0x77);
  items.push_back({kDiskId, std::vector<uint8_t>(id.begin(), id.end()), 6});
  items.push_back({kLogicalSector, le(shape_.logical_sector, 4), 6});
  items.push_back({kPhysicalSector, le(shape_.physical_sector, 4), 6});
  if (shape_.has_parent) {
    std::vector<std::pair<std::string, std::string>> kv;
    if (shape_.parent_linkage) kv.emplace_back("parent_linkage", guid_text(*shape_.parent_linkage));
    if (shape_.parent_linkage2) kv.emplace_back("parent_linkage2", guid_text(*shape_.parent_linkage2));
    if (!shape_.relative_path.empty()) kv.emplace_back("relative_path", shape_.relative_path);
    if (!shape_.absolute_win32_path.empty()) kv.emplace_back("absolute_win32_path", shape_.absolute_win32_path);
    if (shape_.odd_metadata) std::reverse(kv.begin(), kv.end());
    std::vector<uint8_t> loc(20 + 12 * kv.size(), 0);
    std::memcpy(loc.data(), kLocatorType.data(), 16);
    put16(loc, 18, static_cast<uint16_t>(kv.size()));
    for (size_t i = 0; i < kv.size(); ++i) {
      const auto key = utf16(kv[i].first), value = utf16(kv[i].second);
      put32(loc, 20 + 12 * i, static_cast<uint32_t>(loc.size()));
      loc.insert(loc.end(), key.begin(), key.end());
      put32(loc, 20 + 12 * i + 4, static_cast<uint32_t>(loc.size()));
      loc.insert(loc.end(), value.begin(), value.end());
      put16(loc, 20 + 12 * i + 8, static_cast<uint16_t>(key.size()));
      put16(loc, 20 + 12 * i + 10, static_cast<uint16_t>(value.size()));
    }
    items.push_back({kParentLocator, loc, 4});
  }
  uint64_t at = 64u << 10;
  if (shape_.odd_metadata) {
    std::reverse(items.begin(), items.end());
    items.insert(items.begin(), Item{guid_of(0x99), std::vector<uint8_t>(40, 0x5C), 1});
    at = kMiB - (128u << 10);
  }
  std::memcpy(m.data(), "metadata", 8);
  put16(m, 10, static_cast<uint16_t>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    const uint64_t e = 32 + 32 * i;
    std::memcpy(m.data() + e, items[i].id.data(), 16);
    put32(m, e + 16, static_cast<uint32_t>(at));
    put32(m, e + 20, static_cast<uint32_t>(items[i].value.size()));
    put32(m, e + 24, items[i].flags);
    std::memcpy(m.data() + at, items[i].value.data(), items[i].value.size());
    at += (items[i].value.size() + 7) / 8 * 8;
  }
  return m;
}

std::vector<uint8_t> VhdxBuilder::bytes() const {
  const uint32_t blocks = block_count(), ratio = chunk_ratio();
  const uint32_t entries = entries_for(blocks, ratio, shape_.has_parent);
  const uint64_t bat_length = round_mib(uint64_t{entries} * 8);
  std::vector<uint8_t> f(first_block_offset(), 0);
  std::memcpy(f.data(), "vhdxfile", 8);
  const auto creator = utf16("quorvex test builder");
  std::memcpy(f.data() + 8, creator.data(), creator.size());
  for (int i = 0; i < 2; ++i) {
    const uint64_t h = kHeaderAt[i];
    std::memcpy(f.data() + h, "head", 4);
    put64(f, h + 8, shape_.sequence[i]);
    const VhdxGuid file_write = guid_of(0x33);
    std::memcpy(f.data() + h + 16, file_write.data(), 16);
    std::memcpy(f.data() + h + 32, shape_.data_write_guid.data(), 16);
    if (shape_.log_guid) std::memcpy(f.data() + h + 48, shape_.log_guid->data(), 16);
    put16(f, h + 66, 1);
    put32(f, h + 68, shape_.log_bytes);
    put64(f, h + 72, kLogOffset);
    vhdx_reseal_header(f, h);
  }
  for (uint64_t r : kRegionAt) {
    std::memcpy(f.data() + r, "regi", 4);
    put32(f, r + 8, 2);
    std::memcpy(f.data() + r + 16, kBat.data(), 16);
    put64(f, r + 32, bat_offset());
    put32(f, r + 40, static_cast<uint32_t>(bat_length));
    put32(f, r + 44, 1);
    std::memcpy(f.data() + r + 48, kMetadata.data(), 16);
    put64(f, r + 64, metadata_offset());
    put32(f, r + 72, static_cast<uint32_t>(kMiB));
    put32(f, r + 76, 1);
    vhdx_reseal_region_table(f, r);
  }
  for (uint64_t i = 0; i < shape_.log_bytes; ++i) f[kLogOffset + i] = static_cast<uint8_t>(i * 7 + 3);
  const auto m = metadata_region();
  std::memcpy(f.data() + metadata_offset(), m.data(), m.size());

  std::vector<uint64_t> bat(entries, 0);
  std::map<uint32_t, std::vector<uint8_t>> bitmaps;  // per chunk
  const uint32_t per_block = shape_.block_bytes / shape_.logical_sector;
  for (const auto& [index, state] : states_) bat[index + index / ratio] = state;
  for (const auto& [index, b] : blocks_) {
    const bool whole = std::all_of(b.present.begin(), b.present.end(), [](bool p) { return p; });
    const bool partial = shape_.has_parent && !whole;
    const uint64_t at = f.size();
    f.insert(f.end(), b.data.begin(), b.data.end());
    bat[index + index / ratio] = at | (partial ? 7 : 6);
    if (!partial) continue;
    auto& bm = bitmaps[index / ratio];
    if (bm.empty()) bm.assign(kMiB, 0);
    const uint64_t base = uint64_t{index % ratio} * per_block;
    for (uint32_t i = 0; i < per_block; ++i)
      if (b.present[i]) bm[(base + i) / 8] |= static_cast<uint8_t>(1u << ((base + i) % 8));
  }
  for (const auto& [chunk, bm] : bitmaps) {
    bat[uint64_t{chunk} * (ratio + 1) + ratio] = f.size() | 6;
    f.insert(f.end(), bm.begin(), bm.end());
  }
  for (uint32_t i = 0; i < entries; ++i) put64(f, bat_offset() + uint64_t{i} * 8, bat[i]);
  return f;
}

void VhdxBuilder::write_to(const std::string& path) const { write_file(path, bytes()); }

void vhdx_reseal(std::vector<uint8_t>& file, uint64_t offset, size_t size) {
  put32(file, offset + 4, 0);
  put32(file, offset + 4, crc32c(std::span(file.data() + offset, size)));
}
void vhdx_reseal_header(std::vector<uint8_t>& file, uint64_t offset) { vhdx_reseal(file, offset, 4096); }
void vhdx_reseal_region_table(std::vector<uint8_t>& file, uint64_t offset) {
  vhdx_reseal(file, offset, kRegionBytes);
}

VhdxFileView parse_vhdx(const std::vector<uint8_t>& file) {
  VhdxFileView v;
  if (file.size() < kMiB || std::memcmp(file.data(), "vhdxfile", 8) != 0) throw std::runtime_error("no VHDX head");
  for (int i = 0; i < 2; ++i) {
    v.headers_ok[i] = structure_ok(file, kHeaderAt[i], 4096, "head");
    v.region_tables_ok[i] = structure_ok(file, kRegionAt[i], kRegionBytes, "regi");
  }
  if (!v.headers_ok[0] && !v.headers_ok[1]) throw std::runtime_error("no valid header");
  v.current_header = !v.headers_ok[0] || (v.headers_ok[1] && get64(file, kHeaderAt[1] + 8) >= get64(file, kHeaderAt[0] + 8));
  const uint64_t h = kHeaderAt[v.current_header];
  std::memcpy(v.data_write_guid.data(), file.data() + h + 32, 16);
  v.log_length = get32(file, h + 68);
  v.log_offset = get64(file, h + 72);
  if (!v.region_tables_ok[0] && !v.region_tables_ok[1]) throw std::runtime_error("no valid region table");
  const uint64_t r = kRegionAt[v.region_tables_ok[0] ? 0 : 1];
  for (uint32_t i = 0; i < get32(file, r + 8); ++i) {
    const uint64_t e = r + 16 + 32 * uint64_t{i};
    if (same(file, e, kBat)) {
      v.bat_offset = get64(file, e + 16);
      v.bat_length = get32(file, e + 24);
    } else if (same(file, e, kMetadata)) {
      v.metadata_offset = get64(file, e + 16);
    }
  }
  const uint64_t m = v.metadata_offset;
  if (m + kMiB > file.size()) throw std::runtime_error("metadata outside the file");
  for (uint32_t i = 0; i < get16(file, m + 10); ++i) {
    const uint64_t e = m + 32 + 32 * uint64_t{i};
    const uint64_t item = m + get32(file, e + 16);
    if (same(file, e, kFileParameters)) {
      v.block_bytes = get32(file, item);
      v.file_flags = get32(file, item + 4);
    } else if (same(file, e, kDiskSize)) {
      v.disk_bytes = get64(file, item);
    } else if (same(file, e, kLogicalSector)) {
      v.logical_sector = get32(file, item);
    } else if (same(file, e, kParentLocator)) {
      for (uint32_t k = 0; k < get16(file, item + 18); ++k) {
        const uint64_t kv = item + 20 + 12 * uint64_t{k};
        std::string key, value;
        for (uint32_t c = 0; c < get16(file, kv + 8); c += 2) key += static_cast<char>(file[item + get32(file, kv) + c]);
        for (uint32_t c = 0; c < get16(file, kv + 10); c += 2) value += static_cast<char>(file[item + get32(file, kv + 4) + c]);
        if (key == "relative_path") v.relative_path = value;
      }
    }
  }
  if (!v.block_bytes || !v.logical_sector) throw std::runtime_error("metadata items missing");
  v.chunk_ratio = static_cast<uint32_t>((uint64_t{1} << 23) * v.logical_sector / v.block_bytes);
  v.data_blocks = static_cast<uint32_t>((v.disk_bytes + v.block_bytes - 1) / v.block_bytes);
  const uint32_t entries = entries_for(v.data_blocks, v.chunk_ratio, v.file_flags & 2);
  if (v.bat_offset + uint64_t{entries} * 8 > file.size()) throw std::runtime_error("BAT outside the file");
  for (uint32_t i = 0; i < entries; ++i) v.bat.push_back(get64(file, v.bat_offset + uint64_t{i} * 8));
  return v;
}

std::vector<uint8_t> vhdx_read_disk(const std::string& path) {
  const auto file = read_file(path);
  const VhdxFileView v = parse_vhdx(file);
  std::vector<uint8_t> disk(v.disk_bytes, 0);
  const bool differencing = v.file_flags & 2;
  if (differencing) {
    std::string rel = v.relative_path;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    const auto parent = vhdx_read_disk((std::filesystem::path(path).parent_path() / rel).string());
    std::memcpy(disk.data(), parent.data(), std::min(parent.size(), disk.size()));
  }
  const uint32_t per_block = v.block_bytes / v.logical_sector;
  for (uint32_t b = 0; b < v.data_blocks; ++b) {
    const uint64_t e = v.bat[v.payload_entry(b)];
    const uint64_t start = uint64_t{b} * v.block_bytes;
    const uint64_t n = std::min<uint64_t>(v.block_bytes, v.disk_bytes - start);
    const uint64_t at = e & ~(kMiB - 1);
    switch (e & 7) {
      case 0:
        if (differencing) break;
        [[fallthrough]];
      case 1:
      case 2:
      case 3: std::memset(disk.data() + start, 0, n); break;
      case 6:
        if (at + n > file.size()) throw std::runtime_error("block outside the file");
        std::memcpy(disk.data() + start, file.data() + at, n);
        break;
      case 7: {
        const uint64_t bm = v.bat[uint64_t{b / v.chunk_ratio} * (v.chunk_ratio + 1) + v.chunk_ratio] & ~(kMiB - 1);
        const uint64_t base = uint64_t{b % v.chunk_ratio} * per_block;
        for (uint64_t s = 0; s * v.logical_sector < n; ++s)
          if ((file.at(bm + (base + s) / 8) >> ((base + s) % 8)) & 1)
            std::memcpy(disk.data() + start + s * v.logical_sector, file.data() + at + s * v.logical_sector,
                        v.logical_sector);
        break;
      }
      default: throw std::runtime_error("invalid block state");
    }
  }
  return disk;
}

std::optional<std::vector<uint8_t>> libvhdi_read_disk(const std::string& path, const std::string& work_dir) {
  if (!have_tool("vhdimount") || !std::filesystem::exists("/dev/fuse")) return std::nullopt;
  const std::string mnt = work_dir + "/vhdimount";
  std::filesystem::create_directories(mnt);
  const auto r = run_command("vhdimount " + shell_quote(path) + " " + shell_quote(mnt) + " 2>&1");
  // A machine without a usable FUSE cannot ask libvhdi; a file libvhdi refuses is a finding.
  if (r.status != 0 && r.output.find("Unable to open source image") != std::string::npos)
    throw std::runtime_error("vhdimount refuses the image: " + r.output);
  if (r.status != 0) return std::nullopt;
  // One file per layer, the child last.
  std::vector<uint8_t> disk;
  try {
    size_t layers = 0;
    for (const auto& e : std::filesystem::directory_iterator(mnt)) layers += e.path().filename().string().rfind("vhdi", 0) == 0;
    disk = read_file(mnt + "/vhdi" + std::to_string(layers));
  } catch (...) {
  }
  (void)run_command("umount " + shell_quote(mnt) + " 2>&1");
  return disk;
}

VhdxGuid vhdx_data_write_guid(const std::string& path) { return parse_vhdx(read_file(path)).data_write_guid; }

}  // namespace qx::test
