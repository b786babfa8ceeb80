#include "support/disk_fixture.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/disk_builder.hpp"
#include "support/ext_builder.hpp"
#include "support/fs_support.hpp"
#include "support/lvm_builder.hpp"
#include "support/xfs_tools.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

void run_or_throw(const std::string& command) {
  const CommandResult r = run_command(command + " 2>&1");
  if (r.status != 0) throw std::runtime_error(command + " failed: " + r.output);
}

// Files of pseudo-random bytes (never all zero), different per seed.
void make_data_file(const std::string& path, uint64_t size, uint32_t seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> buf(64 * 1024);
  uint32_t x = seed * 2654435761u + 1;
  for (uint64_t done = 0; done < size;) {
    for (char& c : buf) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x | 0x10);
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, buf.size()));
    out.write(buf.data(), static_cast<std::streamsize>(n));
    done += n;
  }
}

void zero_range(const std::string& path, uint64_t offset, uint64_t length) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  std::vector<char> zeros(1024 * 1024, 0);
  f.seekp(static_cast<std::streamoff>(offset));
  while (length) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, zeros.size()));
    f.write(zeros.data(), static_cast<std::streamsize>(n));
    length -= n;
  }
}

std::string q(const std::string& s) { return shell_quote(s); }

}  // namespace

// A dirty partition file holding a FAT32 volume with files, a folder and two deleted files.
void make_fat32(const std::string& dir, const std::string& part, uint64_t sectors, uint64_t hidden) {
  make_dirty_file(part, sectors * 512, 0x3D);
  run_or_throw("mkfs.vfat -F 32 -h " + std::to_string(hidden) + " -n QXFAT " + q(part));
  run_or_throw("mmd -i " + q(part) + " ::/docs");
  for (uint32_t i = 0; i < 6; ++i) {
    const std::string f = dir + "/fat" + std::to_string(i);
    make_data_file(f, (1 + i % 3) * kMiB + i * 4099, 100 + i);
    run_or_throw("mcopy -i " + q(part) + " " + q(f) + (i % 2 ? " ::/docs/" : " ::/") + "f" + std::to_string(i));
  }
  for (uint32_t i = 0; i < 2; ++i) {
    const std::string f = dir + "/fatgarbage" + std::to_string(i);
    make_data_file(f, 3 * kMiB, 200 + i);
    run_or_throw("mcopy -i " + q(part) + " " + q(f) + " ::/g" + std::to_string(i));
  }
  run_or_throw("mdel -i " + q(part) + " ::/g0 ::/g1");
}

// A dirty partition file holding an ext2/ext4 volume made from a folder, then two files deleted.
void make_ext(const std::string& dir, const std::string& part, uint64_t sectors, const std::string& type,
              bool defaults) {
  make_dirty_file(part, sectors * 512, 0x6B);
  const std::string tree = dir + "/" + type + "tree";
  std::filesystem::create_directories(tree + "/sub");
  for (uint32_t i = 0; i < 6; ++i)
    make_data_file(tree + (i % 2 ? "/sub/e" : "/e") + std::to_string(i), (1 + i % 3) * kMiB + i * 777, 300 + i);
  for (uint32_t i = 0; i < 2; ++i) make_data_file(tree + "/g" + std::to_string(i), 3 * kMiB, 400 + i);
  // ext4 with the 32-byte group descriptors and written bitmaps that the reader understands.
  const std::string features = type == "ext4" && !defaults ? " -O ^64bit,^metadata_csum,^uninit_bg" : "";
  run_or_throw("mke2fs -q -F -t " + type + features + " -E nodiscard,lazy_itable_init=0 -d " + q(tree) +
               " " + q(part));
  run_or_throw("debugfs -w -R 'rm /g0' " + q(part));
  run_or_throw("debugfs -w -R 'rm /g1' " + q(part));
}

