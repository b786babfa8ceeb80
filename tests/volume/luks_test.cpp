// Encrypted guests: LUKS volumes made by cryptsetup, their data written through the encryption,
// unlocked with the user's key and trimmed inside; kept whole with their reason without it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>

#include "app/inspect.hpp"
#include "app/trim_driver.hpp"
#include "image/primitives.hpp"
#include "support/disk_builder.hpp"
#include "support/qemu_tools.hpp"
#include "support/ext_builder.hpp"
#include "support/image_checks.hpp"
#include "support/json_reader.hpp"
#include "support/map_disk.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "volume/luks.hpp"
#ifdef QX_HAVE_LUKS
#include "support/luks_tools.hpp"
#endif

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;
constexpr uint64_t kMiB = 1024 * 1024;

test::Json inspect_json(const std::string& args) {
  const auto r = test::run_command(shell_quote(test::inspect_binary()) + " --json " + args + " 2>&1");
  test::Json j;
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(test::JsonReader(r.output).read(j)) << r.output;
  return j;
}

// A LUKS header's first bytes alone are enough to be told apart; what a build without the
// library says of one, and what a build with it says without a key.
TEST(Luks, HeaderAloneIsKeptWholeWithItsReason) {
  test::TempDir dir;
  const std::string disk = dir.file("disk.img");
  test::make_sparse_file(disk, 8 * kMiB);
  test::write_boot_sector(disk, 0, {{0x83, 2048, 8192}});
  std::vector<uint8_t> header(512);
  std::memcpy(header.data(), "LUKS\xBA\xBE\x00\x02", 8);
  test::write_at(disk, 2048 * 512, header);
  const test::DiskMap map = test::map_disk_file(disk);
  ASSERT_EQ(map.error, OK);
  const auto& r = map.regions[1];
  EXPECT_EQ(r.kind, KIND_LUKS);
#ifdef QX_HAVE_LUKS
  EXPECT_EQ(r.reason_key, "encrypted");
#else
  EXPECT_EQ(r.reason_key, "unlock_unavailable");
#endif
  for (uint32_t s = 2048; s < 2048 + 8192; ++s) ASSERT_TRUE(map.sector_used(s)) << s;
}

TEST(Luks, KeyFileOptions) {
  struct Case {
    std::vector<const char*> args;
    bool ok;
    size_t keys;
    bool inspect_ok;  // quorvex-inspect takes options after the image too, and no -d
  };
  const Case cases[] = {{{"--key-file", "k", "x.img"}, true, 1, true},
                        {{"--key-file=2=k", "-d", "--key-file", "-", "x.img"}, true, 2, false},
                        {{"--key-file", "x.img"}, false, 0, false},
                        {{"x.img", "--key-file", "k"}, false, 0, true},
                        {{"--key-file=", "x.img"}, false, 0, false}};
  for (const Case& c : cases) {
    CommandLine cmd;
    EXPECT_EQ(parse_command_line(c.args, cmd), c.ok) << c.args[0];
    if (c.ok) {
      EXPECT_EQ(cmd.key_files.size(), c.keys);
    }
    InspectOptions in;
    EXPECT_EQ(parse_inspect_arguments(c.args, in), c.inspect_ok) << c.args[0];
  }
  EXPECT_TRUE(key_selects("3", 3, ""));
  EXPECT_FALSE(key_selects("3", 0, ""));
  EXPECT_TRUE(key_selects("F4B2031F-1FCA-476C-BCCB-50B5B060154A", 1, "f4b2031f-1fca-476c-bccb-50b5b060154a"));
  EXPECT_FALSE(is_volume_selector("./a"));
}

#ifdef QX_HAVE_LUKS

