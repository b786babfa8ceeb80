#include "fuzz/fuzz_support.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "formats/trim_walk.hpp"
#include "image/replacement.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx::fuzz {

const std::string& scratch_dir() {
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string d = std::string(base && *base ? base : "/tmp") + "/qx-fuzz-" + std::to_string(::getpid());
    ::mkdir(d.c_str(), 0700);
    return d;
  }();
  return dir;
}

std::string write_scratch(const std::string& name, std::span<const uint8_t> bytes) {
  const std::string path = scratch_dir() + "/" + name;
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    if (!bytes.empty()) (void)std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return path;
}

void exercise_image(DiskImage& image) {
  const DiskGeometry g = get_geometry(image);
  std::vector<uint8_t> buf(64 * 1024);
  (void)read_bytes(image, 0, std::span(buf).first(std::min<uint64_t>(buf.size(), g.size_bytes())));
  if (g.size_bytes() > buf.size()) (void)read_bytes(image, g.size_bytes() - buf.size(), buf);
  (void)image_identity(image);
  (void)parent_chain_status(image);
  (void)can_trim(image);
  (void)needs_layer_local_trim(image);

  ErrorCode error = OK;
  uint32_t recognised = 0;
  auto map = build_usage_map(image, error, recognised);
  if (!map) return;
  // Bounded, so that a huge virtual disk costs the same as a small one.
  constexpr uint32_t kStep = 4096, kLimit = 1u << 18;
  std::vector<uint8_t> bits(bitmap_bytes(kStep));
  const uint32_t total = std::min(g.total_sectors, kLimit);
  for (uint32_t first = 0; first < total; first += kStep) {
    const uint32_t n = std::min(kStep, total - first);
    (void)query_used(*map, first, n, bits);
    bool free = false;
    (void)is_range_free(image, map.get(), first, n, free, nullptr);
    (void)is_range_free_in_layer(image, map.get(), first, n, free);
  }
  destroy_usage_map(*map);
}

namespace {
bool keep_going(uint32_t, uint32_t, void*) { return true; }
}  // namespace

void trim_and_discard(DiskImage& image, const std::string& path) {
  ErrorCode error = OK;
  uint32_t recognised = 0;
  auto map = build_usage_map(image, error, recognised);
  if (!map) return;
  WriterRecord record;
  FileSink files(record);
  (void)trim_image(image, path, *map, files, keep_going, nullptr);
  (void)discard_writer_record(record);
}

void trim_in_place(DiskImage& image, const std::string& path) {
  ErrorCode error = OK;
  uint32_t recognised = 0;
  auto map = build_usage_map(image, error, recognised);
  if (!map) return;
  (void)trim_image_in_place(image, path, *map, keep_going, nullptr);
}

}  // namespace qx::fuzz
