// The GUID partition table with both of its copies: the input holds the disk's first sectors and
// its last ones, so that mutations reach the primary header and entries and the backup alike.
// Layout: the disk's length in 4 KiB units (2 bytes, little-endian, at least 32), the length of the
// front part (4 bytes), the front part (from sector 0), the rest (ending at the disk's end).
#include <algorithm>
#include <cstdio>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "image/byte_order.hpp"
#include "volume/partitions.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  if (size < 6) return 0;
  const uint64_t disk = uint64_t{std::max<uint16_t>(le16(data), 32)} * 4096;
  const std::span<const uint8_t> rest(data + 6, size - 6);
  const size_t front = std::min<size_t>({le32(data + 2), rest.size(), static_cast<size_t>(disk)});
  const size_t back = std::min<size_t>(rest.size() - front, static_cast<size_t>(disk - front));
  std::vector<uint8_t> bytes(front + back);
  std::copy_n(rest.begin(), bytes.size(), bytes.begin());
  // Sparse between the two parts.
  const std::string path = fuzz::write_scratch("gpt.raw", std::span(bytes).first(front));
  if (std::FILE* f = std::fopen(path.c_str(), "r+b")) {
    if (back) {
      (void)std::fseek(f, static_cast<long>(disk - back), SEEK_SET);
      (void)std::fwrite(bytes.data() + front, 1, back, f);
    }
    if (front + back < disk && !back) {
      (void)std::fseek(f, static_cast<long>(disk - 1), SEEK_SET);
      (void)std::fputc(0, f);
    }
    std::fclose(f);
  }
  DiskImage image;
  const DiskGeometry g{static_cast<uint32_t>(disk / 512), 16, 63, 512};
  if (open_flat(image, path, true, 0, g) != OK) return 0;
  std::vector<PartitionEntry> entries;
  TableFindings findings;
  (void)enumerate_partitions(image, 0, 256, entries, &findings);
  (void)holds_partition_table(image);
  fuzz::exercise_image(image);
  return 0;
}
