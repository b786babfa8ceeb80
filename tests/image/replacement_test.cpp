// The swap of rewritten files: backups, deletion, discards, and what a failing rename leaves.
#include <gtest/gtest.h>

#include <cstring>
#include <cstdio>
#include <filesystem>

#include "image/file.hpp"
#include "image/file_guard.hpp"
#include "image/replacement.hpp"
#include "support/fault_injection.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> bytes(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

// What a commit tells, written as the command line prints it.
struct Told {
  std::string text;
  SwapNotice notice() { return {record, this}; }
  static void record(SwapEvent event, TextView path, void* user) noexcept {
    std::string& text = static_cast<Told*>(user)->text;
    text.append(event == SwapEvent::kDeletingBackup ? "QxDeleteFile " : "QxNoLinkSwap ").append(path) += '\n';
  }
};

// disk.vhd holding "old" and its "_TEMP" holding "new"; returns the image's path.
std::string old_and_new(const test::TempDir& dir) {
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  test::write_file(t + "_TEMP", bytes("new"));
  return t;
}

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

TEST(Replacement, WhileATrimRunsEveryTargetIsHeldAndMustStayAsItWas) {
  test::TempDir dir;
  const std::string t = old_and_new(dir), other = dir.file("other.vmdk");
  test::write_file(other, bytes("in use"));
  FileGuard trim, hypervisor;
  ASSERT_EQ(hypervisor.hold(other), HoldResult::kHeld);
  ActiveGuard active(trim);
  ReplacementEntry e;
  EXPECT_EQ(set_replacement_names(e, other), ERR_OPEN);
  Replacement r = make_record(t);
  EXPECT_TRUE(trim.holds(t));
#ifdef _WIN32
  // Windows refuses the writer itself while the file is held, so nothing can change it.
  EXPECT_FALSE(std::fopen(t.c_str(), "r+b"));
  EXPECT_EQ(discard_replacement(r), OK);
  GTEST_SKIP() << "a held file cannot be written on Windows: the change this test makes cannot happen";
#endif
  test::write_file(t, bytes("changed"));
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, false), ERR_CREATE);
  EXPECT_EQ(test::read_file(t), bytes("changed"));
  EXPECT_FALSE(fs::exists(t + "_TEMP"));
}

TEST(Replacement, CommitWithDeleteLeavesTheNewFileAndOneLine) {
  test::TempDir dir;
  const std::string t = old_and_new(dir);
  Replacement r = make_record(t);
  Told out;
  const ErrorCode rc = commit_replacement(r, kBackupSuffix, true, out.notice());
  const std::string printed = out.text;
  EXPECT_EQ(rc, OK);
  EXPECT_FALSE(r.active);
  EXPECT_EQ(test::read_file(t), bytes("new"));
  EXPECT_FALSE(fs::exists(t + "_DEL"));
  EXPECT_FALSE(fs::exists(t + "_TEMP"));
  EXPECT_EQ(printed, "QxDeleteFile " + t + "_DEL\n");
}

TEST(Replacement, DeleteWithNobodyToTellStillDeletes) {
  test::TempDir dir;
  const std::string t = old_and_new(dir);
  Replacement r = make_record(t);
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, true), OK);
  EXPECT_EQ(test::read_file(t), bytes("new"));
  EXPECT_FALSE(fs::exists(t + "_DEL"));
}

TEST(Replacement, CommitKeepsTheBackupAndReplacesAnOlderOne) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  test::write_file(t + "_DEL", bytes("older"));
  test::write_file(t + "_TEMP", bytes("new"));
  Replacement r = make_record(t);
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, false), OK);
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
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, true), OK);
  EXPECT_EQ(discard_replacement(r), OK);
  EXPECT_EQ(test::read_file(t), bytes("old"));
  EXPECT_TRUE(fs::exists(t + "_TEMP"));
  Replacement empty;
  empty.active = true;
  EXPECT_EQ(commit_replacement(empty, kBackupSuffix, true), OK);
}

TEST(Replacement, MissingTargetTakesTheNewFileWithoutBackup) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t + "_TEMP", bytes("new"));
  Replacement r = make_record(t);
  Told out;
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, true, out.notice()), OK);
  EXPECT_EQ(out.text, "");
  EXPECT_EQ(test::read_file(t), bytes("new"));
  EXPECT_FALSE(fs::exists(t + "_DEL"));
}

