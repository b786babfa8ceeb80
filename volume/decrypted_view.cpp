// The decrypting view of an unlocked payload, and the sector cipher behind it (libgcrypt).
#ifdef QX_HAVE_LUKS

#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/primitives.hpp"
#include "volume/luks_crypto.hpp"

namespace qx {
namespace {

// The library is set up once, with secure memory for the keys it expands where the system grants
// it (and quietly without where it does not).
bool crypto_ready() noexcept {
  static const bool ready = [] {
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return true;
    if (!gcry_check_version(GCRYPT_VERSION)) return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM_WARN);
    gcry_control(GCRYCTL_INIT_SECMEM, 65536, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}

// The library's algorithm for a cipher name and a key length in bytes, or 0.
int algorithm_of(std::string_view cipher, size_t key_bytes) noexcept {
  struct Row {
    std::string_view name;
    size_t bytes;
    int algorithm;
  };
  static constexpr Row kRows[] = {
      {"aes", 16, GCRY_CIPHER_AES128},         {"aes", 24, GCRY_CIPHER_AES192},
      {"aes", 32, GCRY_CIPHER_AES256},         {"serpent", 16, GCRY_CIPHER_SERPENT128},
      {"serpent", 24, GCRY_CIPHER_SERPENT192}, {"serpent", 32, GCRY_CIPHER_SERPENT256},
      {"twofish", 16, GCRY_CIPHER_TWOFISH128}, {"twofish", 32, GCRY_CIPHER_TWOFISH},
      {"camellia", 16, GCRY_CIPHER_CAMELLIA128}, {"camellia", 24, GCRY_CIPHER_CAMELLIA192},
      {"camellia", 32, GCRY_CIPHER_CAMELLIA256}};
  for (const Row& r : kRows)
    if (r.name == cipher && r.bytes == key_bytes) return r.algorithm;
  return 0;
}

gcry_cipher_hd_t handle(void* h) noexcept { return static_cast<gcry_cipher_hd_t>(h); }

ErrorCode open_handle(int algorithm, int mode, std::span<const uint8_t> key, void*& out) noexcept {
  gcry_cipher_hd_t h = nullptr;
  if (gcry_cipher_open(&h, algorithm, mode, GCRY_CIPHER_SECURE) != 0 &&
      gcry_cipher_open(&h, algorithm, mode, 0) != 0)
    return ERR_UNSUPPORTED;
  if (gcry_cipher_setkey(h, key.data(), key.size()) != 0) {
    gcry_cipher_close(h);
    return ERR_UNSUPPORTED;
  }
  out = h;
  return OK;
}

}  // namespace

SectorCipher::~SectorCipher() {
  // Closing wipes the expanded keys.
  if (data_) gcry_cipher_close(handle(data_));
  if (essiv_) gcry_cipher_close(handle(essiv_));
}

ErrorCode SectorCipher::init(std::string_view cipher, std::string_view mode, std::span<const uint8_t> key) {
  if (!crypto_ready() || data_) return ERR_UNSUPPORTED;
  const size_t dash = mode.find('-');
  if (dash == std::string_view::npos) return ERR_UNSUPPORTED;
  const std::string_view chaining = mode.substr(0, dash), iv = mode.substr(dash + 1);
  if (iv == "plain64") iv_ = Iv::kPlain64;
  else if (iv == "plain") iv_ = Iv::kPlain;
  else if (iv == "essiv:sha256" && chaining == "cbc") iv_ = Iv::kEssiv;
  else return ERR_UNSUPPORTED;
  int gcry_mode = 0;
  size_t cipher_key = key.size();
  if (chaining == "xts") {
    gcry_mode = GCRY_CIPHER_MODE_XTS;
    cipher_key = key.size() / 2;  // the data key and the tweak key
    if (key.size() % 2) return ERR_UNSUPPORTED;
  } else if (chaining == "cbc") {
    gcry_mode = GCRY_CIPHER_MODE_CBC;
  } else {
    return ERR_UNSUPPORTED;
  }
  const int algorithm = algorithm_of(cipher, cipher_key);
  if (!algorithm || gcry_cipher_get_algo_blklen(algorithm) != 16) return ERR_UNSUPPORTED;
  if (ErrorCode rc = open_handle(algorithm, gcry_mode, key, data_); rc != OK) return rc;
  if (iv_ == Iv::kEssiv) {
    // ESSIV: the sector number encrypted under the hash of the key, with the same cipher.
    Secret salt(32);
    salt.resize(32);
    gcry_md_hash_buffer(GCRY_MD_SHA256, salt.data(), key.data(), key.size());
    const int essiv_algorithm = algorithm_of(cipher, 32);
    if (!essiv_algorithm) return ERR_UNSUPPORTED;
    if (ErrorCode rc = open_handle(essiv_algorithm, GCRY_CIPHER_MODE_ECB, salt.bytes(), essiv_); rc != OK)
      return rc;
  }
  return OK;
}

ErrorCode SectorCipher::make_iv(uint64_t sector, uint8_t (&iv)[16]) {
  std::memset(iv, 0, sizeof iv);
  const uint64_t n = iv_ == Iv::kPlain ? sector & 0xFFFFFFFF : sector;
  for (int i = 0; i < 8; ++i) iv[i] = static_cast<uint8_t>(n >> (8 * i));
  if (iv_ == Iv::kEssiv && gcry_cipher_encrypt(handle(essiv_), iv, sizeof iv, nullptr, 0) != 0)
    return ERR_UNSUPPORTED;
  return OK;
}

ErrorCode SectorCipher::decrypt(uint64_t iv_sector, std::span<uint8_t> sector) {
  uint8_t iv[16];
  if (!data_ || sector.size() % block_) return ERR_UNSUPPORTED;
  if (ErrorCode rc = make_iv(iv_sector, iv); rc != OK) return rc;
  if (gcry_cipher_setiv(handle(data_), iv, sizeof iv) != 0 ||
      gcry_cipher_decrypt(handle(data_), sector.data(), sector.size(), nullptr, 0) != 0)
    return ERR_UNSUPPORTED;
  return OK;
}

namespace {

// Encryption sectors decrypted per read of the disk below.
constexpr uint64_t kReadBytes = 1 << 20;

struct DecryptedState : DriverState {
  DiskImage* outer = nullptr;
  uint64_t payload_byte = 0;
  uint32_t sector_size = 512;
  uint64_t iv_offset = 0;
  DiskGeometry geometry;
  SectorCipher cipher;
  std::vector<uint8_t> buffer;