// What the library says of a header is checked against the volume before anything inside is read.
TEST(Luks, PayloadThatDoesNotFitTheVolumeIsKeptWhole) {
  struct Case {
    const char* name;
    uint64_t offset;  // sectors
    uint32_t sector_size;
    uint64_t header_bytes;
    const char* cipher;
    const char* reason;  // null: opened
  };
  const Case cases[] = {{"fits", 32, 4096, 16384, "aes", nullptr},
                        {"detached_header", 0, 512, 0, "aes", "luks_layout"},
                        {"not_aligned_to_its_sectors", 33, 4096, 0, "aes", "luks_layout"},
                        {"past_the_end", 2048, 512, 0, "aes", "luks_layout"},
                        {"no_whole_sector_left", 2044, 4096, 0, "aes", "luks_layout"},
                        {"inside_the_key_slots", 32, 512, 32768, "aes", "luks_layout"},
                        {"odd_sector_size", 32, 8192, 0, "aes", "luks_layout"},
                        {"unknown_cipher", 32, 512, 0, "blowfish", "luks_cipher"}};
  test::TempDir dir;
  const std::string disk = dir.file("volume.img");
  test::make_sparse_file(disk, 2048 * 512);
  DiskImage image;
  ASSERT_EQ(open_flat(image, disk, true, 0, {2048, 16, 63, 512}), OK);
  const std::vector<uint8_t> key(64, 0x5A);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VolumeEntry entry;
    entry.length = 2048;
    entry.kind = KIND_LUKS;
    LuksPayload p{2, c.offset, c.sector_size, 0, c.header_bytes, c.cipher, "xts-plain64"};
    KeptWholeReason why;
    const ErrorCode rc = open_luks_payload(entry, image, p, key, MapContext{}, why);
    EXPECT_EQ(rc == OK, c.reason == nullptr) << why.text;
    EXPECT_EQ(why.key, c.reason ? c.reason : "");
    EXPECT_EQ(entry.state != nullptr, c.reason == nullptr);
  }
}

struct Variant {
  const char* name;
  const char* options;  // for `cryptsetup reencrypt --encrypt`
};

// cryptsetup encrypts a file system in place itself (LUKS2 offline, no device-mapper): what this
// tool decrypts must be that file system, read exactly as it is alone. (LUKS1 re-encryption needs
// device-mapper; its volumes are tested with the data encrypted here.)
class LuksOwnEncryption : public ::testing::TestWithParam<Variant> {};

TEST_P(LuksOwnEncryption, ReadsWhatCryptsetupEncrypted) {
  if (!test::have_luks_tools() || !test::have_tool("mke2fs")) GTEST_SKIP() << "cryptsetup or mke2fs missing";
  test::TempDir dir;
  const std::string key = dir.file("key"), plain = dir.file("plain.ext4"), volume = dir.file("volume.img");
  test::write_file(key, {'q', 'x', '-', 'k', 'e', 'y'});
  test::MkExtOptions ext;
  ext.type = "ext4";
  ext.blocks = 10240;  // of 4 KiB, which every encryption sector size divides
  ext.tree = test::source_dir() + "/fs";
  ASSERT_TRUE(test::make_ext_volume(plain, ext));
  fs::copy_file(plain, volume);
  test::make_sparse_file(volume, 44 * kMiB);
  const auto r = test::run_command(std::string("cryptsetup reencrypt -q --encrypt --type luks2 --reduce-device-size 4M ") +
                                   "--key-file " + shell_quote(key) + " " + GetParam().options +
                                   " " + shell_quote(volume) + " 2>&1");
  if (r.status != 0) GTEST_SKIP() << "cryptsetup cannot encrypt this way here: " << r.output;
  const VolumeKeys keys = test::keys_from_file(key);
  DiskImage image;
  ASSERT_EQ(open_flat(image, volume, true, 0, {44 * 2048, 16, 63, 512}), OK);
  ErrorCode rc = OK;
  uint32_t recognised = 0;
  const auto map = build_usage_map(image, rc, recognised, MapContext{&keys});
  ASSERT_TRUE(map) << rc;
  ASSERT_EQ(map->volumes.size(), 1u);
  uint32_t payload = 0;
  const UsageMap* inner = luks_inner_map(map->volumes[0], payload);
  ASSERT_NE(inner, nullptr) << map->volumes[0].reason.key << ": " << map->volumes[0].reason.text;
  ASSERT_EQ(inner->volumes[0].kind, KIND_EXT);
  const test::ReaderResult alone = test::map_volume_file(plain, KIND_EXT);
  ASSERT_EQ(alone.probe, OK);
  std::vector<uint8_t> bits(bitmap_bytes(alone.sectors));
  ASSERT_EQ(query_used(*inner, 0, alone.sectors, bits), OK);
  for (uint32_t s = 0; s < alone.sectors; ++s) ASSERT_EQ(test_bit(bits, s), alone.used(s)) << s;
}

