// Formats 22 to 27. Each open only recognises the file and works out where the sectors start and
// what geometry they have; from then on the embedded flat image answers every query.
#include "formats/headed_flat/headed_flat.hpp"

#include <array>
#include <cstring>

#include "image/byte_order.hpp"
#include "image/file.hpp"

namespace qx {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kHdiHeaderBytes = 4096;
// Disks up to this size are not made with the 4096-byte header; anything smaller is foreign.
constexpr uint64_t kHdiSmallestDisk = 4121439;
constexpr uint32_t kThdDataOffset = 256;
constexpr uint64_t kThdCylinderBytes = 8 * 33 * 256;
constexpr uint32_t kHddDataOffset = 220;
constexpr uint64_t kFixed69mLength = 0x4200000;
constexpr char kNhdSignature[15] = "T98HDDIMAGE.R0";  // with its NUL
constexpr char kHddSignature[8] = "VHD1.00";

struct HeadedFlatState : DriverState {
  DiskImage flat;

  bool read_failed() const noexcept override { return image_read_failed(flat); }
};

HeadedFlatState& headed(DriverState& s) { return static_cast<HeadedFlatState&>(s); }
const HeadedFlatState& headed(const DriverState& s) { return static_cast<const HeadedFlatState&>(s); }

// What one format makes of its header and the file length.
struct FlatLayout {
  uint64_t data_offset = 0;
  uint64_t total_sectors = 0;
  uint32_t heads = 0;
  uint32_t sectors_per_track = 0;
  uint32_t bytes_per_sector = 0;
};
using Recognise = ErrorCode (*)(std::span<const uint8_t> header, uint64_t length, FlatLayout& out);

// cylinders x heads x sectors per track; a product beyond 64 bits saturates (and never fits a file).
uint64_t sector_count(uint64_t cylinders, uint64_t heads, uint64_t sectors_per_track) noexcept {
  const unsigned __int128 n = static_cast<unsigned __int128>(cylinders) * heads * sectors_per_track;
  return n > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(n);
}

// file length = total sectors x bytes per sector + data offset, without overflow.
bool fills_file(const FlatLayout& l, uint64_t length) noexcept {
  if (length < l.data_offset) return false;
  const uint64_t data = length - l.data_offset;
  if (l.bytes_per_sector == 0) return data == 0 && l.total_sectors == 0;
  return data % l.bytes_per_sector == 0 && data / l.bytes_per_sector == l.total_sectors;
}

ErrorCode recognise_hdi(std::span<const uint8_t> h, uint64_t length, FlatLayout& out) {
  out.data_offset = kHdiHeaderBytes;
  out.bytes_per_sector = le32(&h[16]);
  out.sectors_per_track = le32(&h[20]);
  out.heads = le32(&h[24]);
  out.total_sectors = sector_count(le32(&h[28]), out.heads, out.sectors_per_track);
  if (le32(&h[8]) != kHdiHeaderBytes || length != uint64_t{le32(&h[12])} + kHdiHeaderBytes ||
      !fills_file(out, length) || length - kHdiHeaderBytes <= kHdiSmallestDisk)
    return ERR_BAD_FORMAT;
  return OK;
}

ErrorCode recognise_thd(std::span<const uint8_t> h, uint64_t length, FlatLayout& out) {
  const uint64_t cylinders = le32(&h[0]);
  out = {kThdDataOffset, cylinders * 8 * 33, 8, 33, 256};
  return length == cylinders * kThdCylinderBytes + kThdDataOffset ? OK : ERR_BAD_FORMAT;
}

ErrorCode recognise_nhd(std::span<const uint8_t> h, uint64_t length, FlatLayout& out) {
  if (std::memcmp(h.data(), kNhdSignature, sizeof kNhdSignature) != 0) return ERR_BAD_FORMAT;
  out.data_offset = le32(&h[272]);
  out.heads = le16(&h[280]);
  out.sectors_per_track = le16(&h[282]);
  out.bytes_per_sector = le16(&h[284]);
  out.total_sectors = sector_count(le32(&h[276]), out.heads, out.sectors_per_track);
  return fills_file(out, length) ? OK : ERR_BAD_FORMAT;
}

ErrorCode recognise_hdd(std::span<const uint8_t> h, uint64_t length, FlatLayout& out) {
  if (std::memcmp(h.data(), kHddSignature, sizeof kHddSignature) != 0) return ERR_BAD_FORMAT;
  out.data_offset = kHddDataOffset;
  out.bytes_per_sector = le16(&h[142]);
  out.sectors_per_track = h[144];
  out.heads = h[145];
  out.total_sectors = sector_count(le16(&h[146]), out.heads, out.sectors_per_track);
  return fills_file(out, length) ? OK : ERR_BAD_FORMAT;
}

ErrorCode recognise_fixed_69m(std::span<const uint8_t>, uint64_t length, FlatLayout& out) {
  // The file's last 3,670,016 bytes lie beyond the disk.
  out = {0, 128000, 8, 20, 512};
  return length == kFixed69mLength ? OK : ERR_BAD_FORMAT;
}

ErrorCode recognise_h0(std::span<const uint8_t>, uint64_t length, FlatLayout& out) {
  out = {0, length / 512, 64, 32, 512};
  return length % kMiB == 0 ? OK : ERR_BAD_FORMAT;
}

// Open, header read, signature, file length, length rule; then the flat image takes the file.
ErrorCode open_headed(HeadedFlatState& st, std::string_view path, bool read_only,
                      size_t header_bytes, Recognise recognise) {
  std::array<uint8_t, 512> header{};
  uint64_t length = 0;
  {
    File file = File::open_existing(path, read_only);
    if (!file) return ERR_OPEN;
    if (header_bytes && !file.read_at(0, std::span(header).first(header_bytes))) return ERR_READ;
    if (!file.length(length)) return ERR_FILE_SIZE;
  }
  FlatLayout l;
  if (ErrorCode rc = recognise(std::span(header).first(header_bytes), length, l); rc != OK)
    return rc;
  if (l.total_sectors > UINT32_MAX || l.data_offset > UINT32_MAX) return ERR_UNSUPPORTED;
  const DiskGeometry g{static_cast<uint32_t>(l.total_sectors), l.heads, l.sectors_per_track,
                       l.bytes_per_sector};
  return open_flat(st.flat, path, read_only, static_cast<uint32_t>(l.data_offset), g);
}

template <size_t HeaderBytes, Recognise R>
ErrorCode headed_open(DriverState& s, std::string_view path, bool read_only) {
  static_assert(HeaderBytes <= 512);
  return open_headed(headed(s), path, read_only, HeaderBytes, R);
}

DiskGeometry headed_geometry(const DriverState& s) { return get_geometry(headed(s).flat); }

ErrorCode headed_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  return read_bytes(headed(s).flat, offset, out);
}

