// Real Btrfs volumes made by btrfs-progs and filled through a loop mount, and btrfs-progs' own
// dump of their chunks and extents as the oracle of what they use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/fs_support.hpp"

namespace qx::test {

// True when mkfs.btrfs and btrfs are installed and this machine may loop-mount a Btrfs volume.
bool have_btrfs_tools();

// Formats `size` bytes of dirty file without discard (`mkfs.btrfs -K -f` plus `mkfs_options`)
// and fills it. Empty on success, else what failed.
std::string make_btrfs_volume(const std::string& path, uint64_t size, const std::string& mkfs_options,
                              const std::string& mount_options = "compress=zstd:1");

// Mounts the volume that lies at byte `offset` of `file` and ages it as a guest would: two
// subvolumes of files, compressible and not, a read-only snapshot sharing their extents, half the
// files deleted, a preallocated file; then unmounts it cleanly. Empty on success.
std::string fill_btrfs(const std::string& file, uint64_t offset, uint64_t size,
                       const std::string& mount_options = "compress=zstd:1");

// What btrfs-progs' dump-tree and dump-super say of a volume file: its allocation in units of
// 4 KiB ('a' for the first MiB, superblock copies, every extent and every tree block in every
// stripe of its chunk; 'f' for the rest).
OracleAllocation read_btrfs_oracle(const std::string& path);

// `btrfs check --readonly` over a volume file; empty when it passes, else its output.
std::string btrfs_check(const std::string& path);

// Rewrites the CRC-32C of the 4 KiB superblock at `offset`, or of a tree block of `size` bytes.
void reseal_btrfs_block(const std::string& path, uint64_t offset, uint32_t size);

// Where dump-tree finds things: the node size, the logical address of a tree's root block and of
// the first leaf of that tree holding an item of the named type ("BLOCK_GROUP_ITEM"), or 0.
uint32_t btrfs_node_size(const std::string& path);
uint64_t btrfs_tree_root(const std::string& path, const std::string& tree);
uint64_t btrfs_leaf_with(const std::string& path, const std::string& tree, const std::string& item_type);
// The device offsets of every copy of the block at a logical address.
std::vector<uint64_t> btrfs_block_copies(const std::string& path, uint64_t logical);

}  // namespace qx::test
