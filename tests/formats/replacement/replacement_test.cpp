// The swap of rewritten files: backups, deletion, discards, and what a failing rename leaves.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "formats/replacement/replacement.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> bytes(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

// Captures what the protocol prints to standard output.
class StdoutCapture {
 public:
  explicit StdoutCapture(const std::string& path) {
    std::fflush(stdout);
    saved_ = ::dup(1);
    FILE* f = std::fopen(path.c_str(), "w");
    ::dup2(::fileno(f), 1);
    std::fclose(f);
    path_ = path;
  }
  std::string finish() {
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    const auto data = test::read_file(path_);
    return std::string(data.begin(), data.end());
  }

 private:
  int saved_ = -1;
  std::string path_;
};

Replacement make_record(const std::string& target) {
  Replacement r;
  EXPECT_EQ(set_replacement_names(r.entry, target), OK);
  r.active = true;
  return r;
}

TEST(Replacement, NamesAreBuiltOrRefusedWhole) {
  ReplacementEntry e;
  ASSERT_EQ(set_replacement_names(e, "/x/disk.vhd"), OK);
  EXPECT_EQ(e.target.view(), "/x/disk.vhd");
  EXPECT_EQ(e.temporary.view(), "/x/disk.vhd_TEMP");
  // 4092 bytes leave no room for "_TEMP" in a 4096-byte buffer.
  const std::string long_name(4092, 'a');
  EXPECT_EQ(set_replacement_names(e, long_name), ERR_UNSUPPORTED);
  EXPECT_TRUE(e.target.empty() && e.temporary.empty());
  EXPECT_EQ(set_replacement_names(e, std::string(4091, 'a')), OK);
}

TEST(Replacement, CommitWithDeleteLeavesTheNewFileAndOneLine) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  test::write_file(t + "_TEMP", bytes("new"));
  Replacement r = make_record(t);
  StdoutCapture out(dir.file("stdout"));
  const ErrorCode rc = commit_replacement(r, kBackupSuffix, true, false);
  const std::string printed = out.finish();
  EXPECT_EQ(rc, OK);
  EXPECT_FALSE(r.active);
  EXPECT_EQ(test::read_file(t), bytes("new"));
  EXPECT_FALSE(fs::exists(t + "_DEL"));
  EXPECT_FALSE(fs::exists(t + "_TEMP"));
  EXPECT_EQ(printed, "QxDeleteFile " + t + "_DEL\n");
}

TEST(Replacement, QuietDeleteStillDeletesButPrintsNothing) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  test::write_file(t + "_TEMP", bytes("new"));
  Replacement r = make_record(t);
  StdoutCapture out(dir.file("stdout"));
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, true, true), OK);
  EXPECT_EQ(out.finish(), "");
  EXPECT_FALSE(fs::exists(t + "_DEL"));
}

TEST(Replacement, CommitKeepsTheBackupAndReplacesAnOlderOne) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  test::write_file(t + "_DEL", bytes("older"));
  test::write_file(t + "_TEMP", bytes("new"));
  Replacement r = make_record(t);
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, false, false), OK);
  EXPECT_EQ(test::read_file(t), bytes("new"));
  EXPECT_EQ(test::read_file(t + "_DEL"), bytes("old"));
}

TEST(Replacement, DiscardRemovesOnlyTheTemporary) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  test::write_file(t + "_TEMP", bytes("partial"));
  Replacement r = make_record(t);
  EXPECT_EQ(discard_replacement(r), OK);
  EXPECT_FALSE(r.active);
  EXPECT_FALSE(fs::exists(t + "_TEMP"));
  EXPECT_EQ(test::read_file(t), bytes("old"));
  // A temporary that is already gone makes the discard fail.
  r = make_record(t);
  EXPECT_EQ(discard_replacement(r), ERR_CREATE);
}

TEST(Replacement, InactiveRecordsAreNoOps) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  test::write_file(t + "_TEMP", bytes("someone else's"));
  Replacement r;
  ASSERT_EQ(set_replacement_names(r.entry, t), OK);
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, true, false), OK);
  EXPECT_EQ(discard_replacement(r), OK);
  EXPECT_EQ(test::read_file(t), bytes("old"));
  EXPECT_TRUE(fs::exists(t + "_TEMP"));
  Replacement empty;
  empty.active = true;
  EXPECT_EQ(commit_replacement(empty, kBackupSuffix, true, false), OK);
}

