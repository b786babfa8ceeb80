#include "support/disk_builder.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "support/file_patch.hpp"

namespace qx::test {
namespace {

uint32_t crc_of(const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(::crc32(0, p, static_cast<uInt>(n)));
}

}  // namespace

Guid guid_from_text(const std::string& text) {
  std::string hex;
  for (char c : text)
    if (c != '-') hex += c;
  if (hex.size() != 32) throw std::invalid_argument("bad GUID " + text);
  uint8_t b[16];
  for (int i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  // The first three groups are stored little-endian.
  return Guid{b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6],
              b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]};
}

void write_at(const std::string& path, uint64_t offset, std::span<const uint8_t> data) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!f) throw std::runtime_error("cannot open " + path);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> boot_sector(const std::vector<MbrSlot>& slots, bool signature) {
  if (slots.size() > 4) throw std::invalid_argument("four slots at most");
  std::vector<uint8_t> s(512, 0);
  for (size_t i = 0; i < slots.size(); ++i) {
    uint8_t* e = s.data() + 446 + 16 * i;
    e[0] = slots[i].boot;
    e[4] = slots[i].type;
    put32(e + 8, slots[i].start);
    put32(e + 12, slots[i].count);
  }
  if (signature) {
    s[510] = 0x55;
    s[511] = 0xAA;
  }
  return s;
}

void write_boot_sector(const std::string& path, uint64_t sector, const std::vector<MbrSlot>& slots,
                       bool signature) {
  write_at(path, sector * 512, boot_sector(slots, signature));
}

void write_gpt(const std::string& path, uint64_t disk_sectors, const std::vector<GptPart>& parts,
               const GptLayout& layout) {
  const uint32_t protective = static_cast<uint32_t>(std::min<uint64_t>(disk_sectors - 1, 0xFFFFFFFF));
  write_boot_sector(path, 0, {{0xEE, 1, protective}});

  std::vector<uint8_t> array(size_t{layout.entry_count} * layout.entry_size, 0);
  // Entries that do not fit the array are left out.
  for (size_t i = 0; i < parts.size() && (i + 1) * layout.entry_size <= array.size(); ++i) {
    uint8_t* e = array.data() + i * layout.entry_size;
    std::memcpy(e, parts[i].type.data(), 16);
    for (int k = 0; k < 16; ++k) e[16 + k] = static_cast<uint8_t>(0x40 + i + k);  // unique GUID
    put64(e + 32, parts[i].first_lba);
    put64(e + 40, parts[i].last_lba);
  }
  std::vector<uint8_t> h(512, 0);
  std::memcpy(h.data(), layout.signature.data(), std::min<size_t>(8, layout.signature.size()));
  put32(h.data() + 8, layout.revision);
  put32(h.data() + 12, layout.header_size);
  put64(h.data() + 24, layout.current_lba);
  put64(h.data() + 32, disk_sectors - 1);
  put64(h.data() + 40, layout.entry_lba + (array.size() + 511) / 512);
  put64(h.data() + 48, disk_sectors - 34);
  for (int k = 0; k < 16; ++k) h[56 + k] = static_cast<uint8_t>(0x90 + k);
  put64(h.data() + 72, layout.entry_lba);
  put32(h.data() + 80, layout.entry_count);
  put32(h.data() + 84, layout.entry_size);
  put32(h.data() + 88, crc_of(array.data(), array.size()));
  put32(h.data() + 16, crc_of(h.data(), std::min<size_t>(layout.header_size, 512)));
  write_at(path, 512, h);
  if (!array.empty()) write_at(path, layout.entry_lba * 512, array);
  if (!layout.backup) return;
  const uint64_t last = disk_sectors - 1, backup_array = last - (array.size() + 511) / 512;
  put64(h.data() + 24, last);
  put64(h.data() + 32, layout.current_lba);
  put64(h.data() + 72, backup_array);
  put32(h.data() + 16, 0);
  put32(h.data() + 16, crc_of(h.data(), std::min<size_t>(layout.header_size, 512)));
  if (!array.empty()) write_at(path, backup_array * 512, array);
  write_at(path, last * 512, h);
}

}  // namespace qx::test

namespace qx::test {

void reseal_gpt(const std::string& path, uint64_t lba) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> h(512);
  in.seekg(static_cast<std::streamoff>(lba * 512));
  in.read(reinterpret_cast<char*>(h.data()), 512);
  uint32_t size = 0, count = 0, entry = 0;
  uint64_t array_lba = 0;
  std::memcpy(&size, h.data() + 12, 4);
  std::memcpy(&array_lba, h.data() + 72, 8);
  std::memcpy(&count, h.data() + 80, 4);
  std::memcpy(&entry, h.data() + 84, 4);
  if (!in) throw std::runtime_error("cannot read the GPT of " + path);
  // An array that runs past the end of the file is taken as zeros there.
  std::vector<uint8_t> array(size_t{count} * entry);
  in.seekg(static_cast<std::streamoff>(array_lba * 512));
  in.read(reinterpret_cast<char*>(array.data()), static_cast<std::streamsize>(array.size()));
  put32(h.data() + 88, crc_of(array.data(), array.size()));
  put32(h.data() + 16, 0);
  put32(h.data() + 16, crc_of(h.data(), std::min<size_t>(size, 512)));
  write_at(path, lba * 512, h);
}

}  // namespace qx::test
