// The map of used sectors: the disk cut into consecutive volumes, each answered by the allocation
// reader of its file system (or counted as wholly used).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/disk_image.hpp"
#include "image/error.hpp"

namespace qx {

enum VolumeKind : int32_t {
  KIND_NTFS = 0,
  KIND_EXT = 1,
  KIND_FAT = 2,
  KIND_XFS = 3,
  KIND_EXFAT = 4,
  KIND_PLACEHOLDER_5 = 5,
  KIND_HFSPLUS = 6,
  KIND_PLACEHOLDER_7 = 7,
  KIND_SWAP = 8,
  KIND_BTRFS = 9,
  KIND_UNRECOGNISED = -1,
  KIND_GAP = -2,
};
inline constexpr int32_t kReaderKindCount = 10;

const char* volume_kind_name(int32_t kind) noexcept;

// Base of every allocation reader's state: what it loaded at probe time to answer queries.
struct ReaderState {
  virtual ~ReaderState() = default;
};

// Why a volume is kept whole although a reader knew its file system: a stable short key
// ("log_not_replayed") and words a user can act on. Empty when there is none.
struct KeptWholeReason {
  std::string key;
  std::string text;
  bool empty() const noexcept { return key.empty(); }
};

// Called by a probe that recognised its file system but cannot vouch for its allocation, just
// before it fails: the map keeps the first reason left on the volume entry. Outside a probe that
// the map (or a ReasonCapture) runs, it does nothing.
void keep_whole_because(std::string_view key, std::string_view text) noexcept;

// Collects what keep_whole_because() leaves on this thread while it lives.
class ReasonCapture {
 public:
  ReasonCapture() noexcept;
  ~ReasonCapture();
  ReasonCapture(const ReasonCapture&) = delete;
  ReasonCapture& operator=(const ReasonCapture&) = delete;
  const KeptWholeReason& reason() const noexcept { return reason_; }

 private:
  friend void keep_whole_because(std::string_view key, std::string_view text) noexcept;
  KeptWholeReason reason_;
  ReasonCapture* outer_;
};

struct VolumeEntry {
  uint32_t start = 0;
  uint32_t length = 0;
  int32_t kind = KIND_UNRECOGNISED;
  std::unique_ptr<ReaderState> state;
  KeptWholeReason reason = {};  // only on unrecognised volumes
};

struct UsageMap {
  std::vector<VolumeEntry> volumes;
};

[[nodiscard]] std::unique_ptr<UsageMap> build_usage_map(DiskImage& image, ErrorCode& error,
                                                        uint32_t& recognised) noexcept;
// Writes bit i (1 = used) of `bitmap` for sector first + i, for every i below count.
ErrorCode query_used(const UsageMap& map, uint32_t first, uint32_t count, std::span<uint8_t> bitmap);
// True in `droppable` when every sector of the range is free or all zero; `data` holds the
// count sectors.
ErrorCode is_block_droppable(const UsageMap& map, uint32_t first, uint32_t count, bool& droppable,
                             std::span<const uint8_t> data);
// Ends every entry and empties the volume list.
void destroy_usage_map(UsageMap& map) noexcept;

struct FsReader;
// Test hook: maps built from now on probe and query `reader` for `kind` instead of the reader
// table's entry; null restores the table's reader.
void override_fs_reader(int32_t kind, const FsReader* reader) noexcept;

}  // namespace qx
