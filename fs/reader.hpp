// The allocation readers, one per volume kind, that the used-sector map probes, and the state each
// keeps of its volume.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "image/disk_image.hpp"

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
  // An encrypted volume that carries others: unlocked, what lies inside is read; locked, kept.
  KIND_LUKS = 10,
  KIND_UNRECOGNISED = -1,
  KIND_GAP = -2,
  // Volumes known by their signature and always kept whole: nothing inside them is read.
  KIND_BITLOCKER = -3,
  KIND_APFS = -4,
  KIND_FILEVAULT = -5,
  KIND_ZFS = -6,
  KIND_REFS = -7,
  KIND_LDM = -8,
  KIND_STORAGE_SPACES = -9,
  KIND_MD_RAID = -10,
  KIND_BCACHE = -11,
  KIND_DM_INTEGRITY = -12,
  KIND_VDO = -13,
};
inline constexpr int32_t kReaderKindCount = 10;

const char* volume_kind_name(int32_t kind) noexcept;

// Base of every allocation reader's state: what it loaded at probe time to answer queries.
struct ReaderState {
  virtual ~ReaderState() = default;
  // Volume sectors from the first that the file system declares its own; the map keeps every
  // sector behind them, whatever mark() says. None unless a reader says: the volume is then kept.
  virtual uint64_t declared_sectors() const noexcept { return 0; }
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

struct FsReader {
  const char* name;
  // OK when the region [first, first + count) holds this file system; `state` then holds what
  // later queries need. Any error otherwise, with `state` left empty.
  ErrorCode (*probe)(DiskImage& image, uint32_t first, uint32_t count,
                     std::unique_ptr<ReaderState>& state);
  // Writes bit bit_index + i for the volume-relative sector first + i (1 used, 0 free).
  ErrorCode (*mark)(const ReaderState& state, uint32_t first, uint32_t count,
                    std::span<uint8_t> bitmap, uint32_t bit_index);
};

// The reader of kinds 0 to kReaderKindCount - 1.
const FsReader& fs_reader(int32_t kind) noexcept;

}  // namespace qx
