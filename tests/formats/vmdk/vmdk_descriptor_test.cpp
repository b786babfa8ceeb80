// The descriptor grammar and the open of descriptors that name their extents and parents.
#include <gtest/gtest.h>

#include <filesystem>

#include "formats/vmdk/vmdk_descriptor.hpp"
#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/test_support.hpp"
#include "support/vmdk_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;

const std::string kHead = "version=1\nCID=fffffffe\nparentCID=ffffffff\n";
const std::string kBaseDdb = "ddb.virtualHWVersion = \"4\"\nddb.adapterType = \"ide\"\n";
const std::string kMono = "createType=\"monolithicSparse\"\nRW 2048 SPARSE \"d.vmdk\"\n";

struct GrammarCase {
  const char* name;
  std::string text;
  bool ok;
};

class VmdkGrammar : public testing::TestWithParam<GrammarCase> {};

TEST_P(VmdkGrammar, Parses) {
  VmdkDescriptor d;
  EXPECT_EQ(parse_vmdk_descriptor(GetParam().text, d), GetParam().ok) << GetParam().text;
}

std::string extents(uint32_t n) {
  std::string t;
  for (uint32_t i = 0; i < n; ++i) t += "RW 1 SPARSE \"e" + std::to_string(i) + ".vmdk\"\n";
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VmdkGrammar,
    testing::Values(
        GrammarCase{"Base", kHead + kMono + kBaseDdb, true},
        GrammarCase{"CreateTypeBeforeVersion", "createType=\"monolithicSparse\"\n" + kHead +
                                                   "RW 2048 SPARSE \"d.vmdk\"\n" + kBaseDdb, false},
        GrammarCase{"Version2", "version=2\nCID=1\nparentCID=ffffffff\n" + kMono + kBaseDdb, false},
        GrammarCase{"CidTwice", kHead + "CID=1\n" + kMono + kBaseDdb, false},
        GrammarCase{"CapitalVersion", "VERSION=1\nCID=1\nparentCID=ffffffff\n" + kMono + kBaseDdb, true},
        GrammarCase{"UnknownKeyIgnored", kHead + "ddb.toolsVersion = \"1\"\n" + kMono + kBaseDdb, true},
        GrammarCase{"UnknownAdapter", kHead + kMono + "ddb.virtualHWVersion = \"4\"\nddb.adapterType = \"pvscsi\"\n", false},
        GrammarCase{"NoAdapterInBase", kHead + kMono + "ddb.virtualHWVersion = \"4\"\n", false},
        GrammarCase{"HwVersionZero", kHead + kMono + "ddb.virtualHWVersion = \"0\"\nddb.adapterType = \"ide\"\n", false},
        // qemu-img writes geometry and adapter type into the children it makes.
        GrammarCase{"ChildWithAdapterType", kHead + kMono + "parentFileNameHint=\"p.vmdk\"\n" + kBaseDdb, true},
        GrammarCase{"ChildOfAFlatType", kHead + "createType=\"monolithicFlat\"\nRW 1 FLAT \"f\" 0\nparentFileNameHint=\"p\"\n", false},
        GrammarCase{"BlankParentHint", kHead + kMono + "parentFileNameHint=\"  \"\n", false},
        GrammarCase{"UnquotedExtentName", kHead + "createType=\"monolithicSparse\"\nRW 2048 SPARSE d.vmdk\n" + kBaseDdb, false},
        GrammarCase{"ExtentBeforeVersion", "RW 2048 SPARSE \"d.vmdk\"\n" + kHead + "createType=\"monolithicSparse\"\n" + kBaseDdb, false},
        GrammarCase{"BlankValueLineIgnored", kHead + kMono + kBaseDdb + "ddb.uuid =   \n", true},
        GrammarCase{"CommentsAndCrLf", "# x\r\nversion=1 # one\r\nCID=fffffffe\r\nparentCID=ffffffff\r\n" + kMono + kBaseDdb, true},
        GrammarCase{"BadAccess", kHead + "createType=\"monolithicSparse\"\nRX 2048 SPARSE \"d.vmdk\"\n" + kBaseDdb, false},
        GrammarCase{"SparseWithOffset", kHead + "createType=\"monolithicSparse\"\nRW 2048 SPARSE \"d.vmdk\" 5\n" + kBaseDdb, false},
        GrammarCase{"FlatInASparseType", kHead + "createType=\"twoGbMaxExtentSparse\"\nRW 2048 FLAT \"d.vmdk\" 0\n" + kBaseDdb, false},
        GrammarCase{"UnknownCreateType", kHead + "createType=\"fullDevice\"\nRW 2048 FLAT \"d\" 0\n" + kBaseDdb, false},
        GrammarCase{"ThousandExtents", kHead + "createType=\"twoGbMaxExtentSparse\"\n" + extents(1000) + kBaseDdb, true},
        GrammarCase{"ThousandAndOneExtents", kHead + "createType=\"twoGbMaxExtentSparse\"\n" + extents(1001) + kBaseDdb, false}),
    [](const testing::TestParamInfo<GrammarCase>& i) { return std::string(i.param.name); });

