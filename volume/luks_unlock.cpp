// The volume key of a LUKS volume, from the LUKS reference library (libcryptsetup). The library
// reads headers from a device path: it is given a copy of the volume's header region in a file
// that lives in memory only, so that no device-mapper, no loop device and no root rights are
// needed, and nothing of the header lands on a disk. The copy holds the header as the image holds
// it (key slots encrypted under their passphrases); no key ever goes there.
#ifdef QX_HAVE_LUKS

#include <libcryptsetup.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "image/primitives.hpp"
#include "platform/file_ops.hpp"
#include "volume/luks_crypto.hpp"

namespace qx {
namespace {

// What is copied before the library says how large the header is: every default layout.
constexpr uint64_t kFirstCopyBytes = uint64_t{16} << 20;
// LUKS2 allows key-slot areas of up to 128 MiB behind two metadata copies of up to 4 MiB.
constexpr uint64_t kMaxHeaderBytes = uint64_t{136} << 20;
constexpr uint64_t kCopyStep = uint64_t{1} << 20;

// The library's messages would carry nothing the reasons do not, and some name the device path.
void quiet(int, const char*, void*) {}

void set_up_library() {
  static const bool once = [] {
    crypt_set_log_callback(nullptr, quiet, nullptr);
    // Token plugins (TPM, FIDO2) are never needed for a passphrase: none is loaded.
    crypt_token_external_disable();
    // The copy is this process's own: no lock files under /run for it.
    (void)crypt_metadata_locking(nullptr, 0);
    return true;
  }();
  (void)once;
}

class MemoryCopy {
 public:
  MemoryCopy() = default;
  ~MemoryCopy() {
    if (h_ != platform::kNoHandle) (void)platform::close(h_);
  }
  MemoryCopy(const MemoryCopy&) = delete;
  MemoryCopy& operator=(const MemoryCopy&) = delete;

  // The region's first `bytes` (beyond what is there already).
  ErrorCode fill(DiskImage& image, uint64_t first_byte, uint64_t bytes) {
    if (h_ == platform::kNoHandle) {
      h_ = platform::open_memory_file("quorvex-luks-header", path_);
      if (h_ == platform::kNoHandle) return ERR_UNSUPPORTED;
    }
    std::vector<uint8_t> chunk;
    for (; copied_ < bytes;) {
      const uint64_t n = std::min(bytes - copied_, kCopyStep);
      chunk.resize(static_cast<size_t>(n));
      if (ErrorCode rc = read_bytes(image, first_byte + copied_, chunk); rc != OK) return rc;
      for (size_t done = 0; done < chunk.size();) {
        const int64_t w = platform::write_at(h_, chunk.data() + done, chunk.size() - done, copied_ + done);
        if (w <= 0) return ERR_WRITE;
        done += static_cast<size_t>(w);
      }
      copied_ += n;
    }
    return OK;
  }
  const std::string& path() const noexcept { return path_; }
  uint64_t copied() const noexcept { return copied_; }

