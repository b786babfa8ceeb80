// Builds Parallels expanding images of both signatures and bundle folders with their
// "DiskDescriptor.xml", including the shapes no tool on the test machine makes: the old
// sector-counting signature, padded entries, several storages, "Plain" storages and damaged
// descriptors.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx::test {

struct ParallelsShape {
  uint32_t total_sectors = 0;
  bool cluster_signature = true;       // "WithouFreSpacExt"; false: "WithoutFreeSpace"
  uint32_t cluster_sectors = 2048;
  std::optional<uint32_t> entries;     // default: enough clusters for the disk
  uint32_t heads = 16;
  std::optional<uint32_t> cylinders;   // default: heads x cylinders x cluster sectors covers the disk
  std::optional<uint32_t> data_offset; // sectors; default where the format puts the clusters
  uint32_t padding = 0;                // subtracted from the sector of every entry (bundle images)
  bool in_use = false;
};

class ParallelsBuilder {
 public:
  explicit ParallelsBuilder(ParallelsShape shape);

  uint32_t entries() const;
  // First byte of cluster data in the file the builder writes.
  uint64_t data_start() const;
  const ParallelsShape& shape() const { return shape_; }

  // Stores whole sectors, allocating their clusters.
  void write(uint32_t sector, std::span<const uint8_t> data);
  void fill(uint32_t sector, uint32_t count, uint8_t value);
  void allocate(uint32_t cluster);

  std::vector<uint8_t> bytes() const;
  void write_to(const std::string& path) const;

 private:
  std::vector<uint8_t>& cluster(uint32_t index);
  ParallelsShape shape_;
  std::map<uint32_t, std::vector<uint8_t>> clusters_;
};

// The fields of an expanding image that tests check, read straight from its bytes.
struct ParallelsFileView {
  std::string signature;
  uint32_t cluster_sectors = 0;
  uint32_t entries = 0;
  uint64_t total_sectors = 0;
  uint32_t data_offset = 0;
  std::vector<uint32_t> bat;
};
ParallelsFileView parse_parallels(const std::vector<uint8_t>& file);

struct BundleImageShape {
  std::string guid;
  std::string type = "Compressed";
  std::string file;
};

struct BundleStorageShape {
  std::string start, end;  // texts, as the descriptor holds them
  std::vector<BundleImageShape> images;
};

inline const std::string kRootParentGuid = "{00000000-0000-0000-0000-000000000000}";
inline const std::string kSnapshotGuid = "{5fbaabe3-6958-40ff-92a7-860e329aab41}";

struct BundleShape {
  uint32_t disk_size = 0;
  uint32_t heads = 16;
  uint32_t sectors = 32;
  uint32_t padding = 0;
  std::vector<std::pair<std::string, std::string>> shots{{kSnapshotGuid, kRootParentGuid}};
  std::vector<BundleStorageShape> storages;
};

// One storage per (start, end, file) of the one snapshot, "Compressed" unless a type is given.
BundleShape bundle_shape(uint32_t disk_size, const std::vector<std::vector<std::string>>& storages);
std::string descriptor_xml(const BundleShape& shape);
// Creates the folder and writes its "DiskDescriptor.xml"; the image files are the caller's.
void write_bundle_descriptor(const std::string& folder, const BundleShape& shape);

}  // namespace qx::test
