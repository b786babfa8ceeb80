#include "support/emulator_images.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "image/disk_image.hpp"
#include "support/file_patch.hpp"

namespace qx::test {
namespace {

void put_text(Bytes& b, size_t at, const std::string& s) { std::memcpy(&b[at], s.data(), s.size()); }

bool all_zero(std::span<const uint8_t> d) {
  return std::all_of(d.begin(), d.end(), [](uint8_t c) { return c == 0; });
}

Bytes padded(std::span<const uint8_t> disk, uint64_t unit) {
  Bytes out(disk.begin(), disk.end());
  out.resize((out.size() + unit - 1) / unit * unit, 0);
  return out;
}

// 8 heads and 25 sectors of 512 bytes: 102,400-byte cylinders.
constexpr FlatGeometry kCylinder{0, 8, 25, 512};

}  // namespace

Bytes headed_flat_header(int32_t format, const FlatGeometry& g) {
  const uint64_t data = uint64_t{g.cylinders} * g.heads * g.sectors_per_track * g.bytes_per_sector;
  Bytes h;
  switch (format) {
    case 22:
      h.assign(4096, 0);
      put_le(h, 8, 4096, 4);
      put_le(h, 12, static_cast<uint32_t>(data), 4);
      put_le(h, 16, g.bytes_per_sector, 4);
      put_le(h, 20, g.sectors_per_track, 4);
      put_le(h, 24, g.heads, 4);
      put_le(h, 28, g.cylinders, 4);
      break;
    case 23:
      h.assign(256, 0);
      put_le(h, 0, g.cylinders, 4);
      break;
    case 24:
      h.assign(512, 0);
      put_text(h, 0, std::string("T98HDDIMAGE.R0", 15));
      put_le(h, 272, 512, 4);
      put_le(h, 276, g.cylinders, 4);
      put_le(h, 280, static_cast<uint16_t>(g.heads), 2);
      put_le(h, 282, static_cast<uint16_t>(g.sectors_per_track), 2);
      put_le(h, 284, static_cast<uint16_t>(g.bytes_per_sector), 2);
      break;
    case 25:
      h.assign(220, 0);
      put_text(h, 0, std::string("VHD1.00", 8));
      put_le(h, 142, static_cast<uint16_t>(g.bytes_per_sector), 2);
      h[144] = static_cast<uint8_t>(g.sectors_per_track);
      h[145] = static_cast<uint8_t>(g.heads);
      put_le(h, 146, static_cast<uint16_t>(g.cylinders), 2);
      break;
    default: break;
  }
  return h;
}

Bytes wrap_headed_flat(int32_t format, std::span<const uint8_t> disk, uint64_t* disk_bytes) {
  Bytes body;
  Bytes head;
  if (format == 23) {
    body = padded(disk, 8 * 33 * 256);
    head = headed_flat_header(23, {static_cast<uint32_t>(body.size() / (8 * 33 * 256)), 8, 33, 256});
  } else if (format == 26) {
    if (disk.size() > 128000 * 512) throw std::runtime_error("disk too large for format 26");
    body.assign(disk.begin(), disk.end());
    body.resize(128000 * 512, 0);
    body.resize(0x4200000, 0xC7);
  } else if (format == 27) {
    body = padded(disk, 1 << 20);
  } else {
    const uint64_t cylinder = uint64_t{kCylinder.heads} * kCylinder.sectors_per_track * 512;
    body = padded(disk, cylinder);
    FlatGeometry g = kCylinder;
    g.cylinders = static_cast<uint32_t>(body.size() / cylinder);
    head = headed_flat_header(format, g);
  }
  if (disk_bytes) *disk_bytes = format == 26 ? 128000 * 512 : body.size();
  head.insert(head.end(), body.begin(), body.end());
  return head;
}

Bytes wrap_bochs(std::span<const uint8_t> disk, const BochsShape& shape) {
  const uint32_t extent_sectors = (shape.extent_bytes + 511) / 512;
  const uint32_t bitmap_sectors = (shape.bitmap_bytes + 511) / 512;
  const uint64_t extent_span = uint64_t{extent_sectors} * 512;
  const auto entries = static_cast<uint32_t>((disk.size() + extent_span - 1) / extent_span);
  Bytes out(512 + size_t{entries} * 4, 0);
  put_text(out, 0, std::string("Bochs Virtual HD Image", 23));
  put_text(out, 32, std::string("Redolog", 8));
  put_text(out, 48, shape.subtype + std::string(1, '\0'));
  put_le(out, 64, 0x00010000, 4);
  put_le(out, 68, 512, 4);
  put_le(out, 72, entries, 4);
  put_le(out, 76, shape.bitmap_bytes, 4);
  put_le(out, 80, shape.extent_bytes, 4);
  if (shape.size_at_84) put_le(out, 84, disk.size(), 8);
  else put_le(out, 88, disk.size(), 8);
  uint32_t next = 0;
  for (uint32_t e = 0; e < entries; ++e) {
    const size_t from = size_t{e} * extent_span;
    const auto extent = disk.subspan(from, std::min<size_t>(extent_span, disk.size() - from));
    if (all_zero(extent)) {
      put_le(out, kBochsCatalogOffset + size_t{e} * 4, 0xFFFFFFFFu, 4);
      continue;
    }
    put_le(out, kBochsCatalogOffset + size_t{e} * 4, next++, 4);
    Bytes bitmap(size_t{bitmap_sectors} * 512, 0), data(extent_span, 0);
    for (size_t s = 0; s * 512 < extent.size(); ++s) {
      const auto sector = extent.subspan(s * 512, std::min<size_t>(512, extent.size() - s * 512));
      if (all_zero(sector)) continue;
      bitmap[s / 8] |= static_cast<uint8_t>(1u << (s % 8));
      std::copy(sector.begin(), sector.end(), data.begin() + static_cast<ptrdiff_t>(s * 512));
    }
    out.insert(out.end(), bitmap.begin(), bitmap.end());
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

Bytes wrap_chained(std::span<const uint8_t> disk, uint32_t block_bytes,
                   const std::function<bool(uint32_t)>& hold) {
  if (disk.size() % block_bytes) throw std::runtime_error("disk is not whole blocks");
  const auto count = static_cast<uint32_t>(disk.size() / block_bytes);
  const uint64_t data_start = (256 + uint64_t{count} * 4 + block_bytes - 1) / block_bytes * block_bytes;
  Bytes out(data_start, 0);
  put_le(out, 0, 0x02468ACE, 4);
  put_le(out, 4, 1, 4);
  put_le(out, 8, block_bytes, 4);
  put_le(out, 12, count, 4);
  uint32_t next = 0;
  for (uint32_t b = 0; b < count; ++b) {
    const auto block = disk.subspan(size_t{b} * block_bytes, block_bytes);
    if (hold ? !hold(b) : all_zero(block)) {
      put_le(out, 256 + size_t{b} * 4, 0xFFFFFFFFu, 4);
      continue;
    }
    put_le(out, 256 + size_t{b} * 4, next++, 4);
    out.insert(out.end(), block.begin(), block.end());
  }
  return out;
}

Bytes raw_deflate(std::span<const uint8_t> data) {
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = const_cast<uint8_t*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

uint64_t chd_map_offset(uint32_t version) { return version == 3 ? 120 : 108; }

Bytes wrap_chd(std::span<const uint8_t> disk, uint32_t version, uint32_t hunk_bytes) {
  const Bytes body = padded(disk, hunk_bytes);
  const auto hunks = static_cast<uint32_t>(body.size() / hunk_bytes);
  const uint64_t map_at = chd_map_offset(version);
  Bytes out(map_at + size_t{hunks} * 16, 0);
  put_be(out, 0, 0x4D436F6D, 4);
  put_be(out, 4, 0x70724844, 4);
  put_be(out, 8, static_cast<uint32_t>(map_at), 4);
  put_be(out, 12, version, 4);
  put_be(out, 20, 1, 4);  // zlib
  put_be(out, 24, hunks, 4);
  put_be(out, 28, disk.size(), 8);
  put_be(out, version == 3 ? 76 : 44, hunk_bytes, 4);
  std::unordered_map<std::string, uint32_t> seen;
  for (uint32_t h = 0; h < hunks; ++h) {
    const auto hunk = std::span(body).subspan(size_t{h} * hunk_bytes, hunk_bytes);
    const size_t entry = map_at + size_t{h} * 16;
    bool pattern = true;
    for (size_t i = 8; i < hunk.size() && pattern; ++i) pattern = hunk[i] == hunk[i % 8];
    if (pattern) {
      std::memcpy(&out[entry], hunk.data(), 8);  // the stored bytes are the pattern as it repeats
      out[entry + 15] = 3;
      continue;
    }
    const std::string key(reinterpret_cast<const char*>(hunk.data()), hunk.size());
    if (auto it = seen.find(key); it != seen.end()) {
      put_be(out, entry, it->second, 8);
      out[entry + 15] = 4;
      continue;
    }
    seen.emplace(key, h);
    const Bytes packed = raw_deflate(hunk);
    const bool compress = packed.size() < hunk.size();
    put_be(out, entry, out.size(), 8);
    const size_t length = compress ? packed.size() : hunk.size();
    put_be(out, entry + 12, length & 0xFFFF, 2);
    out[entry + 14] = static_cast<uint8_t>(length >> 16);
    out[entry + 15] = compress ? 1 : 2;
    if (compress) out.insert(out.end(), packed.begin(), packed.end());
    else out.insert(out.end(), hunk.begin(), hunk.end());
  }
  return out;
}

Bytes nvt_file(const std::string& parent_name, const std::optional<NvtFlatParent>& flat,
               const std::map<uint64_t, Bytes>& chunks) {
  Bytes out(2048, 0);
  put_text(out, 0, "NVT ");
  if (flat) {
    put_le(out, 8, 1, 4);
    put_le(out, 16, flat->data_offset, 4);
    put_le(out, 24, flat->total_sectors, 4);
    put_le(out, 32, flat->heads, 4);
    put_le(out, 36, flat->sectors_per_track, 4);
    put_le(out, 40, flat->bytes_per_sector, 4);
  }
  put_text(out, 512, parent_name);
  // Tables first, so that every table and chunk lands on a sector of its own.
  std::map<uint64_t, size_t> second, third;  // table index -> its offset in the file
  const auto table = [&](std::map<uint64_t, size_t>& tables, uint64_t key) {
    auto it = tables.find(key);
    if (it != tables.end()) return it->second;
    const size_t at = out.size();
    out.resize(at + 1024, 0);
    return tables.emplace(key, at).first->second;
  };
  for (const auto& [chunk, data] : chunks) {
    if (data.size() != 65536) throw std::runtime_error("an NVT chunk is 64 KiB");
    const uint64_t i1 = chunk >> 16, i2 = (chunk >> 8) & 0xFF;
    const size_t l2 = table(second, i1);
    put_le(out, 1024 + i1 * 4, static_cast<uint32_t>(l2 / 512), 4);
    const size_t l3 = table(third, chunk >> 8);
    put_le(out, l2 + i2 * 4, static_cast<uint32_t>(l3 / 512), 4);
  }
  for (const auto& [chunk, data] : chunks) {
    const size_t l3 = third.at(chunk >> 8);
    put_le(out, l3 + (chunk & 0xFF) * 4, static_cast<uint32_t>(out.size() / 512), 4);
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

Bytes read_image_disk(const std::string& path, int32_t* format) {
  DiskImage image;
  if (open_image(image, path, true) != OK) return {};
  if (format) *format = image.format;
  Bytes out(static_cast<size_t>(get_geometry(image).size_bytes()));
  constexpr size_t kPiece = 3 << 20;  // not a power of two, so pieces cross every border
  for (size_t pos = 0; pos < out.size(); pos += kPiece)
    if (read_bytes(image, pos, std::span(out).subspan(pos, std::min(kPiece, out.size() - pos))) != OK)
      return {};
  return out;
}

}  // namespace qx::test
