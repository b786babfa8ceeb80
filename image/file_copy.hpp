// Copies between two files inside the kernel (copy_file_range) where the system can, so that kept
// data never passes through user memory; through a buffer where it cannot.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qx {

class FileCopier {
 public:
  // Opens the source for reading and the target (which must exist) for writing, by name and never
  // through a link, beside whatever other handles the caller holds on them. Its calls go through
  // the file primitives' test seam.
  FileCopier(std::string_view from, std::string_view to) noexcept;
  ~FileCopier();
  FileCopier(const FileCopier&) = delete;
  FileCopier& operator=(const FileCopier&) = delete;

  bool is_open() const noexcept { return from_ >= 0 && to_ >= 0; }
  // Copies length bytes at from_offset of the source to to_offset of the target; false when the
  // source ends early or a read or write fails. A caller writing the target through a buffered
  // stream flushes it first where the ranges meet. The copied range starts on its way to the disk.
  [[nodiscard]] bool copy(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept;

 private:
  bool copy_range(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept;
  bool copy_through_buffer(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept;
  int from_ = -1;
  int to_ = -1;
  bool in_kernel_ = true;
  std::vector<uint8_t> buffer_;
};

}  // namespace qx