TEST(Replacement, FailedSwapPutsTheImageBack) {
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  // No temporary file: nothing can take the image's place, so nothing moves.
  Replacement r = make_record(t);
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, true), ERR_CREATE);
  EXPECT_EQ(test::read_file(t), bytes("old"));
  EXPECT_FALSE(fs::exists(t + "_DEL"));
}

TEST(Replacement, BackupNameTakenByAFolderLeavesImageAndNoTemporary) {
  test::TempDir dir;
  const std::string t = old_and_new(dir);
  fs::create_directories(t + "_DEL/inside");
  Replacement r = make_record(t);
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, false), ERR_CREATE);
  EXPECT_EQ(test::read_file(t), bytes("old"));
  EXPECT_FALSE(fs::exists(t + "_TEMP"));
  EXPECT_TRUE(fs::is_directory(t + "_DEL/inside"));
}

TEST(Replacement, BackupThatCannotBeDeletedPutsTheImageBack) {
  test::TempDir dir;
  const std::string t = old_and_new(dir);
  Replacement r = make_record(t);
  const test::FaultPlan plan = test::at_call_of(test::FaultMode::kFail, FileCall::kRemove, 1);
  Told out;
  {
    test::FaultScope faults(plan);
    EXPECT_EQ(commit_replacement(r, kBackupSuffix, true, out.notice()), ERR_CREATE);
  }
  EXPECT_EQ(out.text, "QxDeleteFile " + t + "_DEL\n");
  EXPECT_EQ(test::read_file(t), bytes("old"));
  EXPECT_EQ(test::folder_names(dir.path().string()), (std::vector<std::string>{"disk.vhd"}));
}

TEST(Replacement, WithoutLinksTheImageIsRenamedAsideAndThatIsSaid) {
  test::TempDir dir;
  const std::string t = old_and_new(dir);
  Replacement r = make_record(t);
  test::FaultPlan plan;
  plan.no_links = true;
  Told out;
  {
    test::FaultScope faults(plan);
    EXPECT_EQ(commit_replacement(r, kBackupSuffix, false, out.notice()), OK);
  }
  EXPECT_EQ(out.text, "QxNoLinkSwap " + t + "\n");
  EXPECT_EQ(test::read_file(t), bytes("new"));
  EXPECT_EQ(test::read_file(t + "_DEL"), bytes("old"));
}

