// The one way the writers move kept data that lies in a source file as it is: shared with the
// source where the file system can clone it (the output then costs no space for it), copied
// inside the kernel where it cannot, and through a buffer only where neither is possible. The
// bytes of the output do not depend on which of these wrote them.
#pragma once

#include <cstdint>
#include <vector>

#include "image/error.hpp"

namespace qx {

// The most capable way a copier may take; lower ones stay allowed. Tests force the lower ones to
// check that every way writes the same output.
enum class CopyPath : uint8_t { kBuffer, kKernel, kClone };
void set_copy_path_limit(CopyPath limit) noexcept;

// Bytes moved each way since the process started.
struct CopyCounts {
  uint64_t cloned = 0;
  uint64_t in_kernel = 0;
  uint64_t buffered = 0;
};
[[nodiscard]] CopyCounts copy_counts() noexcept;

class File;

class FileCopier {
 public:
  // Reads from and writes to the caller's own open files, which must outlive the copier; the
  // caller may go on using them meanwhile. Its calls go through the file primitives' test seam.
  FileCopier(File& from, File& to) noexcept;
  ~FileCopier() = default;
  FileCopier(const FileCopier&) = delete;
  FileCopier& operator=(const FileCopier&) = delete;

  bool is_open() const noexcept;
  // Asks for length bytes at from_offset of the source to land at to_offset of the target. Runs
  // that follow each other in both files are merged and carried out together, so the copy may
  // happen only at a later call or at finish(); false when an earlier run failed. A caller that
  // writes where a queued range lies calls finish() first.
  [[nodiscard]] bool copy(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept;
  // Carries out what is still asked for; false when the source ends early or a read or write
  // failed. A caller calls it before it reads the target's length or syncs the target.
  [[nodiscard]] bool finish() noexcept;
  // After a failure: ERR_READ when the source could not be read (or ended early), ERR_WRITE when
  // the target could not take the data.
  ErrorCode failure() const noexcept { return failure_; }

 private:
  bool run(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept;
  bool clone_range(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept;
  bool copy_range(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept;
  bool copy_through_buffer(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept;
  void write_behind(uint64_t to_offset, uint64_t length) noexcept;
  void read_ahead(uint64_t end) noexcept;
  bool fail(ErrorCode why) noexcept;

  File& from_;
  File& to_;
  bool clone_ = false;
  bool in_kernel_ = false;
  bool failed_ = false;
  ErrorCode failure_ = OK;
  uint64_t clone_block_ = 0;
  uint64_t pending_from_ = 0, pending_to_ = 0, pending_length_ = 0;
  uint64_t read_ahead_from_ = 0, read_ahead_to_ = 0;  // of the source, asked for already
  // Output written but not yet known to be on the disk: [dirty_begin_, dirty_end_), of which
  // [dirty_begin_, started_end_) has already been sent on its way.
  uint64_t dirty_begin_ = 0, dirty_end_ = 0, started_end_ = 0;
  std::vector<uint8_t> buffer_;
};

}  // namespace qx
