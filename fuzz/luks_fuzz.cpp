// LUKS volumes: the header region handed to the LUKS library (found, copied as far as the library
// says its key slots reach; no key derivation), and the decrypting view of a payload with every
// reader running inside it and the used map carried back to the volume. The first 8 bytes choose:
// byte 0 bit 0 the header path, bits 1-2 the sector size, bits 3-4 the mode, bit 5 the key size;
// bytes 1-4 the payload offset in sectors, bytes 5-7 the IV offset and where a query starts.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "image/byte_order.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/luks.hpp"
#include "volume/luks_crypto.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  if (size < 8 + 4096) return 0;
  const uint8_t select = data[0];
  const std::string path = fuzz::write_scratch("luks.raw", std::span(data + 8, (size - 8) / 512 * 512));
  const auto count = static_cast<uint32_t>((size - 8) / 512);
  DiskImage image;
  if (open_flat(image, path, true, 0, {count, 16, 63, 512}) != OK) return 0;
  std::string uuid;
  (void)luks_version_at(image, 0, count, uuid);
  if (select & 1) {
    LuksPayload payload;
    Secret key;
    KeptWholeReason why;
    (void)unlock_luks(image, 0, count, {}, payload, key, why);
    return 0;
  }
  static constexpr const char* kModes[] = {"xts-plain64", "xts-plain", "cbc-essiv:sha256", "cbc-plain64"};
  LuksPayload payload;
  payload.version = 2;
  payload.offset_sectors = le32(data + 1) % (count + 16);
  payload.sector_size = 512u << ((select >> 1) & 3);
  payload.mode = kModes[(select >> 3) & 3];
  payload.cipher = "aes";
  payload.iv_offset = data[5];
  payload.header_bytes = uint64_t{data[6]} << 12;
  const size_t key_bytes = (select & 0x20) ? 64 : 32;
  std::vector<uint8_t> key(key_bytes);
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 37 + 11);
  VolumeEntry entry;
  entry.length = count;
  entry.kind = KIND_LUKS;
  KeptWholeReason why;
  if (open_luks_payload(entry, image, payload, key, MapContext{}, why) != OK || !entry.state) return 0;
  std::vector<uint8_t> bits(bitmap_bytes(count));
  (void)kLuksReader.mark(*entry.state, 0, count, bits, 0);
  const uint32_t first = (uint32_t{data[6]} << 8 | data[7]) % count;
  (void)kLuksReader.mark(*entry.state, first, count - first, bits, 0);
  uint32_t offset = 0;
  if (const UsageMap* inner = luks_inner_map(entry, offset))
    for (const VolumeEntry& v : inner->volumes) (void)v.kind;
  return 0;
}
