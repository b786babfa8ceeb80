#include "support/vdi_builder.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "support/file_patch.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {


}  // namespace

VdiBuilder::VdiBuilder(VdiShape shape) : shape_(std::move(shape)) {
  if (shape_.image_type == 2)
    for (uint32_t i = 0; i < block_count(); ++i) allocate(i);
}

uint32_t VdiBuilder::block_count() const {
  if (shape_.block_count) return *shape_.block_count;
  return static_cast<uint32_t>((shape_.disk_size + shape_.block_bytes - 1) / shape_.block_bytes);
}

uint32_t VdiBuilder::data_offset() const {
  if (shape_.data_offset) return *shape_.data_offset;
  return (shape_.block_map_offset + block_count() * 4 + 511) / 512 * 512;
}

std::vector<uint8_t>& VdiBuilder::block(uint32_t index) {
  auto [it, fresh] = index_.emplace(index, static_cast<uint32_t>(data_.size()));
  if (fresh) data_.emplace_back(shape_.block_bytes, 0);
  zero_blocks_.erase(index);
  return data_[it->second];
}

void VdiBuilder::write(uint32_t sector, std::span<const uint8_t> data) {
  for (size_t done = 0; done < data.size(); done += 512, ++sector)
    std::memcpy(block(sector / block_sectors()).data() + size_t{sector % block_sectors()} * 512,
                data.data() + done, 512);
}

void VdiBuilder::fill(uint32_t sector, uint32_t count, uint8_t value) {
  const std::vector<uint8_t> s(512, value);
  for (uint32_t i = 0; i < count; ++i) write(sector + i, s);
}

void VdiBuilder::allocate(uint32_t index) { block(index); }

void VdiBuilder::mark_zero(uint32_t index) {
  if (index_.count(index)) throw std::logic_error("block already stored");
  zero_blocks_[index] = true;
}

std::vector<uint8_t> VdiBuilder::bytes() const {
  const uint64_t stride = uint64_t{shape_.block_bytes} + shape_.block_extra;
  std::vector<uint8_t> f(data_offset() + data_.size() * stride + shape_.trailing_bytes, 0);
  std::memcpy(f.data(), shape_.pre_header.data(), std::min<size_t>(shape_.pre_header.size(), 64));
  put32(f, 64, shape_.signature);
  put32(f, 68, shape_.version);
  put32(f, 72, shape_.header_size);
  put32(f, 76, shape_.image_type);
  std::memcpy(f.data() + 84, "quorvex test image", 18);
  put32(f, 340, shape_.block_map_offset);
  put32(f, 344, data_offset());
  put32(f, 352, shape_.legacy_heads);
  put32(f, 356, shape_.legacy_sectors);
  put32(f, 360, 512);
  put32(f, 368, static_cast<uint32_t>(shape_.disk_size));
  put32(f, 372, static_cast<uint32_t>(shape_.disk_size >> 32));
  put32(f, 376, shape_.block_bytes);
  put32(f, 380, shape_.block_extra);
  put32(f, 384, block_count());
  put32(f, 388, shape_.blocks_allocated.value_or(static_cast<uint32_t>(data_.size())));
  for (size_t i = 0; i < 16; ++i) f[392 + i] = static_cast<uint8_t>(0x40 + i);  // image UUID
  for (size_t i = 0; i < 16; ++i) f[408 + i] = static_cast<uint8_t>(0x80 + i);  // last modification
  for (uint32_t b = 0; b < block_count(); ++b) {
    const auto it = index_.find(b);
    const uint32_t entry = it != index_.end() ? it->second : zero_blocks_.count(b) ? 0xFFFFFFFEu : 0xFFFFFFFFu;
    if (shape_.block_map_offset + uint64_t{b} * 4 + 4 <= f.size()) put32(f, shape_.block_map_offset + b * 4, entry);
  }
  for (size_t i = 0; i < data_.size(); ++i) {
    uint8_t* at = f.data() + data_offset() + i * stride;
    std::memset(at, 0xEE, shape_.block_extra);
    std::memcpy(at + shape_.block_extra, data_[i].data(), shape_.block_bytes);
  }
  return f;
}

void VdiBuilder::write_to(const std::string& path) const { write_file(path, bytes()); }

std::vector<uint8_t> VdiBuilder::disk() const {
  std::vector<uint8_t> d((shape_.disk_size + 511) / 512 * 512, 0);
  for (const auto& [b, i] : index_) {
    const uint64_t at = uint64_t{b} * shape_.block_bytes;
    if (at < d.size())
      std::memcpy(d.data() + at, data_[i].data(), std::min<uint64_t>(shape_.block_bytes, d.size() - at));
  }
  return d;
}

VdiFileView parse_vdi(const std::vector<uint8_t>& file) {
  VdiFileView v;
  v.header_size = get32(file, 72);
  v.image_type = get32(file, 76);
  v.block_map_offset = get32(file, 340);
  v.data_offset = get32(file, 344);
  v.disk_size = get32(file, 368) | uint64_t{get32(file, 372)} << 32;
  v.block_bytes = get32(file, 376);
  v.blocks_allocated = get32(file, 388);
  const uint32_t count = get32(file, 384);
  for (uint32_t b = 0; b < count; ++b) v.map.push_back(get32(file, v.block_map_offset + size_t{b} * 4));
  return v;
}

}  // namespace qx::test