namespace {

// A dirty partition file holding an NTFS volume with files copied in.
void make_ntfs(const std::string& dir, const std::string& part, uint64_t sectors, uint64_t hidden) {
  make_dirty_file(part, sectors * 512, 0x4E);
  run_or_throw("mkntfs -q -F -f -s 512 -p " + std::to_string(hidden) + " -H 255 -S 63 -L QXNTFS " + q(part));
  for (uint32_t i = 0; i < 5; ++i) {
    const std::string f = dir + "/ntfs" + std::to_string(i);
    make_data_file(f, (1 + i % 3) * kMiB + i * 1234, 500 + i);
    run_or_throw("ntfscp -q " + q(part) + " " + q(f) + " /n" + std::to_string(i));
  }
}

}  // namespace

bool have_disk_tools() {
  for (const char* t : {"sfdisk", "sgdisk", "mkfs.vfat", "mmd", "mcopy", "mdel", "mke2fs", "debugfs",
                        "mkntfs", "ntfscp", "fsck.vfat", "e2fsck", "ntfsfix", "qemu-img"})
    if (!have_tool(t)) return false;
  return true;
}

void copy_range(const std::string& from, uint64_t from_offset, const std::string& to, uint64_t to_offset,
                uint64_t length) {
  std::ifstream in(from, std::ios::binary);
  std::fstream out(to, std::ios::binary | std::ios::in | std::ios::out);
  if (!out) {
    std::ofstream(to, std::ios::binary).close();
    out.open(to, std::ios::binary | std::ios::in | std::ios::out);
  }
  in.seekg(static_cast<std::streamoff>(from_offset));
  out.seekp(static_cast<std::streamoff>(to_offset));
  std::vector<char> buf(1024 * 1024);
  while (length) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, buf.size()));
    in.read(buf.data(), static_cast<std::streamsize>(n));
    if (static_cast<size_t>(in.gcount()) != n) throw std::runtime_error("short read from " + from);
    out.write(buf.data(), static_cast<std::streamsize>(n));
    length -= n;
  }
}

DiskFixture make_mbr_fat32_ext4(const std::string& dir) {
  DiskFixture d;
  d.raw = dir + "/mbr.raw";
  d.bytes = 96 * kMiB;
  d.partitions = {{"vfat", 2048, 98304}, {"ext4", 100352, 86016}};
  make_dirty_file(d.raw, d.bytes, 0x91);
  const uint64_t end = (100352 + 86016) * 512ull;
  zero_range(d.raw, end, d.bytes - end);
  run_or_throw("printf 'label: dos\\nstart=2048, size=98304, type=c\\nstart=100352, size=86016, type=83\\n'"
               " | sfdisk -q " + q(d.raw));
  make_fat32(dir, dir + "/p1.fat", 98304, 2048);
  make_ext(dir, dir + "/p2.ext4", 86016, "ext4");
  copy_range(dir + "/p1.fat", 0, d.raw, 2048 * 512ull, 98304 * 512ull);
  copy_range(dir + "/p2.ext4", 0, d.raw, 100352 * 512ull, 86016 * 512ull);
  return d;
}

DiskFixture make_mbr_fat32(const std::string& dir) {
  DiskFixture d;
  d.raw = dir + "/fat32.raw";
  d.bytes = 73728 * 512ull;
  d.partitions = {{"vfat", 2048, 71680}};
  make_dirty_file(d.raw, d.bytes, 0x93);
  run_or_throw("printf 'label: dos\\nstart=2048, size=71680, type=c\\n' | sfdisk -q " + q(d.raw));
  make_fat32(dir, dir + "/p1.fat", 71680, 2048);
  copy_range(dir + "/p1.fat", 0, d.raw, 2048 * 512ull, 71680 * 512ull);
  return d;
}

