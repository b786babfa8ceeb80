#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "support/disk_builder.hpp"
#include "support/file_patch.hpp"
#include "support/lvm_builder.hpp"
#include "support/test_support.hpp"
#include "volume/lvm2.hpp"

namespace qx {
namespace {

struct Volume {
  uint32_t start;
  uint32_t count;
  bool operator==(const Volume&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Volume& v) {
  return os << "{" << v.start << ", " << v.count << "}";
}

constexpr uint32_t kPvStart = 2048;

// Runs the reader on the PV at kPvStart of a flat disk file; `before` entries are already there.
ErrorCode read_pv(const std::string& path, std::vector<Volume>& out, uint32_t max = 256,
                  uint32_t before = 0, uint32_t pv_start = kPvStart) {
  DiskImage image;
  const auto sectors = static_cast<uint32_t>(std::filesystem::file_size(path) / 512);
  EXPECT_EQ(open_flat(image, path, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
  std::vector<PartitionEntry> entries(before);
  const ErrorCode rc2 = read_lvm_physical_volume(image, pv_start, max, entries);
  EXPECT_LE(entries.size(), std::max(max, before));
  out.clear();
  for (size_t i = before; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].type, 0);
    out.push_back({entries[i].start_sector, entries[i].sector_count});
  }
  return rc2;
}

struct PvDisk {
  test::TempDir dir;
  std::string path = dir.file("pv.img");
  explicit PvDisk(uint64_t sectors = 40000) { test::make_sparse_file(path, sectors * 512); }
  void write(const test::LvmPvSpec& desc) { test::write_lvm_pv(path, kPvStart * 512ull, desc); }
  void write(const test::LvmPvSpec& desc, const std::string& text) {
    test::write_lvm_pv(path, kPvStart * 512ull, desc, text);
  }
};

test::LvmPvSpec small_pv() {
  test::LvmPvSpec desc;
  desc.extent_size = 2048;
  desc.pe_count = 12;
  desc.dev_size = 32768;
  desc.lvs = {test::linear_lv("lv1", 0, 4)};
  return desc;
}

// ---- CRC and label.

TEST(Lvm2, CrcMatchesTheReference) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(1000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t n : {size_t{0}, size_t{1}, size_t{4}, size_t{492}, size_t{1000}})
    EXPECT_EQ(lvm_crc(kLvmCrcInitial, std::span(data).first(n)),
              test::lvm_reference_crc(data.data(), n))
        << n;
  EXPECT_EQ(lvm_crc(kLvmCrcInitial, {}), kLvmCrcInitial);
}

TEST(Lvm2, OneEntryPerLogicalVolumeAtItsExtents) {
  PvDisk disk;
  test::LvmPvSpec desc = small_pv();
  desc.lvs = {test::linear_lv("root", 0, 4), test::linear_lv("swap", 6, 1),
              test::linear_lv("home", 4, 2)};
  disk.write(desc);
  std::vector<Volume> v;
  ASSERT_EQ(read_pv(disk.path, v), OK);
  const uint32_t data = kPvStart + 2048;
  EXPECT_EQ(v, (std::vector<Volume>{{data, 4 * 2048}, {data + 6 * 2048, 2048},
                                    {data + 4 * 2048, 2 * 2048}}));
}

TEST(Lvm2, StripeStartExtentPlacesTheVolume) {
  PvDisk disk(200000);
  test::LvmPvSpec desc;
  desc.extent_size = 8192;
  desc.pe_start = 2048;
  desc.pe_count = 20;
  desc.dev_size = 180000;
  desc.lvs = {test::linear_lv("lv", 10, 1)};
  disk.write(desc);
  std::vector<Volume> v;
  ASSERT_EQ(read_pv(disk.path, v), OK);
  EXPECT_EQ(v, (std::vector<Volume>{{kPvStart + 83968, 8192}}));
}

TEST(Lvm2, GroupWithoutLogicalVolumesAppendsNothing) {
  PvDisk disk;
  test::LvmPvSpec desc = small_pv();
  desc.lvs.clear();
  disk.write(desc);
  std::vector<Volume> v;
  EXPECT_EQ(read_pv(disk.path, v), OK);
  EXPECT_TRUE(v.empty());
}

TEST(Lvm2, StopsSilentlyAtMax) {
  PvDisk disk;
  test::LvmPvSpec desc = small_pv();
  desc.lvs = {test::linear_lv("a", 0, 1), test::linear_lv("b", 1, 1), test::linear_lv("c", 2, 1)};
  disk.write(desc);
  std::vector<Volume> v;
  ASSERT_EQ(read_pv(disk.path, v, 5, 3), OK);
  EXPECT_EQ(v.size(), 2u);
  ASSERT_EQ(read_pv(disk.path, v, 5, 5), OK);
  EXPECT_TRUE(v.empty());
}

TEST(Lvm2, LabelIsFoundInAnyOfTheFirstFourSectorsWhenItsNumberMatches) {
  for (uint32_t sector : {0u, 1u, 2u, 3u}) {
    PvDisk disk;
    test::LvmPvSpec desc = small_pv();
    desc.label_sector = sector;
    disk.write(desc);
    std::vector<Volume> v;
    EXPECT_EQ(read_pv(disk.path, v), OK) << sector;
    EXPECT_EQ(v.size(), 1u);
  }
  // A label whose stored number is not its index is no label; nor is one in sector 4.
  PvDisk disk;
  test::LvmPvSpec desc = small_pv();
  disk.write(desc);
  auto label = test::lvm_label_sector(desc);
  label[8] = 2;
  test::reseal_label(label);
  test::write_at(disk.path, (kPvStart + 1) * 512ull, label);
  std::vector<Volume> v;
  EXPECT_EQ(read_pv(disk.path, v), ERR_LAYOUT);
  test::write_at(disk.path, (kPvStart + 1) * 512ull, std::vector<uint8_t>(512, 0));
  desc.label_sector = 4;
  disk.write(desc);
  EXPECT_EQ(read_pv(disk.path, v), ERR_LAYOUT);
}

TEST(Lvm2, DamagedLabelOrPvHeaderIsRejected) {
  const test::LvmPvSpec desc = small_pv();
  auto expect_rejected = [&](const std::function<void(std::vector<uint8_t>&)>& change, bool reseal,
                             const char* what) {
    PvDisk disk;
    disk.write(desc);
    auto label = test::lvm_label_sector(desc);
    change(label);
    if (reseal) test::reseal_label(label);
    test::write_at(disk.path, (kPvStart + 1) * 512ull, label);
    std::vector<Volume> v;
    EXPECT_EQ(read_pv(disk.path, v), ERR_LAYOUT) << what;
  };
  expect_rejected([](auto& s) { s[100] ^= 1; }, false, "CRC");
  expect_rejected([](auto& s) { s[0] = 'l'; }, true, "LABELONE");
  expect_rejected([](auto& s) { s[31] = '2'; }, true, "type");
  expect_rejected([](auto& s) { std::memset(s.data() + 72, 0, 8); }, true, "no data area");
  expect_rejected([](auto& s) { s[88] = 1; }, true, "second data area");
  expect_rejected([](auto& s) { std::memset(s.data() + 104, 0, 8); }, true, "no metadata area");
  expect_rejected([](auto& s) { std::memset(s.data() + 112, 0, 8); }, true, "empty metadata area");
  expect_rejected([](auto& s) { s[120] = 1; }, true, "second metadata area");
  expect_rejected([](auto& s) { s[20] = 0xA0, s[21] = 0x01; }, true, "PV header outside the sector");
  expect_rejected([](auto& s) { s[20] = 8; }, true, "PV header over the label header");
}

TEST(Lvm2, DamagedMetadataAreaHeaderIsRejected) {
  const test::LvmPvSpec desc = small_pv();
  const std::string text = test::lvm_metadata_text(desc);
  std::vector<uint8_t> raw(text.begin(), text.end());
  raw.push_back(0);
  auto expect_rejected = [&](const std::function<void(std::vector<uint8_t>&)>& change, bool reseal,
                             const char* what) {
    PvDisk disk;
    disk.write(desc);
    auto header = test::lvm_mda_header(desc, raw);
    change(header);
    if (reseal) test::reseal_mda_header(header);
    test::write_at(disk.path, kPvStart * 512ull + desc.mda_offset, header);
    std::vector<Volume> v;
    EXPECT_EQ(read_pv(disk.path, v), ERR_LAYOUT) << what;
    EXPECT_TRUE(v.empty());
  };
  expect_rejected([](auto& h) { h[200] = 1; }, false, "CRC");
  expect_rejected([](auto& h) { h[5] = 'l'; }, true, "magic");
  expect_rejected([](auto& h) { h[20] = 2; }, true, "version");
  expect_rejected([&](auto& h) { test::put64(h, 24, 8192); }, true, "start");
  expect_rejected([&](auto& h) { test::put64(h, 32, 4096); }, true, "size");
  expect_rejected([&](auto& h) { test::put64(h, 40, 0); }, true, "raw offset 0");
  expect_rejected([&](auto& h) { test::put64(h, 48, 0); }, true, "raw size 0");
  expect_rejected([&](auto& h) { test::put64(h, 48, 2049); }, true, "raw size 2049");
  expect_rejected([&](auto& h) { test::put64(h, 40, desc.mda_size - 100); }, true, "wraps round");
  expect_rejected([&](auto& h) { h[60] = 1; }, true, "ignored area");
  expect_rejected([&](auto& h) { h[56] ^= 1; }, true, "text checksum");
}

TEST(Lvm2, MetadataAtItsSizeLimit) {
  const test::LvmPvSpec desc = small_pv();
  std::string text = test::lvm_metadata_text(desc);
  ASSERT_LT(text.size(), 2047u);
  // 2047 characters and the NUL: accepted.
  text += "#" + std::string(2045 - text.size(), 'x') + "\n";
  ASSERT_EQ(text.size(), 2047u);
  {
    PvDisk disk;
    disk.write(desc, text);
    std::vector<Volume> v;
    EXPECT_EQ(read_pv(disk.path, v), OK);
    EXPECT_EQ(v.size(), 1u);
  }
  // 2048 characters without NUL: still accepted; 2049 bytes are refused.
  {
    PvDisk disk;
    disk.write(desc, text);
    const std::string full = text + "\n";
    std::vector<uint8_t> raw(full.begin(), full.end());
    test::write_at(disk.path, kPvStart * 512ull + desc.mda_offset, test::lvm_mda_header(desc, raw));
    test::write_at(disk.path, kPvStart * 512ull + desc.mda_offset + desc.raw_offset, raw);
    std::vector<Volume> v;
    EXPECT_EQ(read_pv(disk.path, v), OK);
    raw.push_back(0);
    test::write_at(disk.path, kPvStart * 512ull + desc.mda_offset, test::lvm_mda_header(desc, raw));
    test::write_at(disk.path, kPvStart * 512ull + desc.mda_offset + desc.raw_offset, raw);
    EXPECT_EQ(read_pv(disk.path, v), ERR_LAYOUT);
  }
}

TEST(Lvm2, TextEndsAtNulAndMustBeUtf8) {
  const test::LvmPvSpec desc = small_pv();
  PvDisk disk;
  // Garbage after the NUL inside the raw size is not text.
  std::string text = test::lvm_metadata_text(desc);
  text += std::string("\0\xFF\xFE garbage", 11);
  disk.write(desc, text);
  std::vector<Volume> v;
  EXPECT_EQ(read_pv(disk.path, v), OK);
  const std::string bad = "# caf\xC3 broken\n" + test::lvm_metadata_text(desc);
  disk.write(desc, bad);
  EXPECT_EQ(read_pv(disk.path, v), ERR_LAYOUT);
  const std::string fine = "# caf\xC3\xA9\n" + test::lvm_metadata_text(desc);
  disk.write(desc, fine);
  EXPECT_EQ(read_pv(disk.path, v), OK);
}

// ---- Accepted layout.

TEST(Lvm2, UnsupportedLayoutsFailWithoutAppending) {
  auto expect_layout = [](const std::string& what, const test::LvmPvSpec& desc,
                          const std::string& text) {
    PvDisk disk;
    disk.write(desc, text);
    std::vector<Volume> v;
    EXPECT_EQ(read_pv(disk.path, v), ERR_LAYOUT) << what;
    EXPECT_TRUE(v.empty()) << what;
  };
  const test::LvmPvSpec base = [] {
    test::LvmPvSpec s = small_pv();
    s.lvs = {test::linear_lv("ok", 0, 1), test::linear_lv("lv", 2, 2)};
    return s;
  }();
  auto with_last_lv = [&](const std::function<void(test::LvmLvSpec&)>& f) {
    test::LvmPvSpec s = base;
    f(s.lvs.back());
    return s;
  };

  test::LvmPvSpec s = with_last_lv([](auto& lv) {
    lv.segments.push_back(lv.segments[0]);
    lv.segments[1].start_extent = 2;
    lv.segments[1].stripes = {{"pv0", 8}};
  });
  expect_layout("two segments", s, test::lvm_metadata_text(s));
  s = with_last_lv([](auto& lv) { lv.segments[0].type = "mirror"; });
  expect_layout("mirror", s, test::lvm_metadata_text(s));
  s = with_last_lv([](auto& lv) { lv.segments[0].type = "thin-pool"; });
  expect_layout("thin pool", s, test::lvm_metadata_text(s));
  s = with_last_lv([](auto& lv) { lv.segments[0].stripes = {{"pv0", 2}, {"pv0", 6}}; });
  expect_layout("two stripes", s, test::lvm_metadata_text(s));
  s = with_last_lv([](auto& lv) { lv.segments[0].start_extent = 1; });
  expect_layout("segment not at extent 0", s, test::lvm_metadata_text(s));
  s = with_last_lv([](auto& lv) { lv.segments[0].stripes = {{"pv1", 2}}; });
  expect_layout("stripe on another PV", s, test::lvm_metadata_text(s));
  s = with_last_lv([](auto& lv) { lv.segments[0].stripes = {{"pv0", 11}}; });
  expect_layout("extents beyond pe_count", s, test::lvm_metadata_text(s));

  // A second physical volume in the group.
  std::string text = test::lvm_metadata_text(base);
  const std::string second_pv =
      "pv1 {\nid = \"abcdef-ghij-klmn-opqr-stuv-wxyz-012345\"\ndev_size = 100\npe_start = 2048\n"
      "pe_count = 0\n}\n";
  text.insert(text.find("}\n}\n") + 2, second_pv);
  expect_layout("second PV", base, text);

  // A second volume group.
  text = test::lvm_metadata_text(base);
  text.insert(0, "other {\nextent_size = 8\n}\n");
  expect_layout("second VG", base, text);

  // The identifier must match the label's in every character.
  text = test::lvm_metadata_text(base);
  const size_t id = text.find(test::formatted_pv_id(base.pv_id));
  text[id + 37] = text[id + 37] == 'K' ? 'L' : 'K';
  expect_layout("id differs in its last character", base, text);
  text = test::lvm_metadata_text(base);
  text[id + 6] = 'x';  // a dash replaced
  expect_layout("id without its dashes", base, text);

  s = base;
  s.extent_size = 0;
  expect_layout("extent size 0", s, test::lvm_metadata_text(s));
}

TEST(Lvm2, ExtentsOutsideTheDeviceFail) {
  PvDisk disk;
  test::LvmPvSpec desc = small_pv();
  desc.dev_size = desc.pe_start + desc.pe_count * desc.extent_size - 1;
  disk.write(desc);
  std::vector<Volume> v;
  EXPECT_EQ(read_pv(disk.path, v), ERR_LAYOUT);
  desc.dev_size += 1;
  disk.write(desc);
  EXPECT_EQ(read_pv(disk.path, v), OK);
}

TEST(Lvm2, VolumesPastThirtyTwoBitSectorsFail) {
  // A PV far out on a (sparse) disk whose last logical volume would end past sector 2^32.
  test::TempDir dir;
  const std::string path = dir.file("far.img");
  constexpr uint32_t kFarStart = 3u << 30;
  test::LvmPvSpec desc = small_pv();
  desc.extent_size = 1u << 28;
  desc.pe_count = 5;
  desc.dev_size = desc.pe_start + 5 * desc.extent_size;
  desc.lvs = {test::linear_lv("big", 3, 1)};  // ends 2048 sectors past 2^32
  try {
    test::make_sparse_file(path, (uint64_t{kFarStart} + 8192) * 512);
  } catch (const std::exception&) {
    GTEST_SKIP() << "no room for a sparse file of 1.5 TiB";
  }
  test::write_lvm_pv(path, uint64_t{kFarStart} * 512, desc);
  std::vector<Volume> v;
  EXPECT_EQ(read_pv(path, v, 256, 0, kFarStart), ERR_LAYOUT);
  // The same volume group one extent earlier fits.
  desc.lvs = {test::linear_lv("big", 2, 1)};
  test::write_lvm_pv(path, uint64_t{kFarStart} * 512, desc);
  ASSERT_EQ(read_pv(path, v, 256, 0, kFarStart), OK);
  EXPECT_EQ(v, (std::vector<Volume>{{kFarStart + 2048 + 2 * (1u << 28), 1u << 28}}));
}

// ---- Grammar.

std::string minimal(const std::string& vg_body, const std::string& top = "version = 1\n") {
  return top + "vg {\nextent_size = 8\n" + vg_body + "}\n";
}

TEST(Lvm2Grammar, RealMetadataParses) {
  test::LvmPvSpec desc = small_pv();
  // Names as installers give them: "-", "+" and "." are allowed after the first character.
  desc.vg_name = "ubuntu-vg";
  desc.lvs = {test::linear_lv("root", 0, 4), test::linear_lv("home.v2+x-1", 4, 2)};
  LvmMetadata md;
  const std::string text = test::lvm_metadata_text(desc);  // the views point into it
  ASSERT_TRUE(parse_lvm_metadata(text, md));
  EXPECT_EQ(md.version, 1u);
  EXPECT_EQ(md.contents, "Text Format Volume Group");
  EXPECT_EQ(md.creation_time, 1796691935u);
  ASSERT_EQ(md.vg_count, 1u);
  const LvmVolumeGroup& vg = md.vgs[0];
  EXPECT_EQ(vg.name, "ubuntu-vg");
  EXPECT_EQ(vg.extent_size, 2048u);
  ASSERT_EQ(vg.pv_count, 1u);
  EXPECT_EQ(vg.pvs[0].name, "pv0");
  EXPECT_EQ(vg.pvs[0].device, "/dev/loop0");
  EXPECT_EQ(vg.pvs[0].pe_count, 12u);
  ASSERT_EQ(vg.lv_count, 2u);
  EXPECT_EQ(vg.lvs[1].name, "home.v2+x-1");
  EXPECT_EQ(vg.lvs[1].segments[0].name, "segment1");
  EXPECT_EQ(vg.lvs[1].segments[0].stripes[0].start_extent, 4u);
  EXPECT_EQ(vg.lvs[1].segments[0].type, "striped");
}

TEST(Lvm2Grammar, UnlistedKeysAndSectionsAreSkipped) {
  LvmMetadata md;
  // Keys that newer LVM2 versions write, in every kind of section and value form.
  EXPECT_TRUE(parse_lvm_metadata(
      "version = 1\nfuture = [\"a\", 2]\n"
      "vg {\nformat = \"lvm2\"\nsystem_id = \"\"\nallocation_policy = \"normal\"\n"
      "lock_type = none\ntags = []\nextent_size = 8\n"
      "historical_logical_volumes {\nold {\nid = \"x\"\nremoval_time = 5\n}\n}\n"
      "physical_volumes {\nhint = 1\npv0 {\nid = \"i\"\ndevice_id_type = \"devname\"\n"
      "dev_size = 1\npe_start = 2\npe_count = 3\nba_start = 0\n}\n}\n"
      "logical_volumes {\nlv {\nsegment_count = 1\nallocation_policy = \"inherit\"\n"
      "seg {\nstart_extent = 0\nextent_count = 1\ntype = \"striped\"\nstripe_count = 1\n"
      "stripes = [\"pv0\", 0]\nreshape_count = 0\nsettings {\nk = 1\n}\n}\n}\n}\n}\n",
      md));
  EXPECT_EQ(md.vgs[0].lv_count, 1u);
  EXPECT_EQ(md.vgs[0].pvs[0].pe_count, 3u);
  // A listed key given twice still fails, in every section.
  EXPECT_FALSE(parse_lvm_metadata("version = 1\nversion = 1\n", md));
  EXPECT_FALSE(parse_lvm_metadata(minimal("extent_size = 8\n"), md));
  EXPECT_FALSE(parse_lvm_metadata(
      minimal("physical_volumes {\npv0 {\nid = \"a\"\nid = \"b\"\ndev_size = 1\npe_start = 2\n"
              "pe_count = 3\n}\n}\n"),
      md));
  // An unlisted key given twice is ignored twice.
  EXPECT_TRUE(parse_lvm_metadata("version = 1\nx = 1\nx = 2\n", md));
  // So are the list sections given twice.
  EXPECT_FALSE(parse_lvm_metadata(minimal("physical_volumes {\n}\nphysical_volumes {\n}\n"), md));
}

TEST(Lvm2Grammar, Lexemes) {
  LvmMetadata md;
  EXPECT_TRUE(parse_lvm_metadata("  # comment\r\n\tversion=1# trailing\ncontents = \"a b\"", md));
  EXPECT_EQ(md.contents, "a b");
  EXPECT_TRUE(parse_lvm_metadata("version = 1\ndescription = \"say \\\"hi\\\"\"\n", md));
  EXPECT_EQ(md.description, "say \\\"hi\\\"");
  EXPECT_TRUE(parse_lvm_metadata("version = 1\n_k9 = x\n", md));
  // A key at the end of the text has an empty value: fine unless it must be a number.
  EXPECT_TRUE(parse_lvm_metadata("version = 1\nunknown =", md));
  EXPECT_FALSE(parse_lvm_metadata("version =", md));
  const char* bad[] = {
      "version = 1\ndescription = \"two\nlines\"\n",  // line break in a string
      "version = 1\ndescription = \"open\n",           // unterminated string
      "version = 1\nk = a\"b\n",                       // quote inside a bare word
      "version = 1\nk = a=b\n",                        // '=' inside a bare word
      "version = 1\n9k = 1\n",                         // identifier starts with a digit
      "version = 1\nk 1\n",                            // no '='
      "version = 1\nk = [a b]\n",                      // list items without ','
      "version = 1\nk = [a,]\n",                       // empty item
      "version = 1\nk = [a\n",                         // unterminated list
      "version = 1\nk = [[a]]\n",                      // nested list
      "version = 1\n}\n",                              // close at top level
      "version = 1\nvg {\nextent_size = 8\n",          // unterminated section
      "version = 0x1\n",                               // numbers are decimal
      "version = 4294967296\n",                        // past 32 bits
      "version = -1\n",
      "version = \"1\"\n",                             // a number must be a bare word
      "contents = Text\nversion = 1\n",                // a text must be quoted
      "version = 1\nvg {\nextent_size = 8\nstatus = \"READ\"\n}\n",  // a list must be a list
  };
  for (const char* text : bad) EXPECT_FALSE(parse_lvm_metadata(text, md)) << text;
  EXPECT_TRUE(parse_lvm_metadata("version = 4294967295\n", md));
}

TEST(Lvm2Grammar, RequiredContent) {
  LvmMetadata md;
  const std::string pv =
      "physical_volumes {\npv0 {\nid = \"i\"\ndev_size = 1\npe_start = 2\npe_count = 3\n}\n}\n";
  const std::string seg_keys =
      "start_extent = 0\nextent_count = 1\ntype = \"striped\"\nstripe_count = 1\n";
  EXPECT_TRUE(parse_lvm_metadata(minimal(pv), md));
  EXPECT_FALSE(parse_lvm_metadata("contents = \"x\"\n", md)) << "no version";
  EXPECT_FALSE(parse_lvm_metadata("version = 1\nvg {\n}\n", md)) << "no extent size";
  for (const char* key : {"id", "dev_size", "pe_start", "pe_count"}) {
    std::string text = minimal(pv);
    const size_t at = text.find(std::string(key) + " =");
    text.erase(at, text.find('\n', at) + 1 - at);
    EXPECT_FALSE(parse_lvm_metadata(text, md)) << "PV without " << key;
  }
  auto lv = [&](const std::string& body) {
    return minimal(pv + "logical_volumes {\nlv {\n" + body + "}\n}\n");
  };
  const std::string seg = "s1 {\n" + seg_keys + "stripes = [\"pv0\", 0]\n}\n";
  EXPECT_TRUE(parse_lvm_metadata(lv("segment_count = 1\n" + seg), md));
  EXPECT_FALSE(parse_lvm_metadata(lv(seg), md)) << "no segment_count";
  EXPECT_FALSE(parse_lvm_metadata(lv("segment_count = 2\n" + seg), md)) << "count too high";
  EXPECT_FALSE(parse_lvm_metadata(lv("segment_count = 0\n" + seg), md)) << "count too low";
  EXPECT_FALSE(parse_lvm_metadata(lv("segment_count = 1\ns1 {\n" + seg_keys + "}\n"), md))
      << "no stripes";
  EXPECT_FALSE(parse_lvm_metadata(
      lv("segment_count = 1\ns1 {\n" + seg_keys + "stripes = [\"pv0\", 0, \"pv0\", 4]\n}\n"), md))
      << "pairs differ from stripe_count";
  EXPECT_FALSE(parse_lvm_metadata(
      lv("segment_count = 1\ns1 {\n" + seg_keys + "stripes = [\"pv0\"]\n}\n"), md))
      << "odd stripes list";
  EXPECT_FALSE(parse_lvm_metadata(
      lv("segment_count = 1\ns1 {\n" + seg_keys + "stripes = [pv0, 0]\n}\n"), md))
      << "unquoted PV name";
}

TEST(Lvm2Grammar, CapacitiesAreLimits) {
  LvmMetadata md;
  auto groups = [](int n) {
    std::string t = "version = 1\n";
    for (int i = 0; i < n; ++i) t += "vg" + std::to_string(i) + " {\nextent_size = 8\n}\n";
    return t;
  };
  EXPECT_TRUE(parse_lvm_metadata(groups(4), md));
  EXPECT_EQ(md.vg_count, 4u);
  EXPECT_FALSE(parse_lvm_metadata(groups(5), md));

  auto pvs = [](int n) {
    std::string t = "physical_volumes {\n";
    for (int i = 0; i < n; ++i)
      t += "pv" + std::to_string(i) + " {\nid = \"i\"\ndev_size = 1\npe_start = 2\npe_count = 3\n}\n";
    return minimal(t + "}\n");
  };
  EXPECT_TRUE(parse_lvm_metadata(pvs(4), md));
  EXPECT_FALSE(parse_lvm_metadata(pvs(5), md));
  // Two volumes of one name.
  std::string dup = pvs(2);
  dup.replace(dup.find("pv1"), 3, "pv0");
  EXPECT_FALSE(parse_lvm_metadata(dup, md));

  auto lvs = [](int n, int segments, int stripes) {
    std::string t = "logical_volumes {\n";
    for (int i = 0; i < n; ++i) {
      t += "lv" + std::to_string(i) + " {\nsegment_count = " + std::to_string(segments) + "\n";
      for (int s = 0; s < segments; ++s) {
        t += "segment" + std::to_string(s) +
             " {\nstart_extent = 0\nextent_count = 1\ntype = \"striped\"\nstripe_count = " +
             std::to_string(stripes) + "\nstripes = [";
        for (int k = 0; k < stripes; ++k) t += std::string(k ? ", " : "") + "\"pv0\", " + std::to_string(k);
        t += "]\n}\n";
      }
      t += "}\n";
    }
    return minimal(t + "}\n");
  };
  EXPECT_TRUE(parse_lvm_metadata(lvs(4, 4, 4), md));
  EXPECT_FALSE(parse_lvm_metadata(lvs(5, 1, 1), md));
  EXPECT_FALSE(parse_lvm_metadata(lvs(1, 5, 1), md));
  EXPECT_FALSE(parse_lvm_metadata(lvs(1, 1, 5), md));
}

TEST(Lvm2Grammar, DeepAndTruncatedTextEndsCleanly) {
  LvmMetadata md;
  std::string deep = "version = 1\nvg {\nextent_size = 8\n";
  for (int i = 0; i < 1000; ++i) deep += "s {\n";
  for (int i = 0; i < 1000; ++i) deep += "}\n";
  deep += "}\n";
  EXPECT_FALSE(parse_lvm_metadata(deep, md));

  test::LvmPvSpec desc = small_pv();
  desc.lvs = {test::linear_lv("root", 0, 4), test::linear_lv("home", 4, 2)};
  const std::string text = test::lvm_metadata_text(desc);
  for (size_t n = 0; n < text.size(); ++n) (void)parse_lvm_metadata(text.substr(0, n), md);
  // Bounded random mutations of real text: any answer, but no crash and no hang.
  std::mt19937 rng(12345);
  const char alphabet[] = "{}[]=\",#\n \\\"09az_";
  for (int iter = 0; iter < 3000; ++iter) {
    std::string m = text;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % m.size();
      switch (rng() % 3) {
        case 0: m[at] = alphabet[rng() % (sizeof alphabet - 1)]; break;
        case 1: m.erase(at, 1 + rng() % 8); break;
        default: m.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
      }
      if (m.empty()) m = "x";
    }
    (void)parse_lvm_metadata(m, md);
  }
}

TEST(Lvm2, ByteFlipsOfLabelAndMetadataEndCleanly) {
  PvDisk disk(40000);
  test::LvmPvSpec desc = small_pv();
  desc.lvs = {test::linear_lv("root", 0, 4), test::linear_lv("home", 4, 2)};
  disk.write(desc);
  const uint64_t base = kPvStart * 512ull;
  std::vector<uint8_t> region(8192);
  {
    std::ifstream in(disk.path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(base));
    in.read(reinterpret_cast<char*>(region.data()), static_cast<std::streamsize>(region.size()));
    ASSERT_TRUE(in);
  }
  const size_t text_at = desc.mda_offset + desc.raw_offset;
  const size_t text_len = test::lvm_metadata_text(desc).size();
  std::mt19937 rng(99);
  DiskImage image;
  ASSERT_EQ(open_flat(image, disk.path, true, 0, DiskGeometry{40000, 255, 63, 512}), OK);
  for (int iter = 0; iter < 400; ++iter) {
    std::vector<uint8_t> m = region;
    for (int k = 0; k < 3; ++k) {
      // Mostly the label, the PV header, the area header and the text; CRCs resealed half the time.
      size_t at = 0;
      switch (rng() % 3) {
        case 0: at = 512 + rng() % 200; break;
        case 1: at = desc.mda_offset + rng() % 64; break;
        default: at = text_at + rng() % text_len; break;
      }
      m[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
    }
    if (rng() % 2) {
      std::vector<uint8_t> label(m.begin() + 512, m.begin() + 1024);
      test::reseal_label(label);
      std::copy(label.begin(), label.end(), m.begin() + 512);
      std::vector<uint8_t> h(m.begin() + static_cast<long>(desc.mda_offset),
                             m.begin() + static_cast<long>(desc.mda_offset + 512));
      const uint32_t sum = test::lvm_reference_crc(m.data() + text_at, text_len + 1);
      std::memcpy(h.data() + 56, &sum, 4);
      test::reseal_mda_header(h);
      std::copy(h.begin(), h.end(), m.begin() + static_cast<long>(desc.mda_offset));
    }
    test::write_at(disk.path, base, m);
    std::vector<PartitionEntry> entries;
    const ErrorCode rc = read_lvm_physical_volume(image, kPvStart, 4, entries);
    if (rc == OK) {
      EXPECT_LE(entries.size(), 4u);
      for (const PartitionEntry& e : entries)
        EXPECT_LE(uint64_t{e.start_sector} + e.sector_count, uint64_t{1} << 32);
    } else {
      EXPECT_EQ(entries.size(), 0u);
    }
  }
}

// ---- Against the real LVM2 tools.

class LoopDevice {
 public:
  explicit LoopDevice(const std::string& file) {
    const auto r = test::run_command("losetup -f --show " + test::shell_quote(file) + " 2>/dev/null");
    if (r.status == 0 && r.output.rfind("/dev/loop", 0) == 0) name_ = r.output.substr(0, r.output.find('\n'));
  }
  ~LoopDevice() {
    if (!name_.empty()) (void)test::run_command("losetup -d " + name_ + " 2>/dev/null");
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// Runs an LVM2 command restricted to one device, without archives and without device-mapper.
test::CommandResult lvm(const std::string& device, const std::string& args) {
  return test::run_command("LVM_SUPPRESS_FD_WARNINGS=1 " + args + " --driverloaded n --devices " +
                           device + " --config 'backup { backup = 0 archive = 0 }' 2>/dev/null");
}

uint64_t sectors_of(const std::string& s) {  // "2048S" or "2048.00S"
  return std::stoull(s.substr(s.find_first_not_of(' ')));
}

TEST(Lvm2, MatchesAVolumeGroupWrittenByLvm) {
  if (!test::have_tool("pvcreate") || !test::have_tool("losetup") || ::geteuid() != 0)
    GTEST_SKIP() << "LVM2 tools or root rights missing";
  test::TempDir dir;
  const std::string pv_file = dir.file("pv.img");
  test::make_sparse_file(pv_file, 16 << 20);
  LoopDevice loop(pv_file);
  if (loop.name().empty()) GTEST_SKIP() << "this machine does not allow loop devices";
  const std::string vg = "qxtest" + std::to_string(::getpid()) + "x" + std::to_string(std::random_device{}());
  struct Cleanup {
    std::string device, vg;
    ~Cleanup() {
      (void)lvm(device, "vgremove -ff -y " + vg);
      (void)lvm(device, "pvremove -ff -y " + device);
    }
  } cleanup{loop.name(), vg};
  if (lvm(loop.name(), "pvcreate -y " + loop.name()).status != 0)
    GTEST_SKIP() << "pvcreate does not work on this machine";
  ASSERT_EQ(lvm(loop.name(), "vgcreate -s 1m " + vg + " " + loop.name()).status, 0);
  ASSERT_EQ(lvm(loop.name(), "lvcreate -an -Zn -y -n first -l 3 " + vg).status, 0);
  ASSERT_EQ(lvm(loop.name(), "lvcreate -an -Zn -y -n second -l 5 " + vg).status, 0);
  ASSERT_EQ(lvm(loop.name(), "lvcreate -an -Zn -y -n third -l 2 " + vg).status, 0);

  const uint64_t pe_start = sectors_of(
      lvm(loop.name(), "pvs --noheadings --units s -o pe_start " + loop.name()).output);
  const uint64_t extent = sectors_of(
      lvm(loop.name(), "vgs --noheadings --units s -o vg_extent_size " + vg).output);
  // "  first /dev/loop3:0-2"
  std::vector<Volume> expected;
  std::istringstream in(lvm(loop.name(), "lvs --noheadings -o lv_name,seg_pe_ranges " + vg).output);
  constexpr uint32_t kPartStart = 2048;
  for (std::string name, ranges; in >> name >> ranges;) {
    const size_t colon = ranges.rfind(':'), dash = ranges.rfind('-');
    const uint64_t first = std::stoull(ranges.substr(colon + 1)), last = std::stoull(ranges.substr(dash + 1));
    expected.push_back({static_cast<uint32_t>(kPartStart + pe_start + first * extent),
                        static_cast<uint32_t>((last - first + 1) * extent)});
  }
  ASSERT_EQ(expected.size(), 3u);

  // The physical volume as a partition of type 0x8E on a disk.
  std::vector<uint8_t> head = test::read_file(pv_file);
  head.resize(pe_start * 512);
  const std::string disk = dir.file("disk.img");
  test::make_sparse_file(disk, (kPartStart + 32768 + 2048) * 512ull);
  test::write_boot_sector(disk, 0, {{0x8E, kPartStart, 32768}});
  test::write_at(disk, kPartStart * 512ull, head);
  std::vector<Volume> v;
  ASSERT_EQ(read_pv(disk, v, 256, 0, kPartStart), OK);
  EXPECT_EQ(v, expected);
}

}  // namespace
}  // namespace qx
