#include "support/vhd_builder.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "support/file_patch.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

constexpr std::array<uint8_t, 16> kDefaultUniqueId = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                                      0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x10};

uint64_t get_be(const std::vector<uint8_t>& b, uint64_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | b.at(at + static_cast<uint64_t>(i));
  return v;
}


// Cylinders, heads and sectors per track whose product is exactly `total`.
std::array<uint32_t, 3> exact_geometry(uint32_t total) {
  for (uint32_t heads = 16; heads >= 1; --heads)
    for (uint32_t spt = 63; spt >= 1; --spt) {
      const uint64_t per_cylinder = uint64_t{heads} * spt;
      if (total % per_cylinder == 0 && total / per_cylinder <= 65535)
        return {static_cast<uint32_t>(total / per_cylinder), heads, spt};
    }
  throw std::invalid_argument("no exact geometry for " + std::to_string(total) + " sectors");
}

std::vector<uint8_t> utf16be_of_utf8(const std::string& s) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < s.size();) {
    const uint8_t c = static_cast<uint8_t>(s[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) cp = c, n = 1;
    else if (c >> 5 == 6) cp = c & 0x1F, n = 2;
    else if (c >> 4 == 14) cp = c & 0x0F, n = 3;
    else cp = c & 0x07, n = 4;
    for (size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<uint8_t>(s.at(i + k)) & 0x3F);
    i += n;
    auto unit = [&](uint32_t u) {
      out.push_back(static_cast<uint8_t>(u >> 8));
      out.push_back(static_cast<uint8_t>(u));
    };
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

}  // namespace

std::array<uint8_t, 16> vhd_unique_id(const std::string& path) {
  const std::vector<uint8_t> file = read_file(path);
  std::array<uint8_t, 16> id{};
  if (file.size() >= 512) std::copy_n(file.end() - 512 + 68, 16, id.begin());
  return id;
}

uint32_t vhd_checksum_of(std::span<const uint8_t> bytes, size_t checksum_offset) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (i < checksum_offset || i >= checksum_offset + 4) sum += bytes[i];
  return ~sum;
}

VhdBuilder::VhdBuilder(VhdShape shape) : shape_(std::move(shape)) {
  if (shape_.block_bytes < 512 || (shape_.block_bytes & (shape_.block_bytes - 1)))
    throw std::invalid_argument("block size");
}

uint32_t VhdBuilder::block_count() const {
  return static_cast<uint32_t>((uint64_t{shape_.total_sectors} + block_sectors() - 1) / block_sectors());
}

uint32_t VhdBuilder::bitmap_bytes() const {
  return static_cast<uint32_t>(round_up((block_sectors() + 7) / 8, 512));
}

VhdBuilder::Block& VhdBuilder::block(uint32_t index) {
  if (index >= block_count()) throw std::out_of_range("block beyond the disk");
  Block& b = blocks_[index];
  if (b.data.empty()) {
    b.bitmap.assign(bitmap_bytes(), 0);
    b.data.assign(shape_.block_bytes, 0);
  }
  return b;
}

void VhdBuilder::set_present(uint32_t sector) {
  Block& b = block(sector / block_sectors());
  const uint32_t i = sector % block_sectors();
  b.bitmap[i / 8] |= static_cast<uint8_t>(0x80u >> (i % 8));
}

void VhdBuilder::write(uint32_t sector, std::span<const uint8_t> data) {
  if (data.size() % 512) throw std::invalid_argument("whole sectors only");
  for (size_t k = 0; k < data.size() / 512; ++k) {
    const uint32_t s = sector + static_cast<uint32_t>(k);
    set_present(s);
    Block& b = block(s / block_sectors());
    std::memcpy(b.data.data() + size_t{s % block_sectors()} * 512, data.data() + k * 512, 512);
  }
}

void VhdBuilder::fill(uint32_t sector, uint32_t count, uint8_t value) {
  const std::vector<uint8_t> one(512, value);
  for (uint32_t k = 0; k < count; ++k) write(sector + k, one);
}

void VhdBuilder::mark_present(uint32_t sector, uint32_t count) {
  for (uint32_t k = 0; k < count; ++k) set_present(sector + k);
}

void VhdBuilder::allocate(uint32_t index) { (void)block(index); }