 private:
  platform::Handle h_ = platform::kNoHandle;
  std::string path_;
  uint64_t copied_ = 0;
};

struct Device {
  crypt_device* cd = nullptr;
  ~Device() {
    if (cd) crypt_free(cd);  // wipes what the library kept of the key
  }
  int load(const std::string& path) {
    if (cd) crypt_free(cd);
    cd = nullptr;
    if (const int r = crypt_init(&cd, path.c_str()); r < 0) return r;
    return crypt_load(cd, CRYPT_LUKS, nullptr);
  }
};

// The end of the header region the library reads: both metadata copies and every key slot's area.
uint64_t header_end(crypt_device* cd) {
  uint64_t end = 0;
  uint64_t metadata = 0, keyslots = 0;
  if (crypt_get_metadata_size(cd, &metadata, &keyslots) == 0 && metadata)
    end = 2 * metadata + keyslots;
  const int slots = crypt_keyslot_max(crypt_get_type(cd));
  for (int slot = 0; slot < slots; ++slot) {
    uint64_t offset = 0, length = 0;
    if (crypt_keyslot_area(cd, slot, &offset, &length) == 0) end = std::max(end, offset + length);
  }
  return end;
}

const char* version_name(crypt_device* cd) {
  const char* type = crypt_get_type(cd);
  return type && std::string_view(type) == CRYPT_LUKS1 ? "LUKS1" : "LUKS2";
}

}  // namespace

ErrorCode unlock_luks(DiskImage& image, uint32_t first, uint32_t count,
                      std::span<const Secret* const> passphrases, LuksPayload& payload,
                      Secret& volume_key, KeptWholeReason& why) {
  set_up_library();
  const uint64_t volume_bytes = uint64_t{count} * kSectorSize, first_byte = uint64_t{first} * kSectorSize;
  MemoryCopy copy;
  if (ErrorCode rc = copy.fill(image, first_byte, std::min(volume_bytes, kFirstCopyBytes)); rc != OK) {
    if (rc == ERR_READ) return rc;
    why = {"luks_unreadable", "the LUKS header could not be handed to the LUKS library"};
    return ERR_UNSUPPORTED;
  }
  Device dev;
  const KeptWholeReason damaged{"luks_damaged", "the LUKS header does not load (damaged or cut short)"};
  if (dev.load(copy.path()) < 0) {
    why = damaged;
    return ERR_LAYOUT;
  }
  const std::string name = version_name(dev.cd);
  // The key slots may lie past the first copy: the region is copied up to their end and loaded again.
  const uint64_t end = header_end(dev.cd);
  if (end > volume_bytes || end > kMaxHeaderBytes) {
    why = {"luks_damaged", "the " + name + " header's key slots reach past the end of the volume"};
    return ERR_LAYOUT;
  }
  if (end > copy.copied()) {
    if (ErrorCode rc = copy.fill(image, first_byte, end); rc != OK) {
      if (rc == ERR_READ) return rc;
      why = {"luks_unreadable", "the LUKS header could not be handed to the LUKS library"};
      return ERR_UNSUPPORTED;
    }
    if (dev.load(copy.path()) < 0) {
      why = damaged;
      return ERR_LAYOUT;
    }
  }
  uint32_t requirements = 0;
  if (crypt_persistent_flags_get(dev.cd, CRYPT_FLAGS_REQUIREMENTS, &requirements) == 0 && requirements) {
    why = {"luks_reencryption", "the " + name + " volume is being re-encrypted (or needs a newer LUKS library)"};
    return ERR_UNSUPPORTED;
  }
  crypt_params_integrity integrity{};
  if (crypt_get_integrity_info(dev.cd, &integrity) == 0 && integrity.integrity && *integrity.integrity) {
    why = {"luks_integrity", "the " + name + " volume has authenticated encryption (" +
                                 std::string(integrity.integrity) + "), which this tool does not read"};
    return ERR_UNSUPPORTED;
  }
  const int key_size = crypt_get_volume_key_size(dev.cd);
  const char* cipher = crypt_get_cipher(dev.cd);
  const char* mode = crypt_get_cipher_mode(dev.cd);
  if (key_size <= 0 || key_size > 512 || !cipher || !mode) {
    why = damaged;
    return ERR_LAYOUT;
  }
  payload.version = name == "LUKS1" ? 1 : 2;
  payload.offset_sectors = crypt_get_data_offset(dev.cd);
  payload.sector_size = static_cast<uint32_t>(std::max(crypt_get_sector_size(dev.cd), 0));
  payload.iv_offset = crypt_get_iv_offset(dev.cd);
  payload.header_bytes = end;
  payload.cipher = cipher;
  payload.mode = mode;

  volume_key = Secret(static_cast<size_t>(key_size));
  bool memory = false, other_failure = false;
  for (const Secret* p : passphrases) {
    // A key file written by an editor often ends in a line end that was never part of the
    // passphrase: without it is tried second.
    const size_t size = p->size();
    const bool line_end = size > 1 && p->data()[size - 1] == '\n';
    for (const size_t length : {size, line_end ? size - 1 : size_t{0}}) {
      if (length == 0) continue;
      size_t got = volume_key.capacity();
      const int r = crypt_volume_key_get(dev.cd, CRYPT_ANY_SLOT, reinterpret_cast<char*>(volume_key.data()),
                                         &got, reinterpret_cast<const char*>(p->data()), length);
      if (r >= 0 && got == static_cast<size_t>(key_size)) {
        volume_key.resize(got);
        return OK;
      }
      volume_key.clear();
      memory = memory || r == -ENOMEM;
      other_failure = other_failure || (r != -EPERM && r != -ENOENT && r != -ENOMEM);
    }
  }
  why = {"wrong_key", std::string("no key slot opens with the given key") +
                          (memory ? " (a key slot's key derivation needs more memory than the system gives)"
                           : other_failure ? " (or a key slot is damaged)"
                                           : "")};
  return ERR_KEY_REQUIRED;
}

}  // namespace qx

#endif  // QX_HAVE_LUKS
