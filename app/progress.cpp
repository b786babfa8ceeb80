#include "app/progress.hpp"

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>

namespace qx {
namespace {
volatile std::sig_atomic_t g_stop = 0;
}  // namespace

void note_stop_signal(int) noexcept { g_stop = 1; }
bool stop_signalled() noexcept { return g_stop != 0; }
void clear_stop_signal() noexcept { g_stop = 0; }

size_t format_thousands(uint64_t value, uint32_t group, std::span<char> out) noexcept {
  char digits[64];
  size_t n = 0;
  uint32_t emitted = 0;
  do {
    if (group && emitted && emitted % group == 0) digits[n++] = ',';
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
    ++emitted;
  } while (value && n + 2 < sizeof digits);
  if (out.empty()) return 0;
  const size_t len = std::min(n, out.size() - 1);
  for (size_t i = 0; i < len; ++i) out[i] = digits[n - 1 - i];
  out[len] = '\0';
  return len;
}

namespace {
// An empty disk has nothing left to do: shown as complete rather than divided by zero.
uint32_t progress_percent(uint32_t done, uint32_t total) noexcept {
  return total ? static_cast<uint32_t>(uint64_t{done} * 100 / total) : 100u;
}
}  // namespace

std::string progress_line(uint32_t done, uint32_t total, ProgressState& state) {
  const uint32_t percent = progress_percent(done, total);
  char done_text[32], total_text[32], line[128];
  format_thousands(done, 3, done_text);
  format_thousands(total, 3, total_text);
  const int n = std::snprintf(line, sizeof line, "%" PRIu32 "%%  %s / %s", percent, done_text,
                              total_text);
  std::string text(line, n > 0 ? static_cast<size_t>(n) : 0);
  const uint32_t length = static_cast<uint32_t>(text.size());
  if (length < state.last_length) text.append(state.last_length - length, ' ');
  state.last_length = length;
  return text;
}

bool print_progress(uint32_t done, uint32_t total, void* user) {
  auto& state = *static_cast<ProgressState*>(user);
  if (state.silent) return !stop_signalled();
  const uint32_t percent = progress_percent(done, total);
  if ((state.once_per_percent || state.json) && percent == state.last_percent) return !stop_signalled();
  state.last_percent = percent;
  try {
    if (state.json) {
      std::printf("{\"event\": \"progress\", \"phase\": \"trim\", \"done_bytes\": %" PRIu64
                  ", \"total_bytes\": %" PRIu64 "}\n",
                  uint64_t{done} * state.unit_bytes, uint64_t{total} * state.unit_bytes);
    } else {
      const std::string line = progress_line(done, total, state);
      std::printf("%s\r", line.c_str());
    }
    std::fflush(stdout);
  } catch (...) {
    // A progress line that cannot be built is not worth failing a trim for.
  }
  return !stop_signalled();
}

}  // namespace qx
