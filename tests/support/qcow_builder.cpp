#include "support/qcow_builder.hpp"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "support/file_patch.hpp"

namespace qx::test {
namespace {

std::vector<uint8_t> raw_deflate(const uint8_t* data, size_t n) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -12, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::vector<uint8_t> out(deflateBound(&z, n));
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace

std::vector<uint8_t> qcow_bytes(const QcowShape& shape, const std::vector<uint8_t>& disk) {
  const uint64_t cluster = uint64_t{1} << shape.cluster_bits;
  const uint64_t span = cluster << shape.l2_bits;
  const uint64_t l1_entries = (shape.size + span - 1) / span;
  const uint64_t l1_at = (48 + shape.backing.size() + 7) / 8 * 8;
  std::vector<uint8_t> file(l1_at + l1_entries * 8, 0);
  put_be(file, 0, 0x514649FB, 4);
  put_be(file, 4, 1, 4);
  if (!shape.backing.empty()) {
    put_be(file, 8, 48, 8);
    put_be(file, 16, shape.backing.size(), 4);
    std::copy(shape.backing.begin(), shape.backing.end(), file.begin() + 48);
  }
  put_be(file, 24, shape.size, 8);
  file[32] = shape.cluster_bits;
  file[33] = shape.l2_bits;
  put_be(file, 36, shape.crypt_method, 4);
  put_be(file, 40, l1_at, 8);
  const auto append_aligned = [&](const std::vector<uint8_t>& bytes, uint64_t align) {
    const uint64_t at = (file.size() + align - 1) / align * align;
    file.resize(at + bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<int64_t>(at));
    return at;
  };
  const uint32_t shift = 63 - shape.cluster_bits;
  for (uint64_t l1 = 0; l1 < l1_entries; ++l1) {
    std::vector<uint64_t> l2(size_t{1} << shape.l2_bits, 0);
    bool any = false;
    for (uint64_t i = 0; i < l2.size(); ++i) {
      const uint64_t at = l1 * span + i * cluster;
      if (at >= disk.size()) break;
      const auto begin = disk.begin() + static_cast<int64_t>(at);
      const auto end = disk.begin() + static_cast<int64_t>(std::min<uint64_t>(disk.size(), at + cluster));
      if (std::all_of(begin, end, [](uint8_t b) { return b == 0; })) continue;
      std::vector<uint8_t> data(begin, end);
      data.resize(cluster, 0);
      if (shape.compressed) {
        const size_t n = shape.inflate_short ? data.size() - 512 : data.size();
        std::vector<uint8_t> packed = raw_deflate(data.data(), n);
        if (packed.size() < cluster) {
          l2[i] = uint64_t{1} << 63 | uint64_t{packed.size()} << shift | append_aligned(packed, 1);
          any = true;
          continue;
        }
      }
      l2[i] = append_aligned(data, cluster);
      any = true;
    }
    if (!any) continue;
    std::vector<uint8_t> table(l2.size() * 8);
    for (size_t i = 0; i < l2.size(); ++i) put_be(table, i * 8, l2[i], 8);
    put_be(file, l1_at + l1 * 8, append_aligned(table, 512), 8);
  }
  return file;
}

}  // namespace qx::test
