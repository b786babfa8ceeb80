#include "volume/luks.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "image/byte_order.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/luks_crypto.hpp"

namespace qx {
namespace {

constexpr size_t kUuidOffset = 168, kUuidBytes = 40;
// Where LUKS2 may keep its secondary header: right behind a primary area of 16 KiB to 4 MiB.
constexpr uint64_t kSecondaryOffsets[] = {16384, 32768, 65536, 131072, 262144, 524288, 1048576,
                                          2097152, 4194304};
// Bits of the inside map asked for at a time.
constexpr uint32_t kQuerySectors = 1u << 16;

struct LuksState : ReaderState {
  uint32_t payload_offset = 0;   // sectors of the volume before the payload
  uint32_t payload_sectors = 0;  // a whole number of encryption sectors
  uint32_t unit = 1;             // 512-byte sectors per encryption sector
  DiskImage view;                // goes after the map that reads through it
  std::unique_ptr<UsageMap> inner;
  // The whole volume: luks_mark keeps the header, the key slots and any tail itself.
  uint64_t declared_sectors() const noexcept override { return UINT64_MAX; }
};

bool header_at(DiskImage& image, uint64_t byte, std::string_view magic, uint32_t& version, std::string& uuid) {
  std::array<uint8_t, 512> h{};
  if (read_bytes(image, byte, h) != OK || std::memcmp(h.data(), magic.data(), magic.size()) != 0) return false;
  version = be16(h.data() + 6);
  const char* text = reinterpret_cast<const char*>(h.data() + kUuidOffset);
  uuid.assign(text, strnlen(text, kUuidBytes));
  return version == 1 || version == 2;
}

#ifdef QX_HAVE_LUKS
std::string name_of(uint32_t version) { return version == 1 ? "LUKS1" : "LUKS2"; }

// The keys to try on this volume: those that name it first, then those for every volume.
std::vector<const Secret*> candidates(const MapContext& context, uint32_t number, std::string_view uuid) {
  std::vector<const Secret*> out;
  if (!context.keys) return out;
  for (const VolumeKey& k : *context.keys)
    if (!k.volume.empty() && key_selects(k.volume, number, uuid)) out.push_back(&k.passphrase);
  for (const VolumeKey& k : *context.keys)
    if (k.volume.empty()) out.push_back(&k.passphrase);
  return out;
}
#endif

}  // namespace

uint32_t luks_version_at(DiskImage& image, uint32_t first, uint32_t count, std::string& uuid) {
  const uint64_t base = uint64_t{first} * kSectorSize, size = uint64_t{count} * kSectorSize;
  uint32_t version = 0;
  if (size < 4096) return 0;
  if (header_at(image, base, "LUKS\xBA\xBE", version, uuid)) return version;
  for (const uint64_t at : kSecondaryOffsets) {
    std::array<uint8_t, 512> h{};
    if (at + h.size() > size) break;
    if (header_at(image, base + at, "SKUL\xBA\xBE", version, uuid) && version == 2 &&
        read_bytes(image, base + at, h) == OK && be64(h.data() + 256) == at)
      return version;
  }
  return 0;
}

bool probe_luks(VolumeEntry& entry, DiskImage& image, uint32_t partition_number, const MapContext& context) {
  std::string uuid;
  const uint32_t version = luks_version_at(image, entry.start, entry.length, uuid);
  if (version == 0) return false;
  entry.kind = KIND_LUKS;
  entry.state.reset();
#ifndef QX_HAVE_LUKS
  (void)partition_number;
  (void)context;
  entry.reason = {"unlock_unavailable", "unlocking LUKS is not available in this build"};
#else
  const std::string name = name_of(version);
  if (context.depth >= kMaxLuksDepth) {
    entry.reason = {"encrypted", name + " volume inside unlocked volumes; this tool unlocks no deeper"};
    return true;
  }
  const std::vector<const Secret*> keys = candidates(context, partition_number, uuid);
  if (keys.empty()) {
    entry.reason = {"encrypted", name + " volume; give --key-file to trim inside it"};
    return true;
  }
  LuksPayload payload;
  Secret volume_key;
  KeptWholeReason why;
  ErrorCode rc = unlock_luks(image, entry.start, entry.length, keys, payload, volume_key, why);
  if (rc == OK) rc = open_luks_payload(entry, image, payload, volume_key.bytes(), context, why);
  volume_key.clear();
  if (rc != OK) {
    entry.state.reset();
    entry.reason = why.empty() ? KeptWholeReason{"luks_unreadable", "the unlocked " + name + " volume could not be read"}
                               : why;
  }
#endif
  return true;
}

ErrorCode open_luks_payload(VolumeEntry& entry, DiskImage& image, const LuksPayload& payload,
                            std::span<const uint8_t> volume_key, const MapContext& context,
                            KeptWholeReason& why) {
#ifndef QX_HAVE_LUKS
  (void)entry, (void)image, (void)payload, (void)volume_key, (void)context;
  why = {"unlock_unavailable", "unlocking LUKS is not available in this build"};
  return ERR_UNSUPPORTED;
#else
  const std::string name = name_of(payload.version);
  const uint32_t size = payload.sector_size;
  const bool known_size = size == 512 || size == 1024 || size == 2048 || size == 4096;
  const uint32_t unit = known_size ? size / kSectorSize : 1;
  // A payload at 0 lies on another device (a detached header); one that is not aligned to its
  // sectors, or leaves no whole sector in the volume, matches nothing dm-crypt would map; one
  // that starts inside the key slots would give their bytes to the file systems inside.
  if (!known_size || payload.offset_sectors == 0 || payload.offset_sectors % unit != 0 ||
      payload.offset_sectors + unit > entry.length ||
      payload.offset_sectors * kSectorSize < payload.header_bytes) {
    why = {"luks_layout", "the " + name + " header's payload offset or sector size does not fit the volume"};
    return ERR_LAYOUT;
  }
  auto state = std::make_unique<LuksState>();
  state->payload_offset = static_cast<uint32_t>(payload.offset_sectors);
  state->unit = unit;
  state->payload_sectors = (entry.length - state->payload_offset) / unit * unit;
  if (ErrorCode rc = open_decrypted_view(state->view, image, uint64_t{entry.start} + state->payload_offset,
                                         state->payload_sectors, payload, volume_key);
      rc != OK) {
    why = {"luks_cipher", "the " + name + " volume is encrypted with " + payload.cipher + "-" + payload.mode +
                              ", which this tool does not decrypt"};
    return rc == ERR_NO_MEMORY ? rc : ERR_UNSUPPORTED;
  }
  MapContext inside = context;
  ++inside.depth;
  ErrorCode rc = OK;
  uint32_t recognised = 0;
  state->inner = build_usage_map(state->view, rc, recognised, inside);
  if (!state->inner) {
    if (rc == ERR_READ || rc == ERR_NO_MEMORY) return rc;
    why = {"luks_contents", "the unlocked " + name + " volume holds partitions or LVM2 metadata that cannot be read"};
    return rc;
  }
  entry.state = std::move(state);
  entry.reason = {};
  return OK;
#endif
}

namespace {

ErrorCode luks_mark(const ReaderState& s, uint32_t first, uint32_t count, std::span<uint8_t> bitmap,
                    uint32_t bit) {
  const auto& st = static_cast<const LuksState&>(s);
  const uint64_t end = uint64_t{first} + count;
  const uint64_t payload_end = uint64_t{st.payload_offset} + st.payload_sectors;
  // The header and key slots before the payload, and what follows its last whole sector.
  const uint64_t head = std::min<uint64_t>(end, st.payload_offset);
  if (first < head) put_bits(bitmap, bit, head - first, true);
  if (end > payload_end) {
    const uint64_t from = std::max<uint64_t>(first, payload_end);
    put_bits(bitmap, bit + (from - first), end - from, true);
  }
  const uint64_t from = std::max<uint64_t>(first, st.payload_offset), to = std::min(end, payload_end);
  if (from >= to) return OK;
  if (!st.inner) return ERR_UNSUPPORTED;
  // Inside, a sector is free when every 512 bytes of its encryption sector are: a dropped sector
  // reads back as zeros, which decrypt to noise over the whole encryption sector.
  std::vector<uint8_t> inside(bitmap_bytes(kQuerySectors));
  for (uint64_t v = (from - st.payload_offset) / st.unit * st.unit; v < to - st.payload_offset;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kQuerySectors, st.payload_sectors - v));
    if (ErrorCode rc = query_used(*st.inner, static_cast<uint32_t>(v), n, inside); rc != OK) return rc;
    for (uint32_t u = 0; u < n; u += st.unit) {
      bool used = false;
      for (uint32_t i = 0; i < st.unit && !used; ++i) used = test_bit(inside, u + i);
      for (uint32_t i = 0; i < st.unit; ++i) {
        const uint64_t sector = st.payload_offset + v + u + i;  // of the volume
        if (sector >= from && sector < to) put_bit(bitmap, bit + (sector - first), used);
      }
    }
    v += n;
  }
  return OK;
}

ErrorCode luks_no_probe(DiskImage&, uint32_t, uint32_t, std::unique_ptr<ReaderState>&) { return ERR_FILE_SYSTEM; }

}  // namespace

const FsReader kLuksReader = {"luks", luks_no_probe, luks_mark};

const UsageMap* luks_inner_map(const VolumeEntry& entry, uint32_t& payload_offset) noexcept {
  const auto* st = entry.kind == KIND_LUKS ? dynamic_cast<const LuksState*>(entry.state.get()) : nullptr;
  if (!st) return nullptr;
  payload_offset = st->payload_offset;
  return st->inner.get();
}

}  // namespace qx
