#include "support/luks_tools.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef QX_HAVE_LUKS
#include <gcrypt.h>
#endif

#include "support/fs_support.hpp"
#include "support/lvm_builder.hpp"
#include "support/test_support.hpp"
#include "support/xfs_tools.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

std::string q(const std::string& s) { return shell_quote(s); }

std::string run_or_throw(const std::string& command) {
  const CommandResult r = run_command(command + " 2>&1");
  if (r.status != 0) throw std::runtime_error(command + ": " + r.output);
  return r.output;
}

// The value after `label` on its line of a luksDump, or empty.
std::string dump_field(const std::string& dump, const std::string& label) {
  const size_t at = dump.find(label);
  if (at == std::string::npos) return {};
  size_t from = dump.find_first_not_of(" \t", at + label.size());
  const size_t end = dump.find('\n', from);
  return dump.substr(from, end - from);
}

void make_content(const std::string& dir, const std::string& file, const std::string& content,
                  uint64_t bytes, uint64_t hidden, FsPartition& fs) {
  const uint64_t sectors = bytes / 512;
  fs.fs = content == "lvm-ext4" ? "ext4" : content;
  fs.sectors = sectors;
  if (content == "vfat") {
    make_fat32(dir, file, sectors, hidden);
  } else if (content == "ext4") {
    make_ext(dir, file, sectors, "ext4", true);
  } else if (content == "xfs") {
    const std::string data = dir + "/xfs-data";
    make_dirty_file(data, 3 * kMiB + 4321, 0x58);
    write_xfs_proto(dir + "/proto", {"a", "b"}, 6, data);
    if (make_xfs_volume(file, bytes, "-K", dir + "/proto") != 0 || !punch_every_other_file(file, {"a", "b"}))
      throw std::runtime_error("mkfs.xfs failed");
  } else if (content == "btrfs") {
    const std::string tree = dir + "/btrfs-tree";
    std::filesystem::create_directories(tree + "/sub");
    for (int i = 0; i < 6; ++i) make_dirty_file(tree + (i % 2 ? "/sub/f" : "/f") + std::to_string(i), (1 + i % 3) * kMiB + 777u * i, static_cast<uint8_t>(0x20 + i));
    make_dirty_file(file, bytes, 0xB7);
    run_or_throw("mkfs.btrfs -q -K -f -r " + q(tree) + " " + q(file));
  } else if (content == "lvm-ext4") {
    // One physical volume over the whole payload, its one linear volume from the first extent.
    constexpr uint64_t kExtent = 8192, kPeStart = 2048;
    make_dirty_file(file, bytes, 0x94);
    LvmPvSpec pv;
    pv.vg_name = "ubuntu-vg";
    pv.pe_count = static_cast<uint32_t>((sectors - kPeStart) / kExtent);
    pv.dev_size = sectors;
    pv.lvs = {linear_lv("ubuntu-lv", 0, pv.pe_count)};
    write_lvm_pv(file, 0, pv);
    const std::string lv = file + ".lv";
    make_ext(dir, lv, pv.pe_count * kExtent, "ext4", true);
    copy_range(lv, 0, file, kPeStart * 512, pv.pe_count * kExtent * 512);
    std::filesystem::remove(lv);
    fs.start += kPeStart;
    fs.sectors = pv.pe_count * kExtent;
  } else {
    throw std::runtime_error("no such content: " + content);
  }
}

}  // namespace

bool have_luks_tools() {
#ifdef QX_HAVE_LUKS
  return have_tool("cryptsetup");
#else
  return false;
#endif
}

