// Failure points of the file primitives: counts their calls, fails the Nth one, kills the process
// at it or runs an action there; and runs the command line in a child process under such a plan.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/file.hpp"

// A child killed at a failure point reports this signal on Windows too.
#ifndef SIGKILL
#define SIGKILL 9
#endif

namespace qx::test {

enum class FaultMode : uint8_t { kCount, kFail, kKill, kAct };

struct FaultPlan {
  FaultMode mode = FaultMode::kCount;
  uint64_t at = 0;                  // the call, counting from 1, that fails, kills or acts
  bool only_kind = false;           // count only calls of `kind`
  FileCall kind = FileCall::kOpen;
  int error = 0;                    // 0: ENOSPC for writes and syncs, EIO for the rest
  bool no_links = false;            // every link fails, uncounted, as where links cannot be made
  std::function<void()> action;     // kAct
};

// The Nth call of any kind, or the Nth of one kind.
FaultPlan at_call(FaultMode mode, uint64_t n);
FaultPlan at_call_of(FaultMode mode, FileCall kind, uint64_t n);

// Installs the plan for its lifetime.
class FaultScope {
 public:
  explicit FaultScope(FaultPlan plan);
  ~FaultScope();
  FaultScope(const FaultScope&) = delete;
  FaultScope& operator=(const FaultScope&) = delete;
  uint64_t calls() const;   // calls counted so far
  bool fired() const;       // the planned call was reached
};

struct ChildRun {
  int exit_code = -1;       // -1 when killed
  int signal = 0;
  uint64_t calls = 0;       // calls counted, when the child exited
  std::string output;
  std::string errors;       // standard error
};

// run_quorvex(args) in a forked child under the plan, standard output and error captured.
ChildRun run_quorvex_child(const std::vector<std::string>& args, const FaultPlan& plan,
                           const std::string& scratch_dir);

// run_quorvex(args) in this process under the plan, so that a test can record the changes it
// makes; its standard output dropped.
int run_quorvex_here(const std::vector<std::string>& args, const FaultPlan& plan = {});

// The names in a folder, sorted.
std::vector<std::string> folder_names(const std::string& dir);

}  // namespace qx::test