DiskFixture make_gpt_ntfs_ext2(const std::string& dir) {
  DiskFixture d;
  d.raw = dir + "/gpt.raw";
  d.bytes = 96 * kMiB;
  d.partitions = {{"ntfs", 2048, 98304}, {"ext2", 100352, 73728}};
  make_dirty_file(d.raw, d.bytes, 0x92);
  const uint64_t end = (100352 + 73728) * 512ull;
  zero_range(d.raw, end, d.bytes - end);
  run_or_throw("sgdisk -n 1:2048:+48M -t 1:0700 -n 2:100352:+36M -t 2:8300 " + q(d.raw));
  make_ntfs(dir, dir + "/p1.ntfs", 98304, 2048);
  make_ext(dir, dir + "/p2.ext2", 73728, "ext2");
  copy_range(dir + "/p1.ntfs", 0, d.raw, 2048 * 512ull, 98304 * 512ull);
  copy_range(dir + "/p2.ext2", 0, d.raw, 100352 * 512ull, 73728 * 512ull);
  return d;
}

DiskFixture make_mbr_mixed_logical(const std::string& dir) {
  constexpr uint64_t kExtended = 133120, kSecondRecord = kExtended + 41024, kSectors = 205063;
  DiskFixture d;
  d.raw = dir + "/mixed.raw";
  d.bytes = kSectors * 512;
  d.partitions = {{"vfat", 2048, 73728}, {"ext4", 75776, 57344}, {"ntfs", kExtended + 63, 40960},
                  {"ext2", kSecondRecord + 63, 30700}};
  make_dirty_file(d.raw, d.bytes, 0x96);
  const uint64_t end = (kSecondRecord + 63 + 30700) * 512;
  zero_range(d.raw, end, d.bytes - end);
  write_boot_sector(d.raw, 0, {{0x0C, 2048, 73728}, {0x83, 75776, 57344}, {0x0F, kExtended, kSectors - kExtended}});
  write_boot_sector(d.raw, kExtended, {{0x07, 63, 40960}, {0x05, kSecondRecord - kExtended, kSectors - kSecondRecord}});
  write_boot_sector(d.raw, kSecondRecord, {{0x83, 63, 30700}});
  make_fat32(dir, dir + "/p1.fat", 73728, 2048);
  make_ext(dir, dir + "/p2.ext4", 57344, "ext4");
  make_ntfs(dir, dir + "/p5.ntfs", 40960, kExtended + 63);
  std::filesystem::create_directories(dir + "/ext2tree/sub");
  for (uint32_t i = 0; i < 4; ++i)
    make_data_file(dir + "/ext2tree" + (i % 2 ? "/sub/k" : "/k") + std::to_string(i), kMiB + i * 3001, 700 + i);
  MkExtOptions ext2;
  ext2.block_size = 1024;
  ext2.blocks = 30700 / 2;
  ext2.tree = dir + "/ext2tree";
  if (!make_ext_volume(dir + "/p6.ext2", ext2)) throw std::runtime_error("mke2fs of the 1 KiB ext2 failed");
  const char* parts[] = {"/p1.fat", "/p2.ext4", "/p5.ntfs", "/p6.ext2"};
  for (size_t i = 0; i < d.partitions.size(); ++i)
    copy_range(dir + parts[i], 0, d.raw, d.partitions[i].start * 512, d.partitions[i].sectors * 512);
  // 4 KiB of data behind the last partition, at the start of the disk's last whole 64 KiB.
  make_data_file(dir + "/tail", 4096, 800);
  copy_range(dir + "/tail", 0, d.raw, (d.bytes / 65536 - 1) * 65536, 4096);
  return d;
}

bool have_xfs_disk_tools() { return have_disk_tools() && have_xfs_tools(); }

