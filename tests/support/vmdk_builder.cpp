#include "support/vmdk_builder.hpp"

#include <zlib.h>

#include <cstring>
#include <stdexcept>

#include "support/file_patch.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {


}  // namespace

VmdkExtentBuilder::VmdkExtentBuilder(VmdkExtentShape shape) : shape_(std::move(shape)) {
  const uint64_t per_table = 512ull * shape_.grain;
  tables_ = static_cast<uint32_t>((shape_.capacity + per_table - 1) / per_table);
  const uint64_t set = (tables_ * 4 + 511) / 512 + uint64_t{tables_} * 4;
  uint64_t at = 1 + (shape_.descriptor.empty() ? 0 : shape_.descriptor_sectors);
  if (shape_.redundant) {
    rgd_ = at;
    at += set;
  }
  gd_ = at;
  overhead_ = round_up(at + set, shape_.grain);
}

std::vector<uint8_t>& VmdkExtentBuilder::grain(uint32_t index) {
  auto& g = grains_[index];
  g.resize(size_t{shape_.grain} * 512, 0);
  return g;
}

void VmdkExtentBuilder::write(uint32_t sector, std::span<const uint8_t> data) {
  for (size_t i = 0; i < data.size() / 512; ++i) {
    const uint32_t s = sector + static_cast<uint32_t>(i);
    std::memcpy(grain(s / shape_.grain).data() + size_t{s % shape_.grain} * 512, data.data() + i * 512, 512);
  }
}

void VmdkExtentBuilder::fill(uint32_t sector, uint32_t count, uint8_t value) {
  write(sector, std::vector<uint8_t>(size_t{count} * 512, value));
}

void VmdkExtentBuilder::allocate(uint32_t grain_index) { grain(grain_index); }

std::vector<uint8_t> VmdkExtentBuilder::bytes() const {
  std::vector<uint8_t> f(overhead_ * 512, 0);
  put32(f, 0, 0x564D444B);
  put32(f, 4, shape_.compressed ? 3 : 1);
  put32(f, 8, 3u | (shape_.compressed ? 1u << 16 : 0));
  put64(f, 12, shape_.capacity);
  put64(f, 20, shape_.grain);
  const bool embedded = !shape_.descriptor.empty();
  put64(f, 28, embedded ? 1 : 0);
  put64(f, 36, embedded ? shape_.descriptor_sectors : 0);
  put32(f, 44, 512);
  put64(f, 48, rgd_);
  put64(f, 56, gd_);
  put64(f, 64, overhead_);
  const uint8_t tail[] = {0, 0x0A, 0x20, 0x0D, 0x0A, static_cast<uint8_t>(shape_.compressed ? 1 : 0), 0};
  std::memcpy(f.data() + 72, tail, sizeof tail);
  if (embedded) std::memcpy(f.data() + 512, shape_.descriptor.data(), shape_.descriptor.size());
  const uint64_t dir_sectors = (tables_ * 4 + 511) / 512;
  for (uint64_t p : {rgd_, gd_}) {
    if (p == 0) continue;
    for (uint32_t k = 0; k < tables_; ++k) put32(f, p * 512 + k * 4, static_cast<uint32_t>(p + dir_sectors + k * 4));
  }
  for (const auto& [index, data] : grains_) {
    const uint64_t at = f.size() / 512;
    if (shape_.compressed) {
      uLongf n = compressBound(static_cast<uLong>(data.size()));
      std::vector<uint8_t> packed(n);
      if (compress(packed.data(), &n, data.data(), static_cast<uLong>(data.size())) != Z_OK)
        throw std::runtime_error("compress failed");
      f.resize(f.size() + round_up(12 + n, 512), 0);
      put64(f, at * 512, uint64_t{index} * shape_.grain);
      put32(f, at * 512 + 8, static_cast<uint32_t>(n));
      std::memcpy(f.data() + at * 512 + 12, packed.data(), n);
    } else {
      f.insert(f.end(), data.begin(), data.end());
    }
    const uint32_t k = index / 512, j = index % 512;
    for (uint64_t p : {rgd_, gd_})
      if (p != 0) put32(f, (p + dir_sectors + k * 4) * 512 + j * 4, static_cast<uint32_t>(at));
  }
  if (shape_.directory_at_end) {
    const uint64_t marker = f.size() / 512;
    f.resize(f.size() + (1 + dir_sectors + 3) * 512, 0);
    put64(f, marker * 512, dir_sectors);
    put32(f, marker * 512 + 12, 2);
    std::memcpy(f.data() + (marker + 1) * 512, f.data() + gd_ * 512, dir_sectors * 512);
    const uint64_t footer = marker + 1 + dir_sectors;
    put64(f, footer * 512, 1);
    put32(f, footer * 512 + 12, 3);
    std::memcpy(f.data() + (footer + 1) * 512, f.data(), 512);
    put64(f, (footer + 1) * 512 + 56, marker + 1);
    put64(f, 56, ~uint64_t{0});
  }
  return f;
}

