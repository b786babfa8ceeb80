#include "support/fault_injection.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/trim_driver.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

FaultPlan g_plan;
uint64_t g_calls = 0;
bool g_fired = false;

int hook(FileCall call) noexcept {
  if (g_plan.no_links && call == FileCall::kLink) return EPERM;
  if (g_plan.only_kind && call != g_plan.kind) return 0;
  if (++g_calls != g_plan.at || g_plan.mode == FaultMode::kCount) return 0;
  g_fired = true;
  switch (g_plan.mode) {
    case FaultMode::kKill: std::fflush(stdout); ::raise(SIGKILL); return 0;
    case FaultMode::kAct: g_plan.action(); return 0;
    case FaultMode::kFail:
      if (g_plan.error) return g_plan.error;
      return call == FileCall::kWrite || call == FileCall::kSync ? ENOSPC : EIO;
    case FaultMode::kCount: return 0;
  }
  return 0;
}

}  // namespace

FaultPlan at_call(FaultMode mode, uint64_t n) {
  FaultPlan plan;
  plan.mode = mode;
  plan.at = n;
  return plan;
}

FaultPlan at_call_of(FaultMode mode, FileCall kind, uint64_t n) {
  FaultPlan plan = at_call(mode, n);
  plan.only_kind = true;
  plan.kind = kind;
  return plan;
}

FaultScope::FaultScope(FaultPlan plan) {
  g_plan = std::move(plan);
  g_calls = 0;
  g_fired = false;
  set_file_call_hook(hook);
}

FaultScope::~FaultScope() { set_file_call_hook(nullptr); }
uint64_t FaultScope::calls() const { return g_calls; }
bool FaultScope::fired() const { return g_fired; }

ChildRun run_quorvex_child(const std::vector<std::string>& args, const FaultPlan& plan,
                           const std::string& scratch_dir) {
  const std::string out_path = scratch_dir + "/child.out", count_path = scratch_dir + "/child.calls",
                    err_path = scratch_dir + "/child.err";
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::FILE* out = std::fopen(out_path.c_str(), "w");
    std::FILE* err = std::fopen(err_path.c_str(), "w");
    if (!out || !err) ::_exit(120);
    ::dup2(::fileno(out), 1);
    ::dup2(::fileno(err), 2);
    std::vector<const char*> argv{"quorvex"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    int rc;
    uint64_t calls;
    {
      FaultScope scope(plan);
      rc = run_quorvex(static_cast<int>(argv.size()), argv.data());
      calls = scope.calls();
    }
    std::fflush(stdout);
    if (std::FILE* f = std::fopen(count_path.c_str(), "w")) {
      std::fprintf(f, "%llu", static_cast<unsigned long long>(calls));
      std::fclose(f);
    }
    ::_exit(rc);
  }
  ChildRun run;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  const auto out = read_file(out_path);
  run.output.assign(out.begin(), out.end());
  const auto err = read_file(err_path);
  run.errors.assign(err.begin(), err.end());
  std::ifstream(count_path) >> run.calls;
  std::filesystem::remove(out_path);
  std::filesystem::remove(count_path);
  std::filesystem::remove(err_path);
  return run;
}

int run_quorvex_here(const std::vector<std::string>& args, const FaultPlan& plan) {
  std::vector<const char*> argv{"quorvex"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::fflush(stdout);
  const int saved = ::dup(1), null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  int rc;
  {
    FaultScope scope(plan);
    rc = run_quorvex(static_cast<int>(argv.size()), argv.data());
  }
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(null);
  return rc;
}

std::vector<std::string> folder_names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qx::test
