#include <gtest/gtest.h>

#include "image/byte_order.hpp"
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>

#include "image/file.hpp"
#include "image/file_guard.hpp"
#include "image/primitives.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

TEST(ByteOrder, SwapsAndEndianFields) {
  EXPECT_EQ(swap16(0x1234), 0x3412);
  EXPECT_EQ(swap32(0x11223344u), 0x44332211u);
  EXPECT_EQ(swap64(0x0102030405060708ull), 0x0807060504030201ull);
  struct Header {
    be32_t a;
    le16_t b;
  } h;
  static_assert(sizeof(Header) == 6);
  h.a = 0xCAFEBABE;
  h.b = 0x0102;
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&h);
  EXPECT_EQ(raw[0], 0xCA);
  EXPECT_EQ(raw[4], 0x02);
  EXPECT_EQ(h.a.get(), 0xCAFEBABEu);
}

TEST(ByteOrder, BoundedReadsRefuseFieldsPastTheEnd) {
  const uint8_t buf[6] = {1, 2, 3, 4, 5, 6};
  uint32_t v = 0;
  EXPECT_TRUE(read_le<uint32_t>(buf, 2, v));
  EXPECT_EQ(v, 0x06050403u);
  EXPECT_FALSE(read_le<uint32_t>(buf, 3, v));
  EXPECT_FALSE(read_be<uint32_t>(buf, SIZE_MAX, v));
}

TEST(Arithmetic, CeilingPowerAndZero) {
  EXPECT_EQ(ceil_div32(10, 4), 3u);
  EXPECT_EQ(ceil_div32(8, 4), 2u);
  EXPECT_EQ(ceil_div64(-1, 4), 0);
  EXPECT_EQ(ceil_div_u64(UINT64_MAX, 2), UINT64_MAX / 2 + 1);
  EXPECT_TRUE(is_power_of_two(0));
  EXPECT_TRUE(is_power_of_two(1));
  EXPECT_TRUE(is_power_of_two(4096));
  EXPECT_FALSE(is_power_of_two(3));
  std::vector<uint8_t> zeros(1000, 0);
  EXPECT_TRUE(is_all_zero(zeros));
  EXPECT_TRUE(is_all_zero({}));
  zeros[999] = 1;
  EXPECT_FALSE(is_all_zero(zeros));
}

TEST(BlockSplit, PiecesNeverCrossABlock) {
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> pieces;
  for (BlockSplit s(8, 6, 13); s.more(); s.next()) pieces.emplace_back(s.block, s.offset, s.piece);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0], std::make_tuple(0u, 6u, 2u));
  EXPECT_EQ(pieces[1], std::make_tuple(1u, 0u, 8u));
  EXPECT_EQ(pieces[2], std::make_tuple(2u, 0u, 3u));
  int n = 0;
  for (BlockSplit64 s(512, 1ull << 40, 0); s.more(); s.next()) ++n;
  EXPECT_EQ(n, 0);
}

TEST(File, ReadsAreAllOrNothingAndOffsetsPassFourGiB) {
  test::TempDir dir;
  const std::string path = dir.file("f");
  test::make_sparse_file(path, 612);
  File f = File::open_existing(path, false);
  ASSERT_TRUE(f);
  std::vector<uint8_t> buf(512);
  EXPECT_TRUE(f.read_at(100, buf));
  EXPECT_FALSE(f.read_at(101, buf));
  const uint64_t far = 5ull << 30;
  std::vector<uint8_t> data(16, 0x5A);
  ASSERT_TRUE(f.write_at(far, data));
  uint64_t len = 0;
  ASSERT_TRUE(f.length(len));
  EXPECT_EQ(len, far + 16);
  std::vector<uint8_t> back(16);
  ASSERT_TRUE(f.read_at(far, back));
  EXPECT_EQ(back, data);
  f.close();
  EXPECT_FALSE(File::open_existing(dir.file("missing"), true));
  EXPECT_TRUE(file_exists(path));
  EXPECT_TRUE(file_rename(path, dir.file("g")));
  EXPECT_FALSE(file_exists(path));
  EXPECT_TRUE(file_remove(dir.file("g")));
  EXPECT_FALSE(file_remove(dir.file("g")));
}

TEST(File, CreateReplacesOnlyAStaleRegularFile) {
  namespace fs = std::filesystem;
  test::TempDir dir;
  const std::string name = dir.file("out"), other = dir.file("other");
  test::write_file(other, {1, 2, 3});
  test::write_file(name, {9, 9});
  File f = File::create(name);
  ASSERT_TRUE(f);
  EXPECT_TRUE(f.write_at(0, std::vector<uint8_t>{7}) && f.close());
  EXPECT_EQ(test::read_file(name), std::vector<uint8_t>{7});
  fs::remove(name);
  for (int taken = 0; taken < 3; ++taken) {
    std::error_code ec;
    if (taken == 0) fs::create_symlink(other, name, ec);
    if (ec) continue;  // Wine makes no symbolic links
    if (taken == 1) fs::create_directory(name);
#ifndef _WIN32
    if (taken == 2) ::mkfifo(name.c_str(), 0600);
#else
    if (taken == 2) break;  // Windows has no named pipes among files
#endif
    EXPECT_FALSE(File::create(name)) << taken;
    EXPECT_EQ(test::read_file(other), (std::vector<uint8_t>{1, 2, 3}));
    fs::remove(name);
  }
}

TEST(FileGuard, AHeldFileIsInUseForEveryOtherHolderAndShowsChanges) {
  test::TempDir dir;
  const std::string path = dir.file("img"), link = dir.file("link");
  test::write_file(path, std::vector<uint8_t>(1024, 1));
  std::error_code no_links;  // Wine makes no symbolic links
  std::filesystem::create_symlink(path, link, no_links);
  FileGuard first, second;
  if (!no_links) {
    EXPECT_EQ(first.hold(link), HoldResult::kCannotOpen);
  }
  ASSERT_EQ(first.hold(path), HoldResult::kHeld);
  EXPECT_EQ(first.hold(path), HoldResult::kHeld);
  // Open file description locks part even descriptors of one process.
  EXPECT_EQ(second.hold(path), HoldResult::kInUse);
  EXPECT_TRUE(second.saw_file_in_use());
  EXPECT_TRUE(first.unchanged(path));
  {
    ActiveGuard active(first);
    EXPECT_EQ(check_replaced_file(path), OK);
    EXPECT_EQ(guard_replaced_file(path), OK);
    test::write_file(path + "2", std::vector<uint8_t>(1024, 1));
    std::error_code refused;
    std::filesystem::rename(path + "2", path, refused);
#ifdef _WIN32
    // Windows renames nothing over a file that is held open: the change cannot happen.
    EXPECT_TRUE(refused);
    GTEST_SKIP() << "a held file cannot be replaced on Windows";
#endif
    ASSERT_FALSE(refused) << refused.message();
    EXPECT_EQ(check_replaced_file(path), ERR_CREATE);
  }
  EXPECT_EQ(check_replaced_file(path), OK);  // no trim running
}

}  // namespace
}  // namespace qx