LuksVolume luks_format(const std::string& volume, const std::string& key_file, const std::string& options) {
  run_or_throw("cryptsetup luksFormat -q --key-file " + q(key_file) + " " + options + " " + q(volume));
  const std::string dump = run_or_throw("cryptsetup luksDump " + q(volume));
  LuksVolume v;
  v.uuid = dump_field(dump, "UUID:");
  if (dump_field(dump, "Version:") == "1") {
    v.payload_offset = std::stoull(dump_field(dump, "Payload offset:")) * 512;
    v.cipher = dump_field(dump, "Cipher name:") + "-" + dump_field(dump, "Cipher mode:");
  } else {
    v.payload_offset = std::stoull(dump_field(dump, "offset:"));
    v.sector_size = static_cast<uint32_t>(std::stoul(dump_field(dump, "sector:")));
    v.cipher = dump_field(dump, "cipher:");
  }
  const std::string keys =
      run_or_throw("cryptsetup luksDump -q --dump-volume-key --key-file " + q(key_file) + " " + q(volume));
  std::istringstream hex(keys.substr(keys.find("MK dump:") + 8));
  for (std::string byte; hex >> byte;) v.key.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return v;
}

void luks_crypt(const LuksVolume& v, const std::string& file, uint64_t at, uint64_t length, bool encrypt) {
#ifdef QX_HAVE_LUKS
  if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  }
  const bool xts = v.cipher == "aes-xts-plain64";
  ASSERT_TRUE(xts || v.cipher == "aes-cbc-essiv:sha256") << v.cipher;
  const size_t cipher_key = xts ? v.key.size() / 2 : v.key.size();
  const int algo = cipher_key == 16 ? GCRY_CIPHER_AES128 : cipher_key == 24 ? GCRY_CIPHER_AES192 : GCRY_CIPHER_AES256;
  gcry_cipher_hd_t data = nullptr, essiv = nullptr;
  ASSERT_EQ(gcry_cipher_open(&data, algo, xts ? GCRY_CIPHER_MODE_XTS : GCRY_CIPHER_MODE_CBC, 0), 0u);
  ASSERT_EQ(gcry_cipher_setkey(data, v.key.data(), v.key.size()), 0u);
  if (!xts) {
    uint8_t salt[32];
    gcry_md_hash_buffer(GCRY_MD_SHA256, salt, v.key.data(), v.key.size());
    ASSERT_EQ(gcry_cipher_open(&essiv, GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_ECB, 0), 0u);
    ASSERT_EQ(gcry_cipher_setkey(essiv, salt, sizeof salt), 0u);
  }
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  std::vector<uint8_t> buf(kMiB);
  for (uint64_t done = 0; done < length; done += buf.size()) {
    const uint64_t pos = at + v.payload_offset + done;
    buf.resize(static_cast<size_t>(std::min<uint64_t>(kMiB, length - done)));
    f.seekg(static_cast<std::streamoff>(pos));
    f.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(buf.size()));
    for (size_t s = 0; s < buf.size(); s += v.sector_size) {
      // The IV counts 512-byte sectors from the payload's start, whatever the sector size.
      uint8_t iv[16] = {};
      const uint64_t n = (done + s) / 512;
      for (int i = 0; i < 8; ++i) iv[i] = static_cast<uint8_t>(n >> (8 * i));
      if (essiv) gcry_cipher_encrypt(essiv, iv, 16, nullptr, 0);
      gcry_cipher_setiv(data, iv, 16);
      uint8_t* p = buf.data() + s;
      if (encrypt) gcry_cipher_encrypt(data, p, v.sector_size, nullptr, 0);
      else gcry_cipher_decrypt(data, p, v.sector_size, nullptr, 0);
    }
    f.seekp(static_cast<std::streamoff>(pos));
    f.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(buf.size()));
  }
  gcry_cipher_close(data);
  if (essiv) gcry_cipher_close(essiv);
#else
  (void)v, (void)file, (void)at, (void)length, (void)encrypt;
  FAIL() << "this build has no LUKS";
#endif
}