void VhdBuilder::copy_raw(const std::string& raw_path, bool only_nonzero) {
  std::ifstream in(raw_path, std::ios::binary);
  std::vector<uint8_t> buf(shape_.block_bytes);
  const std::vector<uint8_t> zero(512, 0);
  for (uint32_t b = 0; b < block_count(); ++b) {
    std::fill(buf.begin(), buf.end(), 0);
    in.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(buf.size()));
    const size_t got = static_cast<size_t>(in.gcount());
    if (got == 0) break;
    const uint32_t first = b * block_sectors();
    const uint32_t n = std::min(block_sectors(), shape_.total_sectors - first);
    bool any = false;
    for (uint32_t i = 0; i < n && !any; ++i) any = std::memcmp(buf.data() + size_t{i} * 512, zero.data(), 512) != 0;
    if (!any) continue;
    for (uint32_t i = 0; i < n; ++i) {
      std::span<const uint8_t> s(buf.data() + size_t{i} * 512, 512);
      if (only_nonzero && std::memcmp(s.data(), zero.data(), 512) == 0) continue;
      write(first + i, s);
    }
    if (only_nonzero) allocate(b);
  }
}

uint64_t VhdBuilder::first_block_offset() const {
  const uint32_t max_entries = shape_.max_table_entries.value_or(block_count());
  uint64_t end = std::max(shape_.data_offset + 1024, shape_.table_offset + round_up(uint64_t{max_entries} * 4, 512));
  end = round_up(end, 512);
  for (const VhdLocatorShape& l : shape_.locators) end += round_up(std::max<size_t>(l.data.size(), 1), 512);
  return end + uint64_t{shape_.gap_sectors} * 512;
}