TEST(Replacement, MissingTargetTakesTheNewFileWithoutBackup) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t + "_TEMP", bytes("new"));
  Replacement r = make_record(t);
  StdoutCapture out(dir.file("stdout"));
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, true, false), OK);
  EXPECT_EQ(out.finish(), "");
  EXPECT_EQ(test::read_file(t), bytes("new"));
  EXPECT_FALSE(fs::exists(t + "_DEL"));
}

TEST(Replacement, FailedSwapPutsTheImageBack) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  // No temporary file: the second rename fails after the image was moved aside.
  Replacement r = make_record(t);
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, true, false), ERR_CREATE);
  EXPECT_EQ(test::read_file(t), bytes("old"));
  EXPECT_FALSE(fs::exists(t + "_DEL"));
}

TEST(Replacement, BackupNameTakenByAFolderLeavesImageAndNoTemporary) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  test::write_file(t + "_TEMP", bytes("new"));
  fs::create_directories(t + "_DEL/inside");
  Replacement r = make_record(t);
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, false, false), ERR_CREATE);
  EXPECT_EQ(test::read_file(t), bytes("old"));
  EXPECT_FALSE(fs::exists(t + "_TEMP"));
  EXPECT_TRUE(fs::is_directory(t + "_DEL/inside"));
}

TEST(Replacement, BackupThatCannotBeDeletedIsAnError) {
  test::TempDir dir;
  // A target that is a non-empty folder can be moved aside but not removed.
  const std::string t = dir.file("disk.vhd");
  fs::create_directories(t + "/inside");
  test::write_file(t + "_TEMP", bytes("new"));
  Replacement r = make_record(t);
  StdoutCapture out(dir.file("stdout"));
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, true, false), ERR_CREATE);
  out.finish();
  EXPECT_EQ(test::read_file(t), bytes("new"));
  EXPECT_TRUE(fs::is_directory(t + "_DEL/inside"));
}

TEST(Replacement, OverlongBackupNameIsUnsupported) {
  test::TempDir dir;
  Replacement r;
  r.active = true;
  ASSERT_TRUE(r.entry.target.assign(std::string(4093, 'a')));
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, false, false), ERR_UNSUPPORTED);
}

TEST(ReplacementList, StopsAtTheFirstEntryThatFails) {
  test::TempDir dir;
  ReplacementList list;
  ASSERT_TRUE(reserve_replacement_list(list, 3));
  EXPECT_EQ(list.count, 0u);
  for (int i = 0; i < 3; ++i) {
    const std::string t = dir.file("e" + std::to_string(i));
    test::write_file(t, bytes("old"));
    if (i != 1) test::write_file(t + "_TEMP", bytes("new"));
    ASSERT_EQ(set_replacement_names(list.entries[static_cast<size_t>(i)], t), OK);
    ++list.count;
  }
  EXPECT_EQ(commit_replacement_list(list, kBackupSuffix, false, false), ERR_CREATE);
  EXPECT_EQ(list.count, 0u);
  EXPECT_TRUE(list.entries.empty());
  EXPECT_EQ(test::read_file(dir.file("e0")), bytes("new"));
  EXPECT_EQ(test::read_file(dir.file("e1")), bytes("old"));
  EXPECT_EQ(test::read_file(dir.file("e2")), bytes("old"));
  EXPECT_TRUE(fs::exists(dir.file("e2_TEMP")));
}

TEST(ReplacementList, DiscardRemovesEveryTemporary) {
  test::TempDir dir;
  WriterRecord record;
  ASSERT_TRUE(reserve_replacement_list(record.list, 2));
  for (int i = 0; i < 2; ++i) {
    const std::string t = dir.file("e" + std::to_string(i));
    test::write_file(t + "_TEMP", bytes("new"));
    ASSERT_EQ(set_replacement_names(record.list.entries[static_cast<size_t>(i)], t), OK);
    ++record.list.count;
  }
  EXPECT_EQ(discard_writer_record(record), OK);
  EXPECT_FALSE(fs::exists(dir.file("e0_TEMP")));
  EXPECT_FALSE(fs::exists(dir.file("e1_TEMP")));
}

}  // namespace
}  // namespace qx
