// The progress line that a trim prints while it walks the disk.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qx {

struct ProgressState {
  bool silent = false;
  bool delete_backup = false;
  uint32_t last_length = 0;
  // A log (standard output not a terminal) gets a line only when the whole percent changes.
  bool once_per_percent = false;
  // JSON lines (quorvex --json) instead of the line; done and total are then in bytes.
  bool json = false;
  uint32_t unit_bytes = 512;
  uint32_t last_percent = UINT32_MAX;
};

// Digits of value with ',' before every group of `group` digits from the right; returns the
// length written (out must hold 27 bytes for any 64-bit value and group 3).
size_t format_thousands(uint64_t value, uint32_t group, std::span<char> out) noexcept;

// The text of one progress line, padded with blanks over the rest of the previous one; updates
// state.last_length.
std::string progress_line(uint32_t done, uint32_t total, ProgressState& state);

// The ProgressCallback of the command line: prints the line with a carriage return (or the JSON
// event); answers false once a stop signal came.
bool print_progress(uint32_t done, uint32_t total, void* user);

// A signal handler: the next progress call asks the trim to stop.
void note_stop_signal(int signal) noexcept;
bool stop_signalled() noexcept;
void clear_stop_signal() noexcept;

}  // namespace qx