std::vector<uint8_t> VhdBuilder::bytes() const {
  const uint32_t max_entries = shape_.max_table_entries.value_or(block_count());
  const uint64_t block_stride = bitmap_bytes() + uint64_t{shape_.block_bytes} + uint64_t{shape_.padding_sectors} * 512;
  const uint64_t data_start = first_block_offset();
  const uint64_t footer_at = data_start + blocks_.size() * block_stride;
  const uint32_t footer_length = shape_.footer_511 ? 511 : 512;
  std::vector<uint8_t> file(footer_at + footer_length, 0);

  // Footer.
  std::vector<uint8_t> footer(512, 0);
  std::memcpy(footer.data(), "conectix", 8);
  put_be(footer, 8, 2, 4);
  put_be(footer, 12, 0x00010000, 4);
  put_be(footer, 16, shape_.data_offset, 8);
  put_be(footer, 24, 0x2A2B2C2D, 4);
  std::memcpy(footer.data() + 28, "qxtb", 4);
  put_be(footer, 32, 0x00010000, 4);
  std::memcpy(footer.data() + 36, "Wi2k", 4);
  const uint64_t size = shape_.current_size.value_or(uint64_t{shape_.total_sectors} * 512);
  put_be(footer, 40, size, 8);
  put_be(footer, 48, size, 8);
  const auto chs = shape_.geometry ? *shape_.geometry : exact_geometry(shape_.total_sectors);
  put_be(footer, 56, chs[0], 2);
  footer[58] = static_cast<uint8_t>(chs[1]);
  footer[59] = static_cast<uint8_t>(chs[2]);
  put_be(footer, 60, shape_.disk_type, 4);
  const auto own_id = shape_.unique_id.value_or(kDefaultUniqueId);
  std::copy(own_id.begin(), own_id.end(), footer.begin() + 68);
  const uint32_t sum = vhd_checksum_of(std::span(footer).first(footer_length), 64);
  put_be(footer, 64, shape_.zero_footer_checksum ? 0 : sum, 4);
  std::memcpy(file.data(), footer.data(), footer_length);
  std::memcpy(file.data() + footer_at, footer.data(), footer_length);

  // Dynamic header.
  std::vector<uint8_t> header(1024, 0);
  std::memcpy(header.data(), "cxsparse", 8);
  put_be(header, 8, ~uint64_t{0}, 8);
  put_be(header, 16, shape_.table_offset, 8);
  put_be(header, 24, 0x00010000, 4);
  put_be(header, 28, max_entries, 4);
  put_be(header, 32, shape_.block_bytes, 4);
  const auto parent_id = shape_.parent_unique_id.value_or(kDefaultUniqueId);
  std::copy(parent_id.begin(), parent_id.end(), header.begin() + 40);
  put_be(header, 56, 0x1A2B3C4D, 4);
  const std::vector<uint8_t> name = utf16be_of_utf8(shape_.parent_name);
  std::copy_n(name.begin(), std::min<size_t>(name.size(), 512), header.begin() + 64);
  uint64_t locator_at = round_up(std::max(shape_.data_offset + 1024,
                                          shape_.table_offset + round_up(uint64_t{max_entries} * 4, 512)),
                                 512);
  for (size_t i = 0; i < shape_.locators.size() && i < 8; ++i) {
    const VhdLocatorShape& l = shape_.locators[i];
    const uint64_t space = round_up(std::max<size_t>(l.data.size(), 1), 512);
    const uint64_t at = 576 + i * 24;
    uint32_t code = 0;
    for (size_t k = 0; k < 4; ++k) code = code << 8 | static_cast<uint8_t>(k < l.code.size() ? l.code[k] : ' ');
    put_be(header, at, code, 4);
    put_be(header, at + 4, space, 4);
    put_be(header, at + 8, l.data.size(), 4);
    put_be(header, at + 12, l.reserved.value_or(0), 4);
    put_be(header, at + 16, locator_at, 8);
    std::copy(l.data.begin(), l.data.end(), file.begin() + static_cast<std::ptrdiff_t>(locator_at));
    locator_at += space;
  }
  put_be(header, 36, vhd_checksum_of(header, 36), 4);
  std::copy(header.begin(), header.end(), file.begin() + static_cast<std::ptrdiff_t>(shape_.data_offset));

  // BAT: unused entries all ones, as the format asks.
  std::fill(file.begin() + static_cast<std::ptrdiff_t>(shape_.table_offset),
            file.begin() + static_cast<std::ptrdiff_t>(shape_.table_offset + round_up(uint64_t{max_entries} * 4, 512)), 0xFF);
  uint64_t at = data_start;
  for (const auto& [index, b] : blocks_) {
    if (index < max_entries) put_be(file, shape_.table_offset + uint64_t{index} * 4, at / 512, 4);
    std::copy(b.bitmap.begin(), b.bitmap.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
    std::copy(b.data.begin(), b.data.end(), file.begin() + static_cast<std::ptrdiff_t>(at + b.bitmap.size()));
    at += block_stride;
  }
  return file;
}

void VhdBuilder::write_to(const std::string& path) const { write_file(path, bytes()); }

void vhd_fix_footer_checksums(std::vector<uint8_t>& file) {
  const uint32_t length = file.size() % 512 == 511 ? 511 : 512;
  for (uint64_t at : {uint64_t{0}, uint64_t{file.size() - length}}) {
    std::span<const uint8_t> footer(file.data() + at, length);
    put_be(file, at + 64, vhd_checksum_of(footer, 64), 4);
  }
}

void vhd_fix_header_checksum(std::vector<uint8_t>& file, uint64_t header_offset) {
  put_be(file, header_offset + 36, vhd_checksum_of(std::span(file.data() + header_offset, 1024), 36), 4);
}

VhdFileView parse_vhd(const std::vector<uint8_t>& file) {
  VhdFileView v;
  if (file.size() < 2048) throw std::runtime_error("file too short for a VHD");
  v.footer_length = file.size() % 512 == 511 ? 511 : 512;
  const uint64_t footer_at = file.size() - v.footer_length;
  v.copies_equal = std::equal(file.begin(), file.begin() + v.footer_length,
                              file.begin() + static_cast<std::ptrdiff_t>(footer_at));
  v.footer_checksum_ok = get_be(file, footer_at + 64, 4) ==
                         vhd_checksum_of(std::span(file.data() + footer_at, v.footer_length), 64);
  v.data_offset = get_be(file, footer_at + 16, 8);
  v.disk_type = static_cast<uint32_t>(get_be(file, footer_at + 60, 4));
  if (v.data_offset + 1024 > file.size()) throw std::runtime_error("header beyond the file");
  v.header_checksum_ok = get_be(file, v.data_offset + 36, 4) ==
                         vhd_checksum_of(std::span(file.data() + v.data_offset, 1024), 36);
  v.table_offset = get_be(file, v.data_offset + 16, 8);
  v.max_table_entries = static_cast<uint32_t>(get_be(file, v.data_offset + 28, 4));
  v.block_bytes = static_cast<uint32_t>(get_be(file, v.data_offset + 32, 4));
  v.bitmap_bytes = static_cast<uint32_t>(round_up((v.block_bytes / 512 + 7) / 8, 512));
  for (uint32_t i = 0; i < v.max_table_entries; ++i)
    v.bat.push_back(static_cast<uint32_t>(get_be(file, v.table_offset + uint64_t{i} * 4, 4)));
  return v;
}

bool vhd_bit(const std::vector<uint8_t>& file, const VhdFileView& view, uint32_t block, uint32_t i) {
  const uint64_t at = uint64_t{view.bat.at(block)} * 512 + i / 8;
  return (file.at(at) >> (7 - i % 8)) & 1;
}

std::vector<uint8_t> vhd_read_disk(const std::string& path) {
  const std::vector<uint8_t> file = read_file(path);
  const VhdFileView v = parse_vhd(file);
  const uint64_t footer_at = file.size() - v.footer_length;
  const uint64_t size = get_be(file, footer_at + 48, 8);
  uint64_t sectors = size <= 0x1FDFE02000ull ? get_be(file, footer_at + 56, 2) * file.at(footer_at + 58) *
                                                   uint64_t{file.at(footer_at + 59)}
                                             : size / 512;
  // Writers that keep the exact size and round the geometry down use every sector of the size.
  const uint64_t spb_ = v.block_bytes / 512;
  if (size / 512 > sectors && (size / 512 + spb_ - 1) / spb_ <= v.max_table_entries) sectors = size / 512;
  std::vector<uint8_t> disk;
  if (v.disk_type == 4) {
    std::string name;
    for (uint64_t at = v.data_offset + 64; at < v.data_offset + 576; at += 2) {
      const uint64_t unit = get_be(file, at, 2);
      if (unit == 0) break;
      name += static_cast<char>(unit);
    }
    const size_t slash = path.rfind('/');
    disk = vhd_read_disk((slash == std::string::npos ? "" : path.substr(0, slash + 1)) + name);
  }
  disk.resize(sectors * 512, 0);
  const uint32_t spb = v.block_bytes / 512;
  for (uint64_t b = 0; b * spb < sectors && b < v.bat.size(); ++b) {
    if (v.bat[b] == 0xFFFFFFFFu) continue;
    const uint64_t bitmap = uint64_t{v.bat[b]} * 512;
    const uint64_t data = bitmap + v.bitmap_bytes;
    if (data + v.block_bytes > file.size()) throw std::runtime_error("block beyond the file");
    for (uint32_t i = 0; i < spb && b * spb + i < sectors; ++i)
      if ((file[bitmap + i / 8] >> (7 - i % 8)) & 1)
        std::memcpy(disk.data() + (b * spb + i) * 512, file.data() + data + uint64_t{i} * 512, 512);
  }
  return disk;
}

std::array<uint8_t, 16> vhd_builder_unique_id() { return kDefaultUniqueId; }

namespace {

// A 511-byte footer of the read-only variants (no checksum is asked of them).
std::vector<uint8_t> variant_footer(uint32_t disk_type, uint64_t size, const std::array<uint32_t, 3>& chs) {
  std::vector<uint8_t> f(511, 0);
  std::memcpy(f.data(), "conectix", 8);
  put_be(f, 12, 0x00010000, 4);
  put_be(f, 16, disk_type == 2 ? ~uint64_t{0} : 512, 8);
  put_be(f, 40, size, 8);
  put_be(f, 48, size, 8);
  put_be(f, 56, chs[0], 2);
  f[58] = static_cast<uint8_t>(chs[1]);
  f[59] = static_cast<uint8_t>(chs[2]);
  put_be(f, 60, disk_type, 4);
  const auto id = vhd_builder_unique_id();
  std::copy(id.begin(), id.end(), f.begin() + 68);
  return f;
}

uint64_t chs_bytes(const std::array<uint32_t, 3>& g) { return uint64_t{g[0]} * g[1] * g[2] * 512; }

}  // namespace

std::vector<uint8_t> vhd_strict_bytes(const VhdStrictShape& shape,
                                      const std::map<uint32_t, std::vector<uint8_t>>& sectors) {
  constexpr uint32_t kBlockSectors = 4096;
  const uint64_t size = shape.original_size.value_or(round_up(chs_bytes(shape.geometry), 1u << 20));
  const uint32_t entries = shape.max_table_entries.value_or(
      static_cast<uint32_t>((round_up(size, 1u << 20) / (1u << 20) + 1) / 2));
  std::map<uint32_t, uint32_t> block_at;  // block -> order in the file
  for (const auto& [sector, data] : sectors) block_at.emplace(sector / kBlockSectors, 0);
  const uint64_t name_at = round_up(1536 + uint64_t{entries} * 4, 512);
  const uint64_t blocks_at = name_at + (shape.disk_type == 4 ? 512 : 0);
  std::vector<uint8_t> file(blocks_at + block_at.size() * (512 + (uint64_t{kBlockSectors} << 9)), 0);
  const std::vector<uint8_t> footer = variant_footer(shape.disk_type, size, shape.geometry);
  std::copy(footer.begin(), footer.end(), file.begin());
  std::memcpy(file.data() + 512, "cxsparse", 8);
  put_be(file, 520, ~uint64_t{0}, 8);
  put_be(file, 528, 1536, 8);
  put_be(file, 536, 0x00010000, 4);
  put_be(file, 540, entries, 4);
  put_be(file, 544, 0x200000, 4);
  put_be(file, 548, shape.header_mark.value_or(0x0000FFFF), 4);
  std::fill(file.begin() + 1536, file.begin() + 1536 + int64_t{entries} * 4, 0xFF);
  if (shape.disk_type == 4) {
    std::copy(shape.parent_id.begin(), shape.parent_id.end(), file.begin() + 552);
    put_be(file, 1248 + 12, 512, 4);
    put_be(file, 1248 + 24, name_at, 4);
    std::copy(shape.parent_name.begin(), shape.parent_name.end(), file.begin() + static_cast<int64_t>(name_at));
  }
  uint32_t order = 0;
  for (auto& [block, index] : block_at) {
    index = order++;
    const uint64_t at = blocks_at + uint64_t{index} * (512 + (uint64_t{kBlockSectors} << 9));
    if (block < entries) put_be(file, 1536 + uint64_t{block} * 4, at / 512, 4);
  }
  for (const auto& [sector, data] : sectors) {
    const uint64_t at = blocks_at + uint64_t{block_at.at(sector / kBlockSectors)} * (512 + (uint64_t{kBlockSectors} << 9));
    const uint32_t i = sector % kBlockSectors;
    file.at(at + i / 8) |= static_cast<uint8_t>(0x80u >> (i % 8));
    std::copy(data.begin(), data.end(), file.begin() + static_cast<int64_t>(at + 512 + uint64_t{i} * 512));
  }
  file.insert(file.end(), footer.begin(), footer.end());
  return file;
}

std::vector<uint8_t> vhd_fixed_bytes(const std::array<uint32_t, 3>& geometry, const std::vector<uint8_t>& disk) {
  const uint64_t size = chs_bytes(geometry);
  std::vector<uint8_t> file(disk.begin(), disk.begin() + static_cast<int64_t>(std::min<uint64_t>(disk.size(), size)));
  file.resize(size, 0);
  std::vector<uint8_t> footer = variant_footer(2, size, geometry);
  footer.push_back(0);
  put_be(footer, 64, vhd_checksum_of(footer, 64), 4);
  file.insert(file.end(), footer.begin(), footer.end());
  return file;
}

std::vector<uint8_t> vhd_headed_bytes(const std::array<uint32_t, 3>& geometry, const std::vector<uint8_t>& disk) {
  const uint64_t size = round_up(chs_bytes(geometry), 1u << 20);
  std::vector<uint8_t> file(size, 0);
  std::copy(disk.begin(), disk.begin() + static_cast<int64_t>(std::min<uint64_t>(disk.size(), size - 4096)),
            file.begin() + 4096);
  const std::vector<uint8_t> footer = variant_footer(2, size, geometry);
  file.insert(file.end(), footer.begin(), footer.end());
  return file;
}

std::vector<uint8_t> utf16le_bytes(const std::string& ascii) {
  std::vector<uint8_t> out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

}  // namespace qx::test