INSTANTIATE_TEST_SUITE_P(
    Ciphers, LuksOwnEncryption,
    ::testing::Values(Variant{"xts_512", "--sector-size 512 --pbkdf pbkdf2 --pbkdf-force-iterations 1000"},
                      Variant{"xts_4096", "--sector-size 4096 --pbkdf pbkdf2 --pbkdf-force-iterations 1000"},
                      Variant{"xts_256_argon2id", "--key-size 256 --pbkdf argon2id --pbkdf-force-iterations 4 --pbkdf-memory 32"},
                      Variant{"cbc_essiv", "--cipher aes-cbc-essiv:sha256 --key-size 256 --sector-size 512 "
                                           "--pbkdf pbkdf2 --pbkdf-force-iterations 1000"}),
    [](const auto& info) { return std::string(info.param.name); });

// Two disks of encrypted volumes beside plain ones, made once.
class LuksDisks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::have_luks_tools() || !test::have_disk_tools() || !test::have_tool("mkfs.btrfs") ||
        !test::have_tool("mkfs.xfs"))
      return;
    dir_ = new test::TempDir;
    key_ = dir_->file("key");
    test::write_file(key_, {'p', 'a', 's', 's', ' ', 'w', 'o', 'r', 'd'});
    const std::string d = dir_->path().string();
    mbr_ = new test::LuksDisk(test::make_luks_disk(
        d, "mbr", false,
        {{"vfat", 40 * 2048, ""},
         {"ext4", 52 * 2048, "--type luks1"},
         {"xfs", 96 * 2048, "--type luks2 --sector-size 4096"}},
        key_));
    // The second key slot holds the passphrase quorvex is given.
    gpt_ = new test::LuksDisk(test::make_luks_disk(
        d, "gpt", true,
        {{"btrfs", 144 * 2048, "--type luks2 --sector-size 4096"},
         {"lvm-ext4", 80 * 2048, "--type luks2 --sector-size 512 --pbkdf argon2id --pbkdf-force-iterations 4 --pbkdf-memory 32"}},
        key_));
  }
  static void TearDownTestSuite() {
    delete mbr_;
    delete gpt_;
    delete dir_;
    mbr_ = gpt_ = nullptr;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!mbr_) GTEST_SKIP() << "cryptsetup, the disk tools, mkfs.xfs or mkfs.btrfs missing";
  }

  static test::TempDir* dir_;
  static std::string key_;
  static test::LuksDisk* mbr_;
  static test::LuksDisk* gpt_;
};
test::TempDir* LuksDisks::dir_ = nullptr;
std::string LuksDisks::key_;
test::LuksDisk* LuksDisks::mbr_ = nullptr;
test::LuksDisk* LuksDisks::gpt_ = nullptr;

struct Format {
  const char* name;
  const char* options;  // qemu-img convert -O
};

class LuksDiskTrim : public LuksDisks, public ::testing::WithParamInterface<Format> {};