TEST(VmdkGrammar, LinesAndDefaults) {
  KeyValueLine kv;
  EXPECT_TRUE(parse_key_value_line("CID=fffffffe", false, TextEncoding::Utf8, kv));
  EXPECT_EQ(kv.value, "fffffffe");
  EXPECT_FALSE(parse_key_value_line("CID=fffffffe", true, TextEncoding::Utf8, kv));
  EXPECT_TRUE(parse_key_value_line("  a = \"x y\" # c", true, TextEncoding::Utf8, kv));
  EXPECT_EQ(kv.value, "x y");
  ExtentLine e;
  ASSERT_TRUE(parse_extent_line("RW 4192256 SPARSE \"a b.vmdk\"", TextEncoding::Utf8, e));
  EXPECT_EQ(e.file_name, "a b.vmdk");
  VmdkDescriptor d;
  ASSERT_TRUE(parse_vmdk_descriptor(kHead + "createType=\"twoGbMaxExtentSparse\"\nRW 4192256 SPARSE \"x\"\n" + kBaseDdb, d));
  ASSERT_EQ(d.extents.size(), 1u);
  EXPECT_EQ(d.extents[0].offset, 0u);
  EXPECT_EQ(d.extents[0].size, 4192256u);
  EXPECT_EQ(d.heads, 16u);
  EXPECT_EQ(d.sectors, 63u);
  EXPECT_TRUE(d.is_split && !d.is_flat && !d.is_child);
}

// ---- opening descriptor files ----

struct Folder {
  test::TempDir dir;
  std::string file(const std::string& name) const { return dir.file(name); }
  void text(const std::string& name, const std::string& t) const {
    test::write_file(file(name), std::vector<uint8_t>(t.begin(), t.end()));
  }
  void extent(const std::string& name, uint32_t sectors, uint8_t seed = 0) const {
    test::VmdkExtentBuilder b(test::vmdk_shape(sectors));
    if (seed) b.fill(0, 1, seed);
    b.write_to(file(name));
  }
  void flat(const std::string& name, uint64_t bytes) const { test::make_sparse_file(file(name), bytes); }
};

ErrorCode open_vmdk_file(const std::string& path, DiskImage& image) {
  return open_image_as(image, path, true, FORMAT_VMDK);
}

TEST(VmdkOpen, SplitDescriptorOpensEveryExtentInOrder) {
  Folder f;
  f.extent("a.vmdk", 1024, 0x11);
  f.extent("b.vmdk", 3072, 0x22);
  f.text("d.vmdk", test::vmdk_descriptor("twoGbMaxExtentSparse",
                                         {test::sparse_extent_line(1024, "a.vmdk"), test::sparse_extent_line(3072, "b.vmdk")}));
  DiskImage image;
  ASSERT_EQ(open_image(image, f.file("d.vmdk"), true), OK);
  EXPECT_EQ(image.format, FORMAT_VMDK);
  EXPECT_EQ(get_geometry(image).total_sectors, 4096u);
  std::vector<uint8_t> s(512);
  ASSERT_EQ(read_bytes(image, 1024 * 512, s), OK);
  EXPECT_EQ(s[0], 0x22);
  ASSERT_EQ(read_bytes(image, 0, s), OK);
  EXPECT_EQ(s[511], 0x11);
}

