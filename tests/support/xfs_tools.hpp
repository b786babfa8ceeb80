// Real XFS volumes made by xfsprogs for reader tests, and xfs_db as the oracle of their free space.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

// True when mkfs.xfs, xfs_db and xfs_repair are all installed.
bool have_xfs_tools();

// Runs mkfs.xfs on a sparse file of `size` bytes with the given options (e.g. "-m crc=0 -b
// size=512 -d agcount=2"); small sizes are allowed. Returns mkfs's exit status.
int make_xfs_volume(const std::string& path, uint64_t size, const std::string& options,
                    const std::string& proto_file = "");

// Writes a prototype file for `mkfs.xfs -p`: one directory per entry of `dirs`, each holding
// `files_per_dir` copies of `source` named f1, f2, ...
void write_xfs_proto(const std::string& proto_path, const std::vector<std::string>& dirs,
                     int files_per_dir, const std::string& source);

// Fragments free space the way deleting files would: every other regular file of the listed
// directories loses its extents (with xfs_db), and xfs_repair returns their blocks to the free
// space, rebuilding both free-space trees. False when a tool fails.
bool punch_every_other_file(const std::string& path, const std::vector<std::string>& dirs);

struct XfsExtentRow {
  uint32_t group;
  uint32_t start;
  uint32_t count;
};

// What xfs_db says of a volume.
struct XfsOracle {
  bool ok = false;
  uint32_t block_size = 0;
  uint32_t ag_blocks = 0;
  uint32_t ag_count = 0;
  uint64_t data_blocks = 0;
  std::vector<XfsExtentRow> free_extents;          // `freesp -d`: tree extents and listed blocks
  std::vector<std::vector<uint32_t>> free_list;     // per group: blocks on its free list
  std::vector<uint32_t> by_block_levels;            // per group: depth of the by-block tree

  // Free in the sense the reader must answer: in a free extent and not held on a free list.
  std::vector<bool> free_blocks() const;
};
XfsOracle read_xfs_oracle(const std::string& path);

}  // namespace qx::test