  bool read_failed() const noexcept override { return outer && image_read_failed(*outer); }
};

DecryptedState& decrypted(DriverState& s) { return static_cast<DecryptedState&>(s); }

DiskGeometry decrypted_geometry(const DriverState& s) { return static_cast<const DecryptedState&>(s).geometry; }

ErrorCode decrypted_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  DecryptedState& st = decrypted(s);
  const uint64_t unit = st.sector_size;
  uint64_t from = offset / unit * unit;
  const uint64_t to = ceil_div_u64(offset + out.size(), unit) * unit;
  while (from < to) {
    const uint64_t n = std::min(to - from, kReadBytes);
    st.buffer.resize(static_cast<size_t>(n));
    if (ErrorCode rc = read_bytes(*st.outer, st.payload_byte + from, st.buffer); rc != OK) return rc;
    for (uint64_t at = 0; at < n; at += unit)
      if (ErrorCode rc = st.cipher.decrypt((from + at) / kSectorSize + st.iv_offset,
                                           std::span(st.buffer).subspan(static_cast<size_t>(at), unit));
          rc != OK)
        return rc;
    // The part of these sectors that was asked for.
    const uint64_t copy_from = std::max(from, offset), copy_to = std::min(from + n, offset + out.size());
    std::memcpy(out.data() + (copy_from - offset), st.buffer.data() + (copy_from - from),
                static_cast<size_t>(copy_to - copy_from));
    from += n;
  }
  return OK;
}

}  // namespace

const FormatDriver kDecryptedDriver = {
    .name = "decrypted",
    .make_state = make_driver_state<DecryptedState>,
    .get_geometry = decrypted_geometry,  // opened through open_decrypted_view
    .read_bytes = decrypted_read,
};

ErrorCode open_decrypted_view(DiskImage& view, DiskImage& outer, uint64_t payload_start,
                              uint32_t payload_sectors, const LuksPayload& payload,
                              std::span<const uint8_t> volume_key) {
  return guard_no_memory([&]() -> ErrorCode {
    auto state = std::make_unique<DecryptedState>();
    if (ErrorCode rc = state->cipher.init(payload.cipher, payload.mode, volume_key); rc != OK) return rc;
    state->outer = &outer;
    state->payload_byte = payload_start * kSectorSize;
    state->sector_size = payload.sector_size;
    state->iv_offset = payload.iv_offset;
    state->geometry = get_geometry(outer);
    state->geometry.total_sectors = payload_sectors;
    state->geometry.bytes_per_sector = kSectorSize;
    adopt_state(view, FORMAT_DECRYPTED, std::move(state));
    return OK;
  });
}

}  // namespace qx

#endif  // QX_HAVE_LUKS