// After a trim with the key: the image decrypts to the same file systems, clean, every used sector
// as it was, the headers still LUKS; and the free space inside was given back.
TEST_P(LuksDiskTrim, TrimsInsideAndKeepsEveryUsedSector) {
  const Format& f = GetParam();
  for (test::LuksDisk* d : {mbr_, gpt_}) {
    SCOPED_TRACE(d->disk.raw);
    test::TempDir dir;
    const std::string image = dir.file(std::string("disk.") + f.name);
    test::qemu_convert(d->disk.raw, image, std::string("-f raw -O ") + f.options);
    const VolumeKeys keys = test::keys_from_file(key_);
    const test::UsedSectors used = test::used_sectors(image, &keys);
    const test::UsedSectors locked = test::used_sectors(image);
    uint64_t used_count = 0, locked_count = 0;
    for (uint64_t s = 0; s < used.total; ++s) used_count += used.used(s), locked_count += locked.used(s);
    EXPECT_LT(used_count * 2, locked_count) << "the free space inside should be found";

    const auto r = test::quorvex("-d --key-file " + shell_quote(key_) + " " + shell_quote(image));
    ASSERT_EQ(r.status, 0) << r.output;
    const auto check = test::qemu_check(image);
    EXPECT_TRUE(check.status == 0 || check.output.find("does not support checks") != std::string::npos)
        << check.output;
    const std::string after = dir.file("after.raw");
    test::qemu_convert(image, after, "-O raw");
    EXPECT_EQ(test::first_used_difference_in_files(d->disk.raw, after, used), -1);
    for (const test::LuksVolume& v : d->volumes) {
      const std::string header = dir.file("header");
      test::copy_range(after, v.start * 512, header, 0, v.payload_offset);
      EXPECT_EQ(test::run_command("cryptsetup luksDump " + shell_quote(header) + " >/dev/null 2>&1").status, 0);
      fs::remove(header);
    }
    test::decrypt_disk(*d, after);
    EXPECT_EQ(test::first_used_difference_in_files(d->plain.raw, after, used), -1);
    EXPECT_EQ(test::check_file_systems(d->plain, after, dir.path().string()), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, LuksDiskTrim,
                         ::testing::Values(Format{"raw", "raw"}, Format{"qcow2", "qcow2"},
                                           Format{"vdi", "vdi"}, Format{"vmdk", "vmdk"},
                                           Format{"vhd", "vpc -o subformat=dynamic,force_size=on"}, Format{"vhdx", "vhdx"},
                                           Format{"parallels", "parallels"}),
                         [](const auto& info) { return std::string(info.param.name); });

// What quorvex-inspect shows, and what keeps a volume locked: each case changes one thing of the
// GPT disk (a copy of it) and names the reason its second LUKS volume is kept with.
TEST_F(LuksDisks, EveryLockedVolumeKeptWholeWithItsReason) {
  const test::LuksVolume& lvm = gpt_->volumes[1];
  struct Case {
    const char* name;
    std::string key_text;  // the key file given, or none when empty
    std::function<void(const std::string&)> damage;
    const char* reason;  // of the second volume; null when it is unlocked
  };
  const auto zero = [&](uint64_t offset, uint64_t length) {
    return [=](const std::string& raw) { test::write_at(raw, lvm.start * 512 + offset, std::vector<uint8_t>(length)); };
  };
  const std::vector<Case> cases = {
      {"no_key", "", nullptr, "encrypted"},
      {"wrong_key", "not it", nullptr, "wrong_key"},
      {"key_for_another_volume", "1=" + key_, nullptr, "encrypted"},
      {"key_for_this_volume", "2=" + key_, nullptr, nullptr},
      {"key_by_uuid", lvm.uuid + "=" + key_, nullptr, nullptr},
      // Written by an editor: the line end at its end is no part of the passphrase.
      {"second_key_slot", gpt_->second_key_file, nullptr, nullptr},
      {"damaged_key_slot", key_, zero(32768, 65536), "wrong_key"},
      {"primary_header_gone", key_, zero(0, 4096), nullptr},
      {"both_headers_gone", key_, zero(0, 32768), "unknown_file_system"},
      {"cut_short", key_,
       [&](const std::string& raw) {
         test::sh("sgdisk -d 2 -n 2:" + std::to_string(lvm.start) + ":+8M " + shell_quote(raw) + " >/dev/null");
       },
       "luks_damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string raw = dir.file("disk.raw");
    fs::copy_file(gpt_->disk.raw, raw);
    if (c.damage) c.damage(raw);
    std::string args;
    if (!c.key_text.empty()) {
      const bool spec = c.key_text.find('=') != std::string::npos || fs::exists(c.key_text);
      if (!spec) test::write_file(dir.file("given"), std::vector<uint8_t>(c.key_text.begin(), c.key_text.end()));
      args = "--key-file " + shell_quote(spec ? c.key_text : dir.file("given")) + " ";
    }
    const test::Json j = inspect_json("--ranges " + args + shell_quote(raw));
    const auto& all = j["volumes"].items;
    const auto found = std::find_if(all.begin(), all.end(), [&](const test::Json& x) {
      return x["start"].number == static_cast<long long>(lvm.start);
    });
    ASSERT_NE(found, all.end());
    const test::Json& v = *found;
    if (c.reason) {
      EXPECT_EQ(v["reason"]["key"].text, c.reason) << v["reason"]["text"].text;
      EXPECT_EQ(v["used_sectors"].number, v["length"].number);
    } else {
      EXPECT_FALSE(v.has("reason")) << v["reason"]["text"].text;
      const auto& inside = v["inside"].items;  // the logical volume between the LVM2 areas
      EXPECT_TRUE(std::any_of(inside.begin(), inside.end(), [](const test::Json& x) { return x["kind_name"].text == "ext"; }));
    }
    // The run trims the rest all the same and leaves the locked volume as it was.
    const auto volume_bytes = [&] {
      std::vector<char> bytes(lvm.sectors * 512);
      std::ifstream in(raw, std::ios::binary);
      in.seekg(static_cast<std::streamoff>(lvm.start * 512));
      in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      return bytes;
    };
    const auto before = volume_bytes();
    const auto r = test::quorvex("--in-place " + args + shell_quote(raw));
    EXPECT_EQ(r.status, 0) << r.output;
    if (c.reason && std::string(c.name) != "cut_short") {
      EXPECT_TRUE(before == volume_bytes());
    }
  }
}

// The two disks a Linux installer makes by default with encryption: Ubuntu's (ESP, /boot, LUKS2
// holding LVM2 holding ext4) and Fedora's (ESP, /boot, LUKS2 holding Btrfs).
TEST_F(LuksDisks, InstallerShapedDisksTrimToTheirData) {
  const std::string d = dir_->path().string();
  const test::LuksDisk ubuntu = test::make_luks_disk(
      d, "ubuntu", true, {{"vfat", 40 * 2048, ""}, {"ext4", 64 * 2048, ""}, {"lvm-ext4", 208 * 2048, "--type luks2"}},
      key_);
  const test::LuksDisk fedora = test::make_luks_disk(
      d, "fedora", true, {{"vfat", 40 * 2048, ""}, {"ext4", 64 * 2048, ""}, {"btrfs", 208 * 2048, "--type luks2"}},
      key_);
  for (const auto* disk : {&ubuntu, &fedora}) {
    const std::string name = disk == &ubuntu ? "Ubuntu" : "Fedora";
    SCOPED_TRACE(name);
    const VolumeKeys keys = test::keys_from_file(key_);
    for (const bool with_key : {true, false}) {
      test::TempDir dir;
      const std::string image = dir.file("disk.qcow2");
      test::qemu_convert(disk->disk.raw, image, "-f raw -O qcow2");
      const uint64_t before = fs::file_size(image);
      const test::UsedSectors used = test::used_sectors(image, with_key ? &keys : nullptr);
      uint64_t used_bytes = 0;
      for (uint64_t s = 0; s < used.total; ++s) used_bytes += used.used(s) ? 512 : 0;
      const auto r = test::quorvex("-d " + (with_key ? "--key-file " + shell_quote(key_) + " " : std::string()) +
                                   shell_quote(image));
      ASSERT_EQ(r.status, 0) << r.output;
      const uint64_t after = fs::file_size(image);
      const std::string raw = dir.file("after.raw");
      test::qemu_convert(image, raw, "-O raw");
      EXPECT_EQ(test::first_used_difference_in_files(disk->disk.raw, raw, used), -1);
      test::decrypt_disk(*disk, raw);
      EXPECT_EQ(test::check_file_systems(disk->plain, raw, dir.path().string()), "");
      const double ratio = static_cast<double>(after) / static_cast<double>(used_bytes);
      if (with_key) {
        EXPECT_LE(ratio, 1.3);
      } else {
        EXPECT_GE(after, disk->volumes[0].sectors * 512) << "the locked volume is kept whole";
      }
      std::printf("[ figures  ] %s-shaped disk as qcow2 %s the key: %.1f MiB before, %.1f MiB after, "
                  "%.1f MiB used, ratio %.3f\n",
                  name.c_str(), with_key ? "with" : "without", static_cast<double>(before) / kMiB,
                  static_cast<double>(after) / kMiB, static_cast<double>(used_bytes) / kMiB, ratio);
    }
  }
}

#endif  // QX_HAVE_LUKS

}  // namespace
}  // namespace qx