ErrorCode headed_is_range_free(DriverState& s, const SectorUse* map, uint32_t first, uint32_t count,
                               bool& free, ProgressRelay* relay) {
  return is_range_free(headed(s).flat, map, first, count, free, relay);
}

constexpr FormatDriver headed_driver(const char* name,
                                     ErrorCode (*open)(DriverState&, std::string_view, bool)) {
  return FormatDriver{
      .name = name,
      .make_state = make_driver_state<HeadedFlatState>,
      .open = open,
      .get_geometry = headed_geometry,
      .read_bytes = headed_read,
      .is_range_free = headed_is_range_free,
  };
}

}  // namespace

const FormatDriver kHdiDriver = headed_driver("hdi", headed_open<32, recognise_hdi>);
const FormatDriver kThdDriver = headed_driver("thd", headed_open<4, recognise_thd>);
const FormatDriver kNhdDriver = headed_driver("nhd", headed_open<512, recognise_nhd>);
const FormatDriver kHddDriver = headed_driver("hdd", headed_open<220, recognise_hdd>);
const FormatDriver kFixed69mDriver = headed_driver("fixed 69,206,016 bytes",
                                                   headed_open<0, recognise_fixed_69m>);
const FormatDriver kH0Driver = headed_driver("h0", headed_open<0, recognise_h0>);

}  // namespace qx
