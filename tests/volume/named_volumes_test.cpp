// Other systems' storage, known by its published signatures (written here from the layouts, or by
// the system's own tool where Debian has it) and kept whole with a reason naming it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "support/disk_builder.hpp"
#include "support/file_patch.hpp"
#include "support/json_reader.hpp"
#include "support/qemu_tools.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;
using Bytes = std::vector<uint8_t>;

using test::put32;
using test::put64;

void put(Bytes& b, size_t at, const void* data, size_t n) { std::memcpy(b.data() + at, data, n); }

// MD's checksum: 32-bit words summed in 64 bits, folded.
uint32_t md_checksum(const Bytes& b, size_t from, size_t length) {
  uint64_t sum = 0;
  for (size_t i = 0; i < length; i += 4) {
    uint32_t w;
    std::memcpy(&w, b.data() + from + i, 4);
    sum += w;
  }
  return static_cast<uint32_t>((sum & 0xFFFFFFFF) + (sum >> 32));
}

struct Kind {
  const char* name;      // kind_name and reason key
  uint64_t mib;          // partition size
  const char* gpt_type;  // sgdisk type code
  // Writes the signature into the partition file; false when the tool it needs is missing.
  std::function<bool(const std::string& part, Bytes& head)> write;
  const char* tool = nullptr;  // a tool that must recognise what was written, by its exit status
};

