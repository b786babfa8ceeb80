// A directory tree of files of many sizes, for populating volumes with tools that copy a folder
// (mke2fs -d, mkfs.xfs -p, mcopy -s...).
#pragma once

#include <cstdint>
#include <string>

namespace qx::test {

// Fills `dir` (created if missing) with nested folders, empty and tiny files, files around block
// sizes, larger files, a file with a hole and symbolic links. Content is deterministic, never
// zero, and derived from `seed`. Returns the number of data bytes written.
uint64_t make_sample_tree(const std::string& dir, uint32_t seed = 1);

}  // namespace qx::test
