// exFAT volumes for reader tests without mounting: a small formatter for exact geometry, and an
// editor that adds and deletes files on any exFAT volume (mkfs.exfat's too) by writing directory
// entry sets, the allocation bitmap and FAT chains the way the file system does, so that
// fsck.exfat accepts the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

struct ExfatSpec {
  uint32_t sector_shift = 9;
  uint32_t cluster_shift = 3;        // sectors per cluster
  uint32_t cluster_count = 1000;
  uint32_t fat_offset = 24;          // sectors
  uint32_t heap_offset = 0;          // sectors; 0: right behind the FAT, cluster aligned
  uint32_t trailing_sectors = 0;     // behind the heap
};

// Writes a sparse volume: boot sector, FAT, bitmap at cluster 2, a one-cluster up-case table,
// and a root directory (label, bitmap and up-case entries) in the cluster after it.
void build_exfat_volume(const std::string& path, const ExfatSpec& spec);

class ExfatEditor {
 public:
  explicit ExfatEditor(std::string image);

  uint32_t bytes_per_sector() const { return bytes_per_sector_; }
  uint64_t bytes_per_cluster() const { return bytes_per_cluster_; }
  uint64_t fat_offset() const { return fat_offset_; }          // bytes
  uint64_t heap_offset() const { return heap_offset_; }        // bytes
  uint32_t cluster_count() const { return cluster_count_; }
  uint32_t root_cluster() const { return root_cluster_; }
  uint32_t bitmap_cluster() const { return bitmap_cluster_; }
  uint64_t bitmap_length() const { return bitmap_length_; }
  uint64_t bitmap_entry_byte() const { return bitmap_entry_byte_; }  // image offset of its entry
  uint64_t cluster_byte(uint32_t cluster) const;
  // First and one-past-last 512-byte sector of a cluster.
  uint64_t cluster_first_sector(uint32_t cluster) const { return cluster_byte(cluster) / 512; }
  uint64_t cluster_end_sector(uint32_t cluster) const {
    return (cluster_byte(cluster) + bytes_per_cluster_) / 512;
  }
  uint64_t heap_end_sector() const { return cluster_first_sector(cluster_count_ + 2); }
  bool allocated(uint32_t cluster) const;
  // The clusters of a file, in order.
  std::vector<uint32_t> file_clusters(const std::string& name) const;
  uint32_t fat_entry(uint32_t cluster) const;
  void set_fat_entry(uint32_t cluster, uint32_t value) const;

  // Adds a file (upper-case ASCII name) to the root directory, growing the directory by a
  // cluster when it is full. A contiguous file carries no FAT chain; a fragmented one takes every
  // other free cluster and is chained. False when the volume is full.
  bool add_file(const std::string& name, uint64_t size, bool fragmented, uint8_t seed = 0x3C);
  // Marks the entry set deleted and frees the clusters in the bitmap (and the chain).
  bool delete_file(const std::string& name);

 private:
  struct EntrySet {
    uint64_t first_entry_byte = 0;
    std::vector<uint64_t> entry_bytes;  // image offsets of every entry of the set
    uint32_t first_cluster = 0;
    uint64_t length = 0;
    bool no_fat_chain = false;
  };
  std::vector<uint64_t> root_entry_bytes() const;  // image offsets of every root entry slot
  bool find_set(const std::string& name, EntrySet& out) const;
  std::vector<uint32_t> take_clusters(uint32_t n, bool fragmented) const;
  void set_allocated(uint32_t cluster, bool value);
  void write_bitmap() const;
  std::vector<uint32_t> chain(uint32_t first) const;
  bool grow_root();

  std::string image_;
  uint32_t bytes_per_sector_ = 0;
  uint64_t bytes_per_cluster_ = 0;
  uint64_t fat_offset_ = 0;
  uint64_t heap_offset_ = 0;
  uint32_t cluster_count_ = 0;
  uint32_t root_cluster_ = 0;
  uint32_t bitmap_cluster_ = 0;
  uint64_t bitmap_length_ = 0;
  uint64_t bitmap_entry_byte_ = 0;
  std::vector<uint8_t> bitmap_;
};

// The entry-set checksum and the name hash of exFAT (the name already up-cased).
uint16_t exfat_entry_set_checksum(const std::vector<uint8_t>& entries);
uint16_t exfat_name_hash(const std::u16string& upcased_name);

}  // namespace qx::test
