#include "support/parallels_builder.hpp"

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "image/byte_order.hpp"
#include "support/test_support.hpp"

namespace qx::test {

ParallelsBuilder::ParallelsBuilder(ParallelsShape shape) : shape_(shape) {}

uint32_t ParallelsBuilder::entries() const {
  return shape_.entries.value_or((shape_.total_sectors + shape_.cluster_sectors - 1) / shape_.cluster_sectors);
}

uint64_t ParallelsBuilder::data_start() const {
  if (shape_.data_offset) return uint64_t{*shape_.data_offset} * 512;
  const uint64_t table_end = 64 + 4 * uint64_t{entries()};
  if (!shape_.cluster_signature) return ((4 * uint64_t{entries()} + 65) & ~uint64_t{511}) + 512;
  const uint64_t cluster = uint64_t{shape_.cluster_sectors} * 512;
  return (table_end + cluster - 1) / cluster * cluster;
}

std::vector<uint8_t>& ParallelsBuilder::cluster(uint32_t index) {
  auto& c = clusters_[index];
  if (c.empty()) c.assign(size_t{shape_.cluster_sectors} * 512, 0);
  return c;
}

void ParallelsBuilder::allocate(uint32_t index) { (void)cluster(index); }

void ParallelsBuilder::write(uint32_t sector, std::span<const uint8_t> data) {
  for (size_t done = 0; done < data.size(); done += 512, ++sector)
    std::memcpy(cluster(sector / shape_.cluster_sectors).data() + size_t{sector % shape_.cluster_sectors} * 512,
                data.data() + done, 512);
}

void ParallelsBuilder::fill(uint32_t sector, uint32_t count, uint8_t value) {
  std::vector<uint8_t> data(size_t{count} * 512, value);
  write(sector, data);
}

std::vector<uint8_t> ParallelsBuilder::bytes() const {
  const uint64_t start = data_start();
  std::vector<uint8_t> out(static_cast<size_t>(start + clusters_.size() * uint64_t{shape_.cluster_sectors} * 512), 0);
  std::memcpy(out.data(), shape_.cluster_signature ? "WithouFreSpacExt" : "WithoutFreeSpace", 16);
  const uint32_t cylinders = shape_.cylinders.value_or(
      (shape_.total_sectors + shape_.heads * shape_.cluster_sectors - 1) / (shape_.heads * shape_.cluster_sectors));
  store_le<uint32_t>(&out[16], 2);
  store_le<uint32_t>(&out[20], shape_.heads);
  store_le<uint32_t>(&out[24], cylinders);
  store_le<uint32_t>(&out[28], shape_.cluster_sectors);
  store_le<uint32_t>(&out[32], entries());
  store_le<uint64_t>(&out[36], shape_.total_sectors);
  store_le<uint32_t>(&out[44], shape_.in_use ? 0x746F6E59u : 0);
  store_le<uint32_t>(&out[48], static_cast<uint32_t>(start / 512));
  uint64_t at = start;
  for (const auto& [index, data] : clusters_) {
    const uint64_t value = shape_.cluster_signature ? at / data.size() : at / 512 - shape_.padding;
    store_le<uint32_t>(&out[64 + 4 * size_t{index}], static_cast<uint32_t>(value));
    std::memcpy(out.data() + at, data.data(), data.size());
    at += data.size();
  }
  return out;
}

void ParallelsBuilder::write_to(const std::string& path) const { write_file(path, bytes()); }

ParallelsFileView parse_parallels(const std::vector<uint8_t>& file) {
  if (file.size() < 64) throw std::runtime_error("shorter than a header");
  ParallelsFileView v;
  v.signature.assign(reinterpret_cast<const char*>(file.data()), 16);
  v.cluster_sectors = le32(&file[28]);
  v.entries = le32(&file[32]);
  v.total_sectors = le64(&file[36]);
  v.data_offset = le32(&file[48]);
  if (file.size() < 64 + 4 * uint64_t{v.entries}) throw std::runtime_error("table cut off");
  for (uint32_t i = 0; i < v.entries; ++i) v.bat.push_back(le32(&file[64 + 4 * size_t{i}]));
  return v;
}

BundleShape bundle_shape(uint32_t disk_size, const std::vector<std::vector<std::string>>& storages) {
  BundleShape shape;
  shape.disk_size = disk_size;
  for (const auto& s : storages)
    shape.storages.push_back({s.at(0), s.at(1), {{kSnapshotGuid, s.size() > 3 ? s[3] : "Compressed", s.at(2)}}});
  return shape;
}

std::string descriptor_xml(const BundleShape& shape) {
  std::string x = "<?xml version='1.0' encoding='UTF-8'?>\n<Parallels_disk_image Version=\"1.0\">\n";
  x += "  <Disk_Parameters>\n    <Disk_size>" + std::to_string(shape.disk_size) + "</Disk_size>\n";
  x += "    <Cylinders>" + std::to_string(shape.disk_size / shape.heads / shape.sectors) + "</Cylinders>\n";
  x += "    <Heads>" + std::to_string(shape.heads) + "</Heads>\n    <Sectors>" + std::to_string(shape.sectors) +
       "</Sectors>\n    <Padding>" + std::to_string(shape.padding) + "</Padding>\n";
  x += "    <Encryption>\n      <Engine>{00000000-0000-0000-0000-000000000000}</Engine>\n"
       "      <Data></Data>\n    </Encryption>\n    <UID>{b7a2bd95-e9da-4a3a-9b7d-f4ef7e0ed5bb}</UID>\n"
       "    <Name>disk</Name>\n    <Miscellaneous>\n      <CompatLevel>level2</CompatLevel>\n"
       "      <Bootable>1</Bootable>\n      <SuspendState>0</SuspendState>\n    </Miscellaneous>\n"
       "  </Disk_Parameters>\n  <StorageData>\n";
  for (const auto& s : shape.storages) {
    x += "    <Storage>\n      <Start>" + s.start + "</Start>\n      <End>" + s.end +
         "</End>\n      <Blocksize>2048</Blocksize>\n";
    for (const auto& i : s.images)
      x += "      <Image>\n        <GUID>" + i.guid + "</GUID>\n        <Type>" + i.type +
           "</Type>\n        <File>" + i.file + "</File>\n      </Image>\n";
    x += "    </Storage>\n";
  }
  x += "  </StorageData>\n  <Snapshots>\n    <TopGUID>" + shape.shots.front().first + "</TopGUID>\n";
  for (const auto& [guid, parent] : shape.shots)
    x += "    <Shot>\n      <GUID>" + guid + "</GUID>\n      <ParentGUID>" + parent + "</ParentGUID>\n    </Shot>\n";
  x += "  </Snapshots>\n</Parallels_disk_image>\n";
  return x;
}

void write_bundle_descriptor(const std::string& folder, const BundleShape& shape) {
  std::filesystem::create_directories(folder);
  const std::string x = descriptor_xml(shape);
  write_file(folder + "/DiskDescriptor.xml", std::vector<uint8_t>(x.begin(), x.end()));
}

}  // namespace qx::test
