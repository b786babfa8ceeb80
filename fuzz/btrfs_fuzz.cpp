// The Btrfs reader on a sparse volume of 64 MiB built from records, so that a small input reaches
// deep: each record is a little-endian u16 place (in 4 KiB units), a u16 length (4 KiB units in
// its low 5 bits; bit 15 asks for the record's CRC-32C to be sealed, as a superblock or tree block
// carries it) and that many units of bytes. make_seeds.sh writes real volumes in this form.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <vector>

#include "fs/reader.hpp"
#include "fuzz/fuzz_support.hpp"
#include "image/byte_order.hpp"
#include "image/crc32c.hpp"
#include "image/sector_bitmap.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  constexpr size_t kUnit = 4096, kUnits = 16384;
  std::map<size_t, std::vector<uint8_t>> units;  // written only where records land: a sparse file
  size_t at = 0;
  while (at + 4 <= size) {
    const size_t place = le16(data + at) % kUnits, word = le16(data + at + 2);
    const size_t count = std::min<size_t>({word & 31, (size - at - 4) / kUnit, kUnits - place});
    std::vector<uint8_t> record(data + at + 4, data + at + 4 + count * kUnit);
    if ((word & 0x8000) && count)
      store_le(record.data(), crc32c(std::span<const uint8_t>(record).subspan(32)));
    for (size_t u = 0; u < count; ++u)
      units[place + u].assign(record.begin() + static_cast<ptrdiff_t>(u * kUnit),
                              record.begin() + static_cast<ptrdiff_t>((u + 1) * kUnit));
    at += 4 + std::max<size_t>(count * kUnit, 1);
  }
  const std::string path = fuzz::write_scratch("btrfs.raw", {});
  if (std::FILE* f = std::fopen(path.c_str(), "r+b")) {
    for (const auto& [u, bytes] : units)
      if (std::fseek(f, static_cast<long>(u * kUnit), SEEK_SET) == 0) (void)std::fwrite(bytes.data(), 1, kUnit, f);
    std::fclose(f);
  }
  std::error_code ec;
  std::filesystem::resize_file(path, kUnit * kUnits, ec);
  const uint32_t sectors = static_cast<uint32_t>(kUnit * kUnits / 512);
  DiskImage image;
  if (ec || open_flat(image, path, true, 0, DiskGeometry{sectors, 16, 63, 512}) != OK) return 0;
  const FsReader& reader = fs_reader(KIND_BTRFS);
  std::unique_ptr<ReaderState> state;
  if (reader.probe(image, 0, sectors, state) != OK || !state) return 0;
  std::vector<uint8_t> bits(bitmap_bytes(sectors));
  (void)reader.mark(*state, 0, sectors, bits, 0);
  (void)reader.mark(*state, 7, sectors - 9, bits, 3);
  return 0;
}