TEST(VmdkOpen, RefusedDescriptors) {
  Folder f;
  f.extent("a.vmdk", 1024);
  f.flat("f.bin", 1024 * 512);
  f.text("p.vmdk", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1024, "a.vmdk")}));
  const struct {
    const char* name;
    std::string text;
    ErrorCode rc;
  } cases[] = {
      {"adapter", kHead + "createType=\"twoGbMaxExtentSparse\"\nRW 1024 SPARSE \"a.vmdk\"\nddb.virtualHWVersion = \"4\"\nddb.adapterType = \"scsi\"\n", ERR_READ},
      {"slash", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1024, "./a.vmdk")}), ERR_BAD_FORMAT},
      {"colon", test::vmdk_descriptor("monolithicFlat", {test::flat_extent_line(1024, "c:f.bin")}), ERR_BAD_FORMAT},
      {"flat too short", test::vmdk_descriptor("monolithicFlat", {test::flat_extent_line(1024, "f.bin", 1)}), ERR_BAD_FORMAT},
      {"one file twice", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1024, "a.vmdk"), test::sparse_extent_line(1024, "a.vmdk")}), ERR_BAD_FORMAT},
      {"missing extent", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1024, "gone.vmdk")}), ERR_OPEN},
      {"missing parent", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1024, "a.vmdk")}, "gone.vmdk"), ERR_OPEN},
      {"an extent of the parent", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1024, "a.vmdk")}, "p.vmdk", "1", "12345678"), ERR_BAD_FORMAT},
      {"itself as parent", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1024, "a.vmdk")}, "d.vmdk"), ERR_BAD_FORMAT},
      {"extent over the size", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1025, "a.vmdk")}), ERR_BAD_FORMAT},
      // The text file itself is then opened as the sparse extent.
      {"monolithic as text", test::vmdk_descriptor("monolithicSparse", {test::sparse_extent_line(1024, "a.vmdk")}), ERR_BAD_FORMAT},
  };
  for (const auto& c : cases) {
    f.text("d.vmdk", c.text);
    DiskImage image;
    EXPECT_EQ(open_vmdk_file(f.file("d.vmdk"), image), c.rc) << c.name;
  }
}

TEST(VmdkOpen, ParentsThatNameEachOtherEndTheOpen) {
  Folder f;
  f.extent("e1.vmdk", 1024);
  f.extent("e2.vmdk", 1024);
  f.text("a.vmdk", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1024, "e1.vmdk")}, "b.vmdk"));
  f.text("b.vmdk", test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(1024, "e2.vmdk")}, "a.vmdk"));
  DiskImage image;
  EXPECT_NE(open_image(image, f.file("a.vmdk"), true), OK);
}

TEST(VmdkOpen, EmbeddedDescriptorNameIsNotLookedAt) {
  Folder f;
  test::VmdkExtentBuilder b(test::vmdk_shape(
      2048, test::vmdk_descriptor("monolithicSparse", {test::sparse_extent_line(2048, "x/y:z")})));
  b.fill(7, 1, 0x5A);
  b.write_to(f.file("m.vmdk"));
  DiskImage image;
  ASSERT_EQ(open_vmdk_file(f.file("m.vmdk"), image), OK);
  std::vector<uint8_t> s(512);
  ASSERT_EQ(read_bytes(image, 7 * 512, s), OK);
  EXPECT_EQ(s[3], 0x5A);
  const ImageIdentity id = image_identity(image);
  EXPECT_EQ(id.kind, ImageIdentity::VMDK_CID);
  EXPECT_EQ(id.bytes[0], 0x78);
  EXPECT_EQ(id.bytes[3], 0x12);
}

TEST(VmdkOpen, ShiftJisSwitchConvertsTheNamesThatFollowIt) {
  Folder f;
  const std::string utf8_name = "\xC3\xA9.vmdk";                                // é
  const std::string sjis_name = "\x83\x66\x83\x42\x83\x58\x83\x4E.vmdk";        // ディスク
  const std::string utf8_of_sjis = "\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xB9\xE3\x82\xAF.vmdk";
  f.extent(utf8_name, 1024);
  f.extent(utf8_of_sjis, 1024);
  f.text("d.vmdk", kHead + "createType=\"twoGbMaxExtentSparse\"\n" + test::sparse_extent_line(1024, utf8_name) +
                       "\nencoding=\"Shift_JIS\"\n" + test::sparse_extent_line(1024, sjis_name) + "\n" + kBaseDdb);
  DiskImage image;
  EXPECT_EQ(open_vmdk_file(f.file("d.vmdk"), image), OK);
}

}  // namespace
}  // namespace qx