DiskFixture make_gpt_xfs_ext4(const std::string& dir) {
  DiskFixture d;
  d.raw = dir + "/xfs.raw";
  d.bytes = 420 * kMiB;
  d.partitions = {{"xfs", 2048, 655360}, {"ext4", 657408, 184320}};
  make_sparse_file(d.raw, d.bytes);
  run_or_throw("sgdisk -n 1:2048:+320M -t 1:8300 -n 2:657408:+90M -t 2:8300 " + q(d.raw));
  const std::string xfs = dir + "/p1.xfs";
  make_sparse_file(xfs, 655360 * 512ull);
  make_dirty_file(dir + "/dirt", 96 * kMiB, 0x58);
  copy_range(dir + "/dirt", 0, xfs, 0, 96 * kMiB);
  make_data_file(dir + "/xfsfile", 3 * kMiB + 4321, 600);
  write_xfs_proto(dir + "/proto", {"a", "b"}, 6, dir + "/xfsfile");
  run_or_throw("mkfs.xfs -q -f -K -p " + q(dir + "/proto") + " " + q(xfs));
  if (!punch_every_other_file(xfs, {"a", "b"})) throw std::runtime_error("deleting XFS files failed");
  make_ext(dir, dir + "/p2.ext4", 184320, "ext4", true);
  copy_range(xfs, 0, d.raw, 2048 * 512ull, 655360 * 512ull);
  copy_range(dir + "/p2.ext4", 0, d.raw, 657408 * 512ull, 184320 * 512ull);
  return d;
}

DiskFixture make_whole_ext4(const std::string& dir) {
  DiskFixture d;
  d.raw = dir + "/whole.raw";
  d.bytes = 32 * kMiB;
  d.partitions = {{"ext4", 0, d.bytes / 512}};
  make_ext(dir, d.raw, d.bytes / 512, "ext4", true);
  return d;
}

DiskFixture make_mbr_ext4(const std::string& dir) {
  DiskFixture d;
  d.raw = dir + "/mbr_ext4.raw";
  d.bytes = 40 * kMiB;
  d.partitions = {{"ext4", 2048, d.bytes / 512 - 2048}};
  make_dirty_file(d.raw, d.bytes, 0x95);
  run_or_throw("printf 'label: dos\\nstart=2048, type=83\\n' | sfdisk -q " + q(d.raw));
  make_ext(dir, dir + "/p1.ext4", d.partitions[0].sectors, "ext4", true);
  copy_range(dir + "/p1.ext4", 0, d.raw, 2048 * 512ull, d.partitions[0].sectors * 512);
  return d;
}

DiskFixture make_mbr_lvm_ext4(const std::string& dir) {
  DiskFixture d;
  d.raw = dir + "/lvm.raw";
  d.bytes = 64 * kMiB;
  constexpr uint64_t kPv = 2048, kExtent = 8192, kLvStart = kPv + 2048 + kExtent;
  d.partitions = {{"ext4", kLvStart, 10 * kExtent}};
  make_dirty_file(d.raw, d.bytes, 0x94);
  run_or_throw("printf 'label: dos\\nstart=2048, type=8e\\n' | sfdisk -q " + q(d.raw));
  LvmPvSpec pv;
  pv.pe_count = 14;
  pv.dev_size = d.bytes / 512 - kPv;
  pv.lvs = {linear_lv("lv0", 1, 10)};
  write_lvm_pv(d.raw, kPv * 512, pv);
  make_ext(dir, dir + "/lv.ext4", 10 * kExtent, "ext4", true);
  copy_range(dir + "/lv.ext4", 0, d.raw, kLvStart * 512, 10 * kExtent * 512);
  return d;
}

std::string check_file_systems(const DiskFixture& disk, const std::string& raw, const std::string& work_dir) {
  std::string failures;
  for (size_t i = 0; i < disk.partitions.size(); ++i) {
    const FsPartition& p = disk.partitions[i];
    const std::string part = work_dir + "/check" + std::to_string(i) + "." + p.fs;
    std::filesystem::remove(part);
    copy_range(raw, p.start * 512, part, 0, p.sectors * 512);
    std::string cmd;
    if (p.fs == "vfat") cmd = "fsck.vfat -n ";
    else if (p.fs == "ntfs") cmd = "ntfsfix -n ";
    else if (p.fs == "btrfs") cmd = "btrfs check --readonly ";
    else if (p.fs == "xfs") cmd = "xfs_repair -n -f ";
    else cmd = "e2fsck -fn ";
    const CommandResult r = run_command(cmd + q(part) + " 2>&1");
    if (r.status != 0) failures += p.fs + ": " + r.output + "\n";
    std::filesystem::remove(part);
  }
  return failures;
}

}  // namespace qx::test
