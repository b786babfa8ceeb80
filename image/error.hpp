// Result codes shared by every layer: 0 for success, negative values for failures.
#pragma once

#include <cstdint>

namespace qx {

enum [[nodiscard]] ErrorCode : int32_t {
  OK = 0,
  // Only trims answer this: the progress callback asked to stop.
  CANCELLED = 1,
  ERR_OPEN = -201,
  ERR_READ = -202,
  ERR_WRITE = -203,
  ERR_FILE_SIZE = -204,
  ERR_NO_MEMORY = -205,
  ERR_BAD_FORMAT = -206,
  ERR_UNSUPPORTED = -207,
  ERR_CREATE = -208,
  ERR_KEY_REQUIRED = -210,
  ERR_LAYOUT = -212,
  ERR_BAD_RECORD = -213,
  ERR_FILE_SYSTEM = -216,
};

// A sentence for the user on why an image was refused (at open, or as one that may not be
// trimmed), left by the driver that refused it with a stable short key; null when none was left.
// Detection clears it before the outermost open.
void note_refusal(const char* key, const char* reason) noexcept;
void clear_refusal() noexcept;
const char* refusal_note() noexcept;
const char* refusal_key() noexcept;

// The enumerator's own name ("ERR_LAYOUT"), for diagnostics of the inspection tool and tests.
const char* error_name(ErrorCode code) noexcept;

// Runs `body` and turns an escaping std::bad_alloc (or any other exception) into ERR_NO_MEMORY, so
// that no exception leaves a function that reports through ErrorCode.
template <typename Body>
ErrorCode guard_no_memory(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return ERR_NO_MEMORY;
  }
}

}  // namespace qx
