// Real NTFS volumes made by the ntfs-3g tools, for allocation tests against an oracle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

// True when mkntfs, ntfscp, ntfsls and ntfstruncate are all present.
bool have_ntfs_tools();

// Formats a file of `size` bytes, filled with a non-zero pattern first, with `mkntfs --fast` at
// the given cluster size. False when the tool fails.
bool make_ntfs_volume(const std::string& path, uint64_t size, uint32_t cluster_size);

// Copies a file of `size` pattern bytes into the root folder under `name`.
bool ntfs_add_file(const std::string& volume, const std::string& name, uint64_t size, uint8_t seed);

// Copies a file with exactly these contents into the root folder under `name` (replacing one
// of that name).
bool ntfs_put_file(const std::string& volume, const std::string& name, const std::vector<uint8_t>& content);

// Frees every cluster of a root-folder file by truncating its data to nothing (the tools have
// no remover); the clusters keep their old contents.
bool ntfs_empty_file(const std::string& volume, const std::string& name);

// A volume aged as Windows guests age: made smaller, grown with ntfsresize (which moves the
// cluster bitmap's end), then through ntfs-3g given a sparse file, a file with a second stream
// and a compressed one, filled with one-cluster files, every other one deleted, and given
// thousands of empty files, so that the master file table grows into the holes and holds its
// data runs in several records behind an attribute list. Empty when ntfs-3g cannot mount here;
// otherwise the reason it failed, or "ok".
std::string make_aged_ntfs_volume(const std::string& path);

}  // namespace qx::test
