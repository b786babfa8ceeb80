// The reader table of the used-sector map, indexed by volume kind.
#include <array>

#include "fs/reader.hpp"

#include "fs/btrfs/btrfs_reader.hpp"
#include "fs/exfat/exfat_reader.hpp"
#include "fs/ext/ext_reader.hpp"
#include "fs/fat/fat_reader.hpp"
#include "fs/hfsplus/hfsplus_reader.hpp"
#include "fs/ntfs/ntfs_reader.hpp"
#include "fs/swap/swap_reader.hpp"
#include "fs/xfs/xfs_reader.hpp"

namespace qx {
namespace {

// Recognises nothing: the slot of a kind whose reader does not exist yet.
ErrorCode absent_probe(DiskImage&, uint32_t, uint32_t, std::unique_ptr<ReaderState>&) {
  return ERR_FILE_SYSTEM;
}
ErrorCode absent_mark(const ReaderState&, uint32_t, uint32_t, std::span<uint8_t>, uint32_t) {
  return ERR_FILE_SYSTEM;
}

// Kind 7 never owns a volume either, but fails its probe as a layout error.
ErrorCode placeholder7_probe(DiskImage&, uint32_t, uint32_t, std::unique_ptr<ReaderState>&) {
  return ERR_LAYOUT;
}

const FsReader kAbsentReader = {"none", absent_probe, absent_mark};
const FsReader kPlaceholder5 = {"placeholder", absent_probe, absent_mark};
const FsReader kPlaceholder7 = {"placeholder", placeholder7_probe, absent_mark};

const std::array<const FsReader*, kReaderKindCount> kReaders = {
    &kNtfsReader,    // 0 NTFS
    &kExtReader,     // 1 ext2/3/4
    &kFatReader,     // 2 FAT
    &kXfsReader,     // 3 XFS
    &kExfatReader,   // 4 exFAT
    &kPlaceholder5,  // 5
    &kHfsPlusReader,  // 6 HFS+
    &kPlaceholder7,  // 7
    &kSwapReader,    // 8 Linux swap (probed last)
    &kBtrfsReader,   // 9 Btrfs
};

}  // namespace

const FsReader& fs_reader(int32_t kind) noexcept {
  if (kind < 0 || kind >= kReaderKindCount) return kAbsentReader;
  return *kReaders[static_cast<size_t>(kind)];
}

const char* volume_kind_name(int32_t kind) noexcept {
  switch (kind) {
    case KIND_NTFS: return "ntfs";
    case KIND_EXT: return "ext";
    case KIND_FAT: return "fat";
    case KIND_XFS: return "xfs";
    case KIND_EXFAT: return "exfat";
    case KIND_PLACEHOLDER_5: return "placeholder5";
    case KIND_HFSPLUS: return "hfsplus";
    case KIND_PLACEHOLDER_7: return "placeholder7";
    case KIND_SWAP: return "swap";
    case KIND_BTRFS: return "btrfs";
    case KIND_LUKS: return "luks";
    case KIND_UNRECOGNISED: return "unrecognised";
    case KIND_GAP: return "gap";
    case KIND_BITLOCKER: return "bitlocker";
    case KIND_APFS: return "apfs";
    case KIND_FILEVAULT: return "filevault";
    case KIND_ZFS: return "zfs";
    case KIND_REFS: return "refs";
    case KIND_LDM: return "ldm";
    case KIND_STORAGE_SPACES: return "storage_spaces";
    case KIND_MD_RAID: return "md_raid";
    case KIND_BCACHE: return "bcache";
    case KIND_DM_INTEGRITY: return "dm_integrity";
    case KIND_VDO: return "vdo";
    default: return "unknown";
  }
}

namespace {
thread_local ReasonCapture* t_capture = nullptr;
}  // namespace

void keep_whole_because(std::string_view key, std::string_view text) noexcept {
  if (!t_capture || !t_capture->reason().empty()) return;
  try {
    t_capture->reason_ = KeptWholeReason{std::string(key), std::string(text)};
  } catch (...) {
  }
}

ReasonCapture::ReasonCapture() noexcept : outer_(t_capture) { t_capture = this; }
ReasonCapture::~ReasonCapture() { t_capture = outer_; }

}  // namespace qx
