// Builds the legacy "COWD" sparse disks: version 3 base and redo-log disks, single or split into
// numbered part files (name-02.ext...), and version 1 base and redo logs. The grain tables of a
// file lie one after another in directory order, so that qemu-img (which reads each directory
// entry as 4096 table entries) reads the same disk of a single-file version 3 base.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx::test {

struct CowdShape {
  uint32_t version = 3;
  bool redo = false;
  uint32_t total_sectors = 0;
  std::string adapter = "scsi";                  // "scsi" or "ide" (version 3 base)
  uint32_t cylinders = 0, heads = 0, sectors_per_track = 0;
  uint32_t grain = 128;
  std::string parent_name;                       // redo logs
  std::optional<uint32_t> flags;                 // default the form's own value
};

class CowdBuilder {
 public:
  explicit CowdBuilder(CowdShape shape);

  uint32_t part_count() const;
  // Stores whole sectors.
  void write(uint64_t sector, std::span<const uint8_t> data);
  // Every grain of the raw disk that holds a non-zero byte.
  void copy_raw(const std::vector<uint8_t>& disk);

  // Writes the first part at `path` and the others beside it; returns every file's path.
  std::vector<std::string> write_to(const std::string& path) const;

 private:
  std::vector<uint8_t> part_bytes(uint32_t index) const;

  CowdShape shape_;
  std::map<uint64_t, std::vector<uint8_t>> grains_;  // grain index on the disk -> its bytes
};

}  // namespace qx::test
