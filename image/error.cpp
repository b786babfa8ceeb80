#include "image/error.hpp"

namespace qx {
namespace {
const char* g_refusal = nullptr;
const char* g_refusal_key = nullptr;
}  // namespace

void note_refusal(const char* key, const char* reason) noexcept {
  g_refusal_key = key;
  g_refusal = reason;
}
void clear_refusal() noexcept { g_refusal = g_refusal_key = nullptr; }
const char* refusal_note() noexcept { return g_refusal; }
const char* refusal_key() noexcept { return g_refusal_key; }

const char* error_name(ErrorCode code) noexcept {
  switch (code) {
    case OK: return "OK";
    case CANCELLED: return "CANCELLED";
    case ERR_OPEN: return "ERR_OPEN";
    case ERR_READ: return "ERR_READ";
    case ERR_WRITE: return "ERR_WRITE";
    case ERR_FILE_SIZE: return "ERR_FILE_SIZE";
    case ERR_NO_MEMORY: return "ERR_NO_MEMORY";
    case ERR_BAD_FORMAT: return "ERR_BAD_FORMAT";
    case ERR_UNSUPPORTED: return "ERR_UNSUPPORTED";
    case ERR_CREATE: return "ERR_CREATE";
    case ERR_KEY_REQUIRED: return "ERR_KEY_REQUIRED";
    case ERR_LAYOUT: return "ERR_LAYOUT";
    case ERR_BAD_RECORD: return "ERR_BAD_RECORD";
    case ERR_FILE_SYSTEM: return "ERR_FILE_SYSTEM";
  }
  return "ERR_UNKNOWN";
}

}  // namespace qx