TEST(NamedVolumes, EachKeptWholeWithItsOwnReason) {
  if (!test::have_tool("sgdisk")) GTEST_SKIP() << "sgdisk missing";
  constexpr uint8_t kBitLockerGuid[16] = {0x3B, 0xD6, 0x67, 0x49, 0x29, 0x2E, 0xD8, 0x4A,
                                          0x83, 0x99, 0xF6, 0xA3, 0x39, 0xE3, 0xD0, 0x01};
  const std::vector<Kind> kinds = {
      {"bitlocker", 4, "0700", [](const std::string&, Bytes& h) {
         put(h, 0, "\xEB\x58\x90-FVE-FS-", 11);
         h[510] = 0x55, h[511] = 0xAA;
         return true;
       }},
      // To Go's discovery volume is a FAT volume the FAT reader would otherwise read.
      {"bitlocker", 8, "0700", [&](const std::string& part, Bytes& h) {
         if (!test::have_tool("mkfs.vfat") || test::run_command("mkfs.vfat " + shell_quote(part) + " >/dev/null").status)
           return false;
         h = test::read_file(part);
         h.resize(512);
         put(h, 3, "MSWIN4.1", 8);
         put(h, 424, kBitLockerGuid, 16);
         return true;
       }},
      {"refs", 4, "0700", [](const std::string&, Bytes& h) {
         put(h, 3, "ReFS\0\0\0\0", 8);
         put(h, 16, "FSRS", 4);
         return true;
       }},
      {"apfs", 128, "af0a", [](const std::string& part, Bytes& h) {
         h.clear();  // the tool writes it
         return test::have_tool("mkapfs") && test::run_command("mkapfs " + shell_quote(part) + " >/dev/null 2>&1").status == 0;
       }},
      {"filevault", 4, "af05", [](const std::string&, Bytes& h) {
         h[8] = 1, h[10] = 0x10;
         put(h, 88, "CS", 2);
         return true;
       }},
      {"zfs", 4, "bf01", [](const std::string& part, Bytes& h) {
         Bytes ub(1024);
         put64(ub, 0, 0x00BAB10C);
         put64(ub, 8, 5000);
         test::write_at(part, 128 * 1024 + 3 * 1024, ub);  // an uberblock of label 0
         h.clear();
         return true;
       }},
      {"ldm", 4, "4200", [](const std::string&, Bytes& h) { return h.clear(), true; }},
      {"ldm", 4, "4201", [](const std::string&, Bytes& h) { return h.clear(), true; }},
      {"storage_spaces", 4, "4202", [](const std::string&, Bytes& h) { return h.clear(), true; }},
      {"md_raid", 4, "fd00", [](const std::string& part, Bytes& h) {
         Bytes sb(4096);
         put32(sb, 0, 0xA92B4EFC);
         put32(sb, 4, 1);
         put(sb, 16, "0123456789abcdef", 16);
         put(sb, 32, "host:0", 6);
         put32(sb, 72, 1);                         // RAID1
         put64(sb, 80, 4096);                      // size used of each member
         put32(sb, 92, 2);                         // raid_disks
         put64(sb, 128, 2048), put64(sb, 136, 4096);  // data offset and size
         put64(sb, 144, 8);                        // super_offset: at 4 KiB (1.2)
         put32(sb, 220, 2);                        // max_dev, then two roles
         sb[256] = 0, sb[258] = 1;
         put32(sb, 216, md_checksum(sb, 0, 256 + 2 * 2));
         test::write_at(part, 4096, sb);
         h.clear();
         return true;
       }, "mdadm --examine"},
      {"md_raid", 4, "fd00", [](const std::string& part, Bytes& h) {
         Bytes sb(4096);  // 0.90 at the last 64 KiB-aligned 64 KiB
         put32(sb, 0, 0xA92B4EFC);
         put32(sb, 8, 90);
         put32(sb, 28, 1), put32(sb, 32, 4096 - 64), put32(sb, 36, 2), put32(sb, 40, 2);
         put32(sb, 152, md_checksum(sb, 0, 4096));
         test::write_at(part, fs::file_size(part) - 65536, sb);
         h.clear();
         return true;
       }, "mdadm --examine"},
      {"bcache", 4, "8300", [](const std::string& part, Bytes& h) {
         h.clear();
         return test::have_tool("make-bcache") &&
                test::run_command("make-bcache -B " + shell_quote(part) + " >/dev/null 2>&1").status == 0;
       }, "bcache-super-show"},
      {"dm_integrity", 4, "8300", [](const std::string&, Bytes& h) {
         put(h, 0, "integrt\0\x01", 9);
         return true;
       }},
      {"vdo", 4, "8300", [](const std::string&, Bytes& h) {
         put(h, 0, "dmvdo001", 8);
         return true;
       }},
  };
  test::TempDir dir;
  const std::string disk = dir.file("named.img");
  std::string table = "sgdisk -a 1";
  std::vector<uint64_t> starts;
  uint64_t next = 2048;
  std::vector<bool> made;
  for (size_t i = 0; i < kinds.size(); ++i) {
    const Kind& k = kinds[i];
    const std::string part = dir.file("part" + std::to_string(i));
    test::make_sparse_file(part, k.mib << 20);
    Bytes head(512);
    made.push_back(k.write(part, head));
    if (made.back() && !head.empty()) test::write_at(part, 0, head);
    if (made.back() && k.tool) {
      const std::string tool(k.tool);
      if (test::have_tool(tool.substr(0, tool.find(' ')))) {
        EXPECT_EQ(test::run_command(tool + " " + shell_quote(part) + " >/dev/null 2>&1").status, 0) << k.name << " " << i;
      }
    }
    starts.push_back(next);
    table += " -n " + std::to_string(i + 1) + ":" + std::to_string(next) + ":+" + std::to_string(k.mib) + "M -t " +
             std::to_string(i + 1) + ":" + k.gpt_type;
    next += k.mib << 11;
  }
  test::make_sparse_file(disk, (next + 2048) * 512);
  test::sh(table + " " + shell_quote(disk) + " >/dev/null");
  for (size_t i = 0; i < kinds.size(); ++i)
    test::sh("dd if=" + shell_quote(dir.file("part" + std::to_string(i))) + " of=" + shell_quote(disk) +
             " bs=1M seek=" + std::to_string(starts[i] / 2048) + " conv=notrunc,sparse status=none");
  const auto r = test::run_command(shell_quote(test::inspect_binary()) + " --json " + shell_quote(disk) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.output;
  test::Json j;
  ASSERT_TRUE(test::JsonReader(r.output).read(j)) << r.output;
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (!made[i]) continue;
    SCOPED_TRACE(std::string(kinds[i].name) + " " + std::to_string(i));
    const auto& all = j["volumes"].items;
    const auto v = std::find_if(all.begin(), all.end(),
                                [&](const test::Json& x) { return x["start"].number == static_cast<long long>(starts[i]); });
    ASSERT_NE(v, all.end());
    EXPECT_EQ((*v)["kind_name"].text, kinds[i].name);
    EXPECT_EQ((*v)["reason"]["key"].text, kinds[i].name);
    EXPECT_EQ((*v)["used_sectors"].number, (*v)["length"].number);
  }
  // A dynamic disk on an MBR: its partition of type 0x42.
  const std::string mbr = dir.file("ldm.img");
  test::make_sparse_file(mbr, 8 << 20);
  test::write_boot_sector(mbr, 0, {{0x42, 2048, 8192}});
  const auto m = test::run_command(shell_quote(test::inspect_binary()) + " --json " + shell_quote(mbr) + " 2>&1");
  EXPECT_NE(m.output.find("\"key\": \"ldm\""), std::string::npos) << m.output;
}

}  // namespace
}  // namespace qx
