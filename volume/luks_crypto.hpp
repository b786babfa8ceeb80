// The two libraries behind unlocked volumes: the LUKS reference library gives the volume key for a
// passphrase, and a crypto library decrypts the payload an encryption sector at a time. Both exist
// only in builds that have them (QX_HAVE_LUKS).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fs/reader.hpp"
#include "image/disk_image.hpp"
#include "volume/luks.hpp"
#include "volume/volume_keys.hpp"

namespace qx {

// Decrypts the sectors of one payload: the cipher and IV scheme of a dm-crypt mapping, the IV
// counting 512-byte sectors whatever the sector size (as LUKS has it).
class SectorCipher {
 public:
  SectorCipher() = default;
  ~SectorCipher();
  SectorCipher(const SectorCipher&) = delete;
  SectorCipher& operator=(const SectorCipher&) = delete;

  // ERR_UNSUPPORTED for a cipher or mode this build does not decrypt.
  [[nodiscard]] ErrorCode init(std::string_view cipher, std::string_view mode, std::span<const uint8_t> key);
  // One encryption sector in place; `iv_sector` numbers its first 512 bytes.
  [[nodiscard]] ErrorCode decrypt(uint64_t iv_sector, std::span<uint8_t> sector);

 private:
  enum class Iv : uint8_t { kPlain, kPlain64, kEssiv };
  [[nodiscard]] ErrorCode make_iv(uint64_t sector, uint8_t (&iv)[16]);
  void* data_ = nullptr;  // the library's handles
  void* essiv_ = nullptr;
  Iv iv_ = Iv::kPlain64;
  size_t block_ = 16;
};

// Tries the passphrases in turn on the LUKS volume [first, first + count): OK with the payload and
// the volume key; otherwise `why` says what kept it locked (ERR_KEY_REQUIRED when no key slot
// opened, ERR_READ when the image could not be read).
[[nodiscard]] ErrorCode unlock_luks(DiskImage& image, uint32_t first, uint32_t count,
                                    std::span<const Secret* const> passphrases, LuksPayload& payload,
                                    Secret& volume_key, KeptWholeReason& why);

// The decrypting view: `payload_sectors` 512-byte sectors from absolute sector `payload_start` of
// `outer`, a whole number of encryption sectors.
[[nodiscard]] ErrorCode open_decrypted_view(DiskImage& view, DiskImage& outer, uint64_t payload_start,
                                            uint32_t payload_sectors, const LuksPayload& payload,
                                            std::span<const uint8_t> volume_key);

}  // namespace qx
