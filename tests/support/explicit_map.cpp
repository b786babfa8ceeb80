#include "support/explicit_map.hpp"

#include <memory>

#include "fs/reader.hpp"
#include "image/sector_bitmap.hpp"

namespace qx::test {
namespace {

struct ExplicitState : ReaderState {
  std::vector<uint8_t> bits;
  uint64_t declared_sectors() const noexcept override { return UINT64_MAX; }
};

ErrorCode no_probe(DiskImage&, uint32_t, uint32_t, std::unique_ptr<ReaderState>&) { return ERR_FILE_SYSTEM; }

ErrorCode explicit_mark(const ReaderState& state, uint32_t first, uint32_t count, std::span<uint8_t> bitmap,
                        uint32_t bit) {
  const auto& bits = static_cast<const ExplicitState&>(state).bits;
  for (uint32_t i = 0; i < count; ++i) put_bit(bitmap, uint64_t{bit} + i, test_bit(bits, uint64_t{first} + i));
  return OK;
}

const FsReader kExplicitReader = {"explicit", no_probe, explicit_mark};

}  // namespace

ExplicitUsageMap::ExplicitUsageMap(uint32_t total) {
  auto state = std::make_unique<ExplicitState>();
  state->bits.assign(bitmap_bytes(total), 0xFF);
  bits_ = &state->bits;
  map_.volumes.push_back(VolumeEntry{0, total, KIND_PLACEHOLDER_7, std::move(state)});
  override_fs_reader(KIND_PLACEHOLDER_7, &kExplicitReader);
}

ExplicitUsageMap::~ExplicitUsageMap() { override_fs_reader(KIND_PLACEHOLDER_7, nullptr); }

void ExplicitUsageMap::set_free(uint32_t first, uint32_t count) { put_bits(*bits_, first, count, false); }

}  // namespace qx::test