TEST(Replacement, TheNewFileTakesTheOldOnesPermissions) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows files have ACLs, not owner and mode bits; a new file takes its folder's ACL";
#endif
  test::TempDir dir;
  const std::string t = dir.file("disk.vhd");
  test::write_file(t, bytes("old"));
  fs::permissions(t, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  File created = File::create(t + "_TEMP");
  ASSERT_TRUE(created && created.close());
  // Until the swap, only its owner may read what the trim wrote.
  EXPECT_EQ(fs::status(t + "_TEMP").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  Replacement r = make_record(t);
  ASSERT_EQ(commit_replacement(r, kBackupSuffix, false), OK);
  EXPECT_EQ(fs::status(t).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(Replacement, OverlongBackupNameIsUnsupported) {
  test::TempDir dir;
  Replacement r;
  r.active = true;
  ASSERT_TRUE(r.entry.target.assign(std::string(4093, 'a')));
  EXPECT_EQ(commit_replacement(r, kBackupSuffix, false), ERR_UNSUPPORTED);
}

// Three files of one image, one of them in a subfolder and one with a backup of an older run.
struct ListScene {
  test::TempDir dir{test::memory_folder()};
  std::vector<std::string> targets{dir.file("a.vmdk"), dir.file("sub/b.vmdk"), dir.file("c.vmdk")};

  ListScene() {
    fs::create_directory(dir.file("sub"));
    for (const std::string& t : targets) {
      test::write_file(t, bytes(("old " + t).c_str()));
      test::write_file(t + "_TEMP", bytes(("new " + t).c_str()));
    }
    test::write_file(targets[2] + "_DEL", bytes("older"));
  }
  ReplacementList list() const {
    ReplacementList list;
    EXPECT_TRUE(reserve_replacement_list(list, 3));
    for (const std::string& t : targets) EXPECT_EQ(set_replacement_names(list.entries[list.count++], t), OK);
    return list;
  }
  bool all(const char* age) const {
    bool same = true;
    for (const std::string& t : targets) same = same && test::read_file(t) == bytes((age + (" " + t)).c_str());
    return same;
  }
  std::vector<std::string> names() const {
    auto top = test::folder_names(dir.path().string());
    for (const std::string& n : test::folder_names(dir.file("sub"))) top.push_back("sub/" + n);
    return top;
  }
};

TEST(ReplacementList, AFailureAnywherePutsEveryFileBack) {
  uint64_t points = 0;
  for (bool delete_backup : {false, true}) {
    uint64_t calls = 0;
    std::vector<std::string> before, after;
    {
      ListScene scene;
      before = scene.names();
      ReplacementList list = scene.list();
      test::FaultScope count({});
      ASSERT_EQ(commit_replacement_list(list, kBackupSuffix, delete_backup), OK);
      calls = count.calls();
      EXPECT_TRUE(scene.all("new"));
      after = scene.names();
    }
    for (uint64_t n = 1; n <= calls; ++n, ++points) {
      SCOPED_TRACE(std::to_string(n) + (delete_backup ? " with -d" : ""));
      ListScene scene;
      ReplacementList list = scene.list();
      ErrorCode rc;
      {
        test::FaultScope fail(test::at_call(test::FaultMode::kFail, n));
        rc = commit_replacement_list(list, kBackupSuffix, delete_backup);
      }
      EXPECT_EQ(rc, ERR_CREATE);
      EXPECT_TRUE(list.entries.empty());
      // Only a deletion after the first one, when an old file is already gone, keeps the set new.
      const bool past_return = delete_backup && n > calls - 2;
      if (past_return) {
        EXPECT_TRUE(scene.all("new"));
        EXPECT_EQ(test::read_file(scene.targets[n - calls + 2] + "_DEL"),
                  bytes(("old " + scene.targets[n - calls + 2]).c_str()));
      } else {
        EXPECT_TRUE(scene.all("old"));
        // The older backup is gone only when the new one had already taken its name.
        std::vector<std::string> as_before{"a.vmdk", "c.vmdk", "c.vmdk_DEL", "sub", "sub/b.vmdk"};
        if (!fs::exists(scene.targets[2] + "_DEL")) as_before.erase(as_before.begin() + 2);
        else EXPECT_EQ(test::read_file(scene.targets[2] + "_DEL"), bytes("older"));
        EXPECT_EQ(scene.names(), as_before);
      }
    }
    EXPECT_NE(before, after);
  }
  std::printf("%llu failure points of a three-file swap\n", static_cast<unsigned long long>(points));
}

TEST(ReplacementList, TheSingleFileAndTheListAreOneSwap) {
  ListScene scene;
  WriterRecord record;
  ASSERT_EQ(set_replacement_names(record.single.entry, scene.targets[0]), OK);
  record.single.active = true;
  ASSERT_TRUE(reserve_replacement_list(record.list, 2));
  for (size_t i = 1; i < 3; ++i) ASSERT_EQ(set_replacement_names(record.list.entries[record.list.count++], scene.targets[i]), OK);
  fs::remove(scene.targets[2] + "_TEMP");
  EXPECT_EQ(commit_writer_record(record, kBackupSuffix, false), ERR_CREATE);
  EXPECT_FALSE(record.single.active);
  EXPECT_TRUE(record.list.entries.empty());
  EXPECT_TRUE(scene.all("old"));
  EXPECT_EQ(scene.names(), (std::vector<std::string>{"a.vmdk", "c.vmdk", "c.vmdk_DEL", "sub", "sub/b.vmdk"}));
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

// A journal counts only whole (a crash while it was written leaves a part, and nothing was renamed
// yet), and the mark of a swap being undone only whole too (until then nothing was undone).
TEST(SwapJournal, OnlyWholeJournalsAndWholeMarksAreRead) {
  const std::string whole = "quorvex swap\nsuffix 4:_DEL\n111 12:/x/a-s1.vmdk\n100 12:/x/a-s2.vmdk\nend\n";
  SwapJournal j;
  const auto parse = [&](const std::string& t) {
    return parse_swap_journal(std::span(reinterpret_cast<const uint8_t*>(t.data()), t.size()), j);
  };
  for (size_t n = 0; n < whole.size(); ++n) EXPECT_FALSE(parse(whole.substr(0, n))) << n;
  ASSERT_TRUE(parse(whole));
  ASSERT_EQ(j.entries.size(), 2u);
  EXPECT_EQ(j.suffix, "_DEL");
  EXPECT_EQ(j.entries[1].target, "/x/a-s2.vmdk");
  EXPECT_TRUE(j.entries[0].has_new && j.entries[0].existed && j.entries[0].linked);
  EXPECT_TRUE(j.entries[1].has_new && !j.entries[1].existed && !j.entries[1].linked);
  EXPECT_FALSE(j.back);
  const std::string mark = "back 35\n";
  for (size_t n = 1; n < mark.size(); ++n) {
    ASSERT_TRUE(parse(whole + mark.substr(0, n))) << n;
    EXPECT_FALSE(j.back) << n;
  }
  ASSERT_TRUE(parse(whole + mark));
  EXPECT_TRUE(j.back);
  EXPECT_EQ(j.entries[0].stage, 3);
  EXPECT_EQ(j.entries[1].stage, 5);
  EXPECT_TRUE(parse(whole + "back 39\n") && !j.back);  // no such stage: no mark
  for (const std::string& bad : {std::string("quorvex swap\nsuffix 4:_DEL\nend\n"),
                                std::string("quorvex swap\nsuffix 4:_/EL\n111 2:/x\nend\n"),
                                std::string("quorvex swap\nsuffix 4:_DEL\n121 2:/x\nend\n"),
                                std::string("quorvex swap\nsuffix 4:_DEL\n111 0:\nend\n"),
                                std::string("quorvex swap\nsuffix 4:_DEL\n111 99999999999999999999:/x\nend\n"),
                                std::string("quorvex swap\nsuffix 4:_DEL\n111 2:/\0\nend\n", 40)})
    EXPECT_FALSE(parse(bad)) << bad;
}

// A journal is trusted only with plain names of the image's folder, each a file of the image's own
// set and named once, and with the tool's own backup suffix.
TEST(SwapJournal, NamesOnlyTheImagesOwnFilesInItsFolder) {
  const std::vector<std::string> own = {"/vm/d.vmdk", "/vm/s0.vmdk", "/vm/s1.vmdk", "/vm/s2.vmdk"};
  struct Case {
    const char* second;  // the name of the journal's second file, after s0.vmdk
    const char* suffix;
    bool trusted;
  };
  for (const Case& c : {Case{"s1.vmdk", "_DEL", true}, Case{"d.vmdk", "_DEL", true},
                        Case{"/vm/s1.vmdk", "_DEL", false}, Case{"../vm/s1.vmdk", "_DEL", false},
                        Case{"..", "_DEL", false}, Case{".", "_DEL", false}, Case{"C:\\vm\\s1.vmdk", "_DEL", false},
                        Case{"sub\\s1.vmdk", "_DEL", false}, Case{"C:s1.vmdk", "_DEL", false},
                        Case{"notes.txt", "_DEL", false}, Case{"s0.vmdk", "_DEL", false},
                        Case{"s1.vmdk", "_OLD", false}, Case{"s1.vmdk", "_TEMP", false}}) {
    SCOPED_TRACE(std::string(c.second) + " " + c.suffix);
    SwapJournal j;
    j.suffix = c.suffix;
    j.entries = {SwapJournalEntry{"s0.vmdk", true, true, true, 0}, SwapJournalEntry{c.second, false, true, true, 0}};
    std::vector<ReplacementEntry> out;
    ASSERT_EQ(journal_targets(j, "/vm/", own, out), c.trusted);
    if (!c.trusted) continue;
    EXPECT_EQ(out[0].target.view(), "/vm/s0.vmdk");
    EXPECT_EQ(out[0].temporary.view(), "/vm/s0.vmdk_TEMP");
    EXPECT_EQ(out[1].target.view(), "/vm/" + std::string(c.second));
    EXPECT_TRUE(out[1].temporary.empty());
  }
  // One file alone, and more files than the image has, are never the tool's.
  SwapJournal j;
  j.suffix = "_DEL";
  j.entries = {SwapJournalEntry{"s0.vmdk", true, true, true, 0}};
  std::vector<ReplacementEntry> out;
  EXPECT_FALSE(journal_targets(j, "/vm/", own, out));
  j.entries.assign(5, SwapJournalEntry{"s0.vmdk", true, true, true, 0});
  EXPECT_FALSE(journal_targets(j, "/vm/", own, out));
}

TEST(SwapJournal, FolderIsTheImagesOrTheBundleItself) {
  test::TempDir dir;
  fs::create_directory(dir.path() / "b.hdd");
  PathBuffer<4096> folder;
  const std::string image = dir.file("d.vmdk");
  ASSERT_TRUE(journal_folder(image, folder));
  EXPECT_EQ(folder.view(), image.substr(0, image.size() - 6));
  ASSERT_TRUE(journal_folder(dir.file("b.hdd"), folder));
  EXPECT_EQ(folder.view(), dir.file("b.hdd") + "/");
  ASSERT_TRUE(journal_folder("d.vmdk", folder));
  EXPECT_EQ(folder.view(), "");
}

}  // namespace
}  // namespace qx
