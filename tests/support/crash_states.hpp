// What a power cut could leave of a folder: the changes a run made are recorded through the file
// primitives' recorder, then replayed on a model of the folder that knows what each file and
// each folder had on the disk at its last sync. Every state a crash could leave at a point is a
// choice of the changes since those syncs: each page written since its file's last sync (old or
// new), the file's length (with or without what came after the sync), and each name made,
// renamed or removed since its folder's last sync (in order, each one done or not).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image/file.hpp"

namespace qx::test {

using FileBytes = std::shared_ptr<const std::vector<uint8_t>>;

struct RecordedChange {
  FileChange change = FileChange::kWrite;
  uint64_t inode = 0;  // changes of open files
  std::string path, to;
  uint64_t offset = 0, length = 0;
  std::vector<uint8_t> data;  // what the file held there afterwards
};

// Records every change of the file primitives while it lives, over a folder whose files (in
// sub-folders too) it reads first as the state on the disk.
class ChangeRecording {
 public:
  explicit ChangeRecording(const std::string& folder);
  ~ChangeRecording();
  ChangeRecording(const ChangeRecording&) = delete;
  ChangeRecording& operator=(const ChangeRecording&) = delete;
  void stop();

  const std::map<std::string, FileBytes>& initial() const { return initial_; }
  const std::map<std::string, uint64_t>& initial_inodes() const { return inodes_; }
  const std::vector<RecordedChange>& changes() const { return changes_; }

 private:
  std::map<std::string, FileBytes> initial_;
  std::map<std::string, uint64_t> inodes_;
  std::vector<RecordedChange> changes_;
};

// One state a crash could leave: every name with what it holds, and how it came about.
struct CrashState {
  std::map<std::string, FileBytes> files;
  size_t after = 0;         // changes made before the crash
  bool at_sync = false;     // the last of them made something durable
  std::string choice;       // "names <bits>", "no pages" or "sample N"
};

// At each point every choice of the names (256 drawn when there are more) with every file as
// written; at durability points also every file as last synced; then random choices of both.
struct CrashSweepPlan {
  uint32_t samples_at_sync = 12;   // random choices at each durability point
  uint32_t points_between = 40;    // points between durability points, drawn with the seed
  uint32_t samples_between = 4;    // random choices at each of them
  uint64_t seed = 29;
};

// Calls `each` with every state of the plan, the state before the first change and the state
// after the last one included. Answers the number of states.
size_t for_each_crash_state(const ChangeRecording& log, const CrashSweepPlan& plan,
                            const std::function<void(const CrashState&)>& each);

// Puts a state into its folder as plain files (each name its own file), after removing what was
// there.
void write_crash_state(const std::string& folder, const CrashState& state);

}  // namespace qx::test