void VmdkExtentBuilder::write_to(const std::string& path) const { write_file(path, bytes()); }

std::string vmdk_descriptor(const std::string& create_type, const std::vector<std::string>& extents,
                            const std::string& parent, const std::string& cid,
                            const std::string& parent_cid) {
  std::string t = "# Disk DescriptorFile\nversion=1\nCID=" + cid + "\nparentCID=" + parent_cid +
                  "\ncreateType=\"" + create_type + "\"\n";
  if (!parent.empty()) t += "parentFileNameHint=\"" + parent + "\"\n";
  t += "\n# Extent description\n";
  for (const std::string& e : extents) t += e + "\n";
  t += "\n# The Disk Data Base\n#DDB\n\nddb.virtualHWVersion = \"4\"\n";
  if (parent.empty()) t += "ddb.geometry.cylinders = \"16\"\nddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\nddb.adapterType = \"ide\"\n";
  return t;
}

std::string sparse_extent_line(uint32_t sectors, const std::string& name) {
  return "RW " + std::to_string(sectors) + " SPARSE \"" + name + "\"";
}

std::string flat_extent_line(uint32_t sectors, const std::string& name, uint64_t offset) {
  return "RW " + std::to_string(sectors) + " FLAT \"" + name + "\" " + std::to_string(offset);
}

std::string write_split_vmdk(const std::string& folder) {
  std::vector<std::string> lines;
  for (int i = 0; i < 3; ++i) {
    const std::string name = "s" + std::to_string(i) + ".vmdk";
    VmdkExtentBuilder b(vmdk_shape(4096));
    b.fill(static_cast<uint32_t>(1000 * i), 300, static_cast<uint8_t>(i + 1));
    b.allocate(20);
    b.write_to(folder + "/" + name);
    lines.push_back(sparse_extent_line(4096, name));
  }
  const std::string text = vmdk_descriptor("twoGbMaxExtentSparse", lines);
  write_file(folder + "/d.vmdk", std::vector<uint8_t>(text.begin(), text.end()));
  VmdkExtentBuilder c(vmdk_shape(3 * 4096));
  c.fill(5, 1, 9);
  c.write_to(folder + "/c0.vmdk");
  const std::string child =
      vmdk_descriptor("twoGbMaxExtentSparse", {sparse_extent_line(3 * 4096, "c0.vmdk")}, "d.vmdk", "1", "12345678");
  write_file(folder + "/c.vmdk", std::vector<uint8_t>(child.begin(), child.end()));
  return folder + "/d.vmdk";
}

VmdkHeaderView read_vmdk_header(const std::vector<uint8_t>& f) {
  VmdkHeaderView h;
  h.capacity = get64(f, 12);
  h.grain = get64(f, 20);
  h.descriptor_sectors = get32(f, 36);
  h.rgd = get64(f, 48);
  h.gd = get64(f, 56);
  h.overhead = get64(f, 64);
  return h;
}

uint32_t vmdk_grain_entry(const std::vector<uint8_t>& file, uint64_t directory, uint32_t k, uint32_t j) {
  const uint32_t table = get32(file, directory * 512 + k * 4);
  return table ? get32(file, uint64_t{table} * 512 + j * 4) : 0;
}

}  // namespace qx::test