LuksDisk make_luks_disk(const std::string& dir, const std::string& name, bool gpt,
                        const std::vector<DiskPart>& parts, const std::string& key_file) {
  LuksDisk d;
  d.plain.raw = dir + "/" + name + ".plain";
  d.disk.raw = dir + "/" + name + ".raw";
  d.second_key_file = dir + "/" + name + ".second-key";
  write_file(d.second_key_file, {'s', 'e', 'c', 'o', 'n', 'd', '\n'});
  std::vector<uint64_t> starts;
  uint64_t next = 2048;
  for (const DiskPart& p : parts) {
    starts.push_back(next);
    next = (next + p.sectors + 2047) / 2048 * 2048;
  }
  const uint64_t total = next + 2048;
  d.plain.bytes = d.disk.bytes = total * 512;
  make_dirty_file(d.plain.raw, d.plain.bytes, 0x3C);
  std::string table = gpt ? "sgdisk -a 1" : "printf 'label: dos\\n";
  for (size_t i = 0; i < parts.size(); ++i) {
    const DiskPart& p = parts[i];
    const bool esp = p.content == "vfat";
    if (gpt)
      table += " -n " + std::to_string(i + 1) + ":" + std::to_string(starts[i]) + ":" +
               std::to_string(starts[i] + p.sectors - 1) + " -t " + std::to_string(i + 1) + ":" +
               (esp ? "ef00" : !p.luks.empty() ? "8309" : "8300");
    else
      table += "start=" + std::to_string(starts[i]) + ", size=" + std::to_string(p.sectors) + ", type=" +
               (esp ? "c" : "83") + "\\n";
  }
  run_or_throw(gpt ? table + " " + q(d.plain.raw) : table + "' | sfdisk -q " + q(d.plain.raw));
  for (size_t i = 0; i < parts.size(); ++i) {
    const DiskPart& p = parts[i];
    const std::string part = dir + "/" + name + "-part" + std::to_string(i);
    make_dirty_file(part, p.sectors * 512, static_cast<uint8_t>(0x70 + i));
    uint64_t payload = 0;
    if (!p.luks.empty()) {
      const bool own_pbkdf = p.luks.find("--pbkdf") != std::string::npos;
      LuksVolume v = luks_format(part, key_file, own_pbkdf ? p.luks : p.luks + " " + kFastPbkdf);
      run_or_throw("cryptsetup luksAddKey -q " + std::string(kFastPbkdf) + " --key-file " + q(key_file) + " " +
                   q(part) + " " + q(d.second_key_file));
      v.start = starts[i];
      v.sectors = p.sectors;
      payload = v.payload_offset;
      d.volumes.push_back(v);
    }
    FsPartition fs;
    fs.start = starts[i] + payload / 512;
    const std::string content = part + ".content";
    make_content(dir, content, p.content, p.sectors * 512 - payload, fs.start, fs);
    copy_range(content, 0, part, payload, p.sectors * 512 - payload);
    copy_range(part, 0, d.plain.raw, starts[i] * 512, p.sectors * 512);
    std::filesystem::remove(content);
    std::filesystem::remove(part);
    d.plain.partitions.push_back(fs);
  }
  d.disk.partitions = d.plain.partitions;
  std::filesystem::copy_file(d.plain.raw, d.disk.raw, std::filesystem::copy_options::overwrite_existing);
  for (const LuksVolume& v : d.volumes)
    luks_crypt(v, d.disk.raw, v.start * 512, v.sectors * 512 - v.payload_offset, true);
  return d;
}

void decrypt_disk(const LuksDisk& d, const std::string& raw) {
  for (const LuksVolume& v : d.volumes)
    luks_crypt(v, raw, v.start * 512, v.sectors * 512 - v.payload_offset, false);
}

VolumeKeys keys_from_file(const std::string& key_file) {
  const std::vector<uint8_t> bytes = read_file(key_file);
  VolumeKeys keys(1);
  keys[0].passphrase = Secret(bytes.size());
  std::copy(bytes.begin(), bytes.end(), keys[0].passphrase.data());
  keys[0].passphrase.resize(bytes.size());
  return keys;
}

}  // namespace qx::test
