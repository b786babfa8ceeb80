#include "support/qcow_builder.hpp"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "support/file_patch.hpp"

namespace qx::test {

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

// ---- QCOW2 ----

namespace {


}  // namespace

Qcow2Built qcow2_bytes(const Qcow2Shape& shape, const std::vector<uint8_t>& disk,
                       const std::vector<Qcow2Special>& special) {
  const uint64_t C = uint64_t{1} << shape.cluster_bits;
  const uint64_t words = shape.extended ? 2 : 1;
  const uint64_t per_table = C / 8 / words;
  const uint64_t clusters = (shape.size + C - 1) / C;
  const uint64_t tables = (clusters + per_table - 1) / per_table;
  // Data first, in a buffer of its own; its place in the file is known once the tables are.
  std::vector<uint8_t> data;
  std::vector<uint64_t> entry(clusters * 2, 0);
  std::vector<uint8_t> relative(clusters, 0);  // the entry's offset still counts from the data's start
  const uint32_t shift = 62 - (shape.cluster_bits - 8);
  for (uint64_t i = 0; i < clusters; ++i) {
    const uint64_t at = i * C;
    std::vector<uint8_t> bytes(C, 0);
    if (at < disk.size()) std::copy(disk.begin() + at, disk.begin() + std::min<uint64_t>(disk.size(), at + C), bytes.begin());
    const auto found = std::find_if(special.begin(), special.end(), [&](const Qcow2Special& s) { return s.cluster == i; });
    const uint32_t zero = found == special.end() ? 0 : found->zero;
    const uint32_t absent = found == special.end() ? 0 : found->absent;
    const bool empty = std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
    if (!shape.extended && zero) {
      entry[i * 2] = 1;
      continue;
    }
    if (empty && !zero) continue;
    if (shape.compressed && !empty) {
      const std::vector<uint8_t> packed = raw_deflate(bytes.data(), bytes.size());
      const uint64_t start = data.size();
      const uint64_t sectors = (start % 512 + packed.size() + 511) / 512;
      data.insert(data.end(), packed.begin(), packed.end());
      relative[i] = 1;
      entry[i * 2] = uint64_t{1} << 62 | (sectors - 1) << shift | start;
      continue;
    }
    const uint32_t all = 0xFFFFFFFFu;
    const uint32_t alloc = shape.extended ? all & ~zero & ~absent : 1;
    if (empty && shape.extended) {
      entry[i * 2 + 1] = uint64_t{zero} << 32;
      continue;
    }
    data.resize(round_up(data.size(), C));
    relative[i] = 1;
    entry[i * 2] = uint64_t{1} << 63 | data.size();
    entry[i * 2 + 1] = alloc | uint64_t{zero} << 32;
    data.insert(data.end(), bytes.begin(), bytes.end());
  }
  // Header, refcount table, refcount blocks, L1, L2 tables, data; refcounts of 16 bits.
  const uint64_t l1_bytes = round_up(std::max<uint64_t>(tables, 1) * 8, C);
  uint64_t blocks = 1;
  uint64_t total = 0;
  for (int pass = 0; pass < 4; ++pass) {
    total = 2 + blocks + l1_bytes / C + tables + (data.size() + C - 1) / C + 1;
    blocks = (total + C / 2 - 1) / (C / 2);
  }
  Qcow2Built out;
  out.refcount_table = C;
  out.l1_offset = (2 + blocks) * C;
  out.first_l2 = out.l1_offset + l1_bytes;
  const uint64_t data_at = out.first_l2 + tables * C;
  std::vector<uint8_t>& f = out.bytes;
  f.assign(data_at + data.size(), 0);
  std::copy(data.begin(), data.end(), f.begin() + static_cast<int64_t>(data_at));
  put_be(f, 0, 0x514649FB, 4);
  put_be(f, 4, shape.version, 4);
  put_be(f, 20, shape.cluster_bits, 4);
  put_be(f, 24, shape.size, 8);
  put_be(f, 32, shape.crypt_method, 4);
  put_be(f, 36, tables, 4);
  put_be(f, 40, out.l1_offset, 8);
  put_be(f, 48, out.refcount_table, 8);
  put_be(f, 56, 1, 4);
  uint64_t head = 72;
  if (shape.version == 3) {
    put_be(f, 72, shape.incompatible | (shape.extended ? 16 : 0), 8);
    put_be(f, 96, 4, 4);
    put_be(f, 100, 104, 4);
    head = 104;
  }
  if (!shape.backing_format.empty()) {
    put_be(f, head, 0xE2792ACA, 4);
    put_be(f, head + 4, shape.backing_format.size(), 4);
    std::copy(shape.backing_format.begin(), shape.backing_format.end(), f.begin() + static_cast<int64_t>(head + 8));
    head += 8 + round_up(shape.backing_format.size(), 8);
  }
  head += 8;  // the end of the extensions
  if (!shape.backing.empty()) {
    put_be(f, 8, head, 8);
    put_be(f, 16, shape.backing.size(), 4);
    std::copy(shape.backing.begin(), shape.backing.end(), f.begin() + static_cast<int64_t>(head));
  }
  std::vector<uint16_t> refcounts(blocks * (C / 2), 0);
  for (uint64_t c = 0; c < data_at / C; ++c) refcounts[c] = 1;
  for (uint64_t i = 0; i < clusters; ++i) {
    uint64_t& e = entry[i * 2];
    if (!relative[i]) continue;
    if (e & uint64_t{1} << 62) {
      const uint64_t offset = (e & ((uint64_t{1} << shift) - 1)) + data_at;
      const uint64_t sectors = ((e >> shift) & ((uint64_t{1} << (shape.cluster_bits - 8)) - 1)) + 1;
      e = (e & ~((uint64_t{1} << shift) - 1)) | offset;
      for (uint64_t c = offset / C; c <= (offset / 512 * 512 + sectors * 512 - 1) / C; ++c) ++refcounts[c];
    } else {
      e += data_at;
      ++refcounts[(e & 0x00FFFFFFFFFFFE00ull) / C];
    }
  }
  for (uint64_t b = 0; b < blocks; ++b) {
    put_be(f, out.refcount_table + b * 8, (2 + b) * C, 8);
    for (uint64_t k = 0; k < C / 2; ++k) put_be(f, (2 + b) * C + k * 2, refcounts[b * (C / 2) + k], 2);
  }
  for (uint64_t t = 0; t < tables; ++t) {
    put_be(f, out.l1_offset + t * 8, uint64_t{1} << 63 | (out.first_l2 + t * C), 8);
    for (uint64_t k = 0; k < per_table && t * per_table + k < clusters; ++k)
      for (uint64_t w = 0; w < words; ++w)
        put_be(f, out.first_l2 + t * C + (k * words + w) * 8, entry[(t * per_table + k) * 2 + w], 8);
  }
  return out;
}

}  // namespace qx::test
