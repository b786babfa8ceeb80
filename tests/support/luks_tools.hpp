// Real LUKS volumes made by cryptsetup on plain files, their data written through the encryption
// here (no device-mapper): the volume key comes from `cryptsetup luksDump --dump-volume-key` and
// libgcrypt encrypts each sector as dm-crypt would. Disks of such volumes beside plain partitions,
// with a plain twin holding every payload decrypted, for the file systems' checkers afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/disk_fixture.hpp"
#include "volume/volume_keys.hpp"

namespace qx::test {

// cryptsetup installed and a build that unlocks LUKS.
bool have_luks_tools();

// The PBKDF options that keep a test's key slots fast.
inline constexpr const char* kFastPbkdf = "--pbkdf pbkdf2 --pbkdf-force-iterations 1000";

struct LuksVolume {
  uint64_t start = 0;           // of the partition, in sectors of the disk
  uint64_t sectors = 0;         // of the partition
  uint64_t payload_offset = 0;  // bytes from the volume's start
  uint32_t sector_size = 512;
  std::string cipher;           // "aes-xts-plain64"
  std::string uuid;
  std::vector<uint8_t> key;     // the volume key
};

// Formats the volume file (as it is) with `cryptsetup luksFormat -q <options>` and the passphrase
// in `key_file`, then reads the layout and the volume key back. Throws when a tool fails.
LuksVolume luks_format(const std::string& volume, const std::string& key_file, const std::string& options);

// Encrypts (or decrypts) the payload bytes [0, length) of the volume that lies at byte `at` of
// `file`, in place.
void luks_crypt(const LuksVolume& v, const std::string& file, uint64_t at, uint64_t length, bool encrypt);

// A partition of a test disk: a file system (content "vfat", "ext4", "xfs", "btrfs" or "lvm-ext4",
// an LVM2 physical volume whose one logical volume holds ext4), inside a LUKS volume formatted with
// `luks` options when they are not empty.
struct DiskPart {
  std::string content;
  uint64_t sectors = 0;
  std::string luks;
};

struct LuksDisk {
  DiskFixture disk;   // the encrypted disk; its partitions are the LUKS volumes' file systems, placed as in `plain`
  DiskFixture plain;  // the same disk with every payload decrypted
  std::vector<LuksVolume> volumes;
  std::string second_key_file;  // the passphrase of every volume's second key slot
};

// A dirty disk of the parts in order from sector 2048 (MiB-aligned), partitioned by sfdisk (MBR)
// or sgdisk (GPT), every file system holding files and deleted files; every LUKS volume has a
// second key slot.
LuksDisk make_luks_disk(const std::string& dir, const std::string& name, bool gpt,
                        const std::vector<DiskPart>& parts, const std::string& key_file);

// Decrypts every payload of a raw copy of the disk in place, so that it compares with `plain`.
void decrypt_disk(const LuksDisk& d, const std::string& raw);

// The passphrase of a key file, as quorvex reads it.
VolumeKeys keys_from_file(const std::string& key_file);

}  // namespace qx::test
