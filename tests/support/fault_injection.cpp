#include "support/fault_injection.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/trim_driver.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

#ifdef _WIN32
constexpr UINT kKilledExitCode = 137;
#endif

FaultPlan g_plan;
uint64_t g_calls = 0;
bool g_fired = false;

int hook(FileCall call) noexcept {
  if (g_plan.no_links && call == FileCall::kLink) return EPERM;
  if (g_plan.only_kind && call != g_plan.kind) return 0;
  if (++g_calls != g_plan.at || g_plan.mode == FaultMode::kCount) return 0;
  g_fired = true;
  switch (g_plan.mode) {
    case FaultMode::kKill:
      std::fflush(stdout);
#ifdef _WIN32
      // What Task Manager's "End task" does: no handler, no cleanup, handles closed by the system.
      TerminateProcess(GetCurrentProcess(), kKilledExitCode);
#else
      ::raise(SIGKILL);
#endif
      return 0;
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

namespace {

// Where a child run leaves its standard output, its errors and the count of its calls.
struct ChildFiles {
  explicit ChildFiles(const std::string& dir)
      : out(dir + "/child.out"), calls(dir + "/child.calls"), err(dir + "/child.err") {}
  std::string out, calls, err;
};

// In the child: the tool under the plan, and the count of the calls it made written down.
int run_planned(const std::vector<const char*>& argv, const FaultPlan& plan, const std::string& calls_path) {
  int rc;
  uint64_t calls;
  {
    FaultScope scope(plan);
    rc = run_quorvex(static_cast<int>(argv.size()), argv.data());
    calls = scope.calls();
  }
  std::fflush(stdout);
  if (std::FILE* f = std::fopen(calls_path.c_str(), "w")) {
    std::fprintf(f, "%llu", static_cast<unsigned long long>(calls));
    std::fclose(f);
  }
  return rc;
}

// In the parent, once the child ended: what it left, its files removed.
void collect(const ChildFiles& files, ChildRun& run) {
  const auto out = read_file(files.out);
  run.output.assign(out.begin(), out.end());
  const auto err = read_file(files.err);
  run.errors.assign(err.begin(), err.end());
  std::ifstream(files.calls) >> run.calls;
  std::filesystem::remove(files.out);
  std::filesystem::remove(files.calls);
  std::filesystem::remove(files.err);
}

}  // namespace

#ifdef _WIN32
namespace {

// Windows has no fork(): the child is this test program again, started with the plan in its
// environment, which runs the command line before its tests would start.
constexpr const char* kChildPlan = "QX_FAULT_CHILD_PLAN";
constexpr char kSeparator = '\x1f';

int run_as_child(const std::string& spec) {
  std::vector<std::string> fields;
  for (size_t at = 0;;) {
    const size_t next = spec.find(kSeparator, at);
    fields.push_back(spec.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    at = next + 1;
  }
  if (fields.size() < 9) return 121;
  FaultPlan plan;
  plan.mode = static_cast<FaultMode>(std::stoi(fields[0]));
  plan.at = std::stoull(fields[1]);
  plan.only_kind = fields[2] == "1";
  plan.kind = static_cast<FileCall>(std::stoi(fields[3]));
  plan.error = std::stoi(fields[4]);
  plan.no_links = fields[5] == "1";
  if (!std::freopen(fields[6].c_str(), "w", stdout) || !std::freopen(fields[8].c_str(), "w", stderr))
    return 120;
  std::vector<const char*> argv{"quorvex"};
  for (size_t i = 9; i < fields.size(); ++i) argv.push_back(fields[i].c_str());
  return run_planned(argv, plan, fields[7]);
}

const bool g_child_ran = [] {
  const char* spec = std::getenv(kChildPlan);
  if (spec && *spec) std::exit(run_as_child(spec));
  return false;
}();

}  // namespace

ChildRun run_quorvex_child(const std::vector<std::string>& args, const FaultPlan& plan,
                           const std::string& scratch_dir) {
  (void)g_child_ran;
  const ChildFiles files(scratch_dir);
  std::string spec = std::to_string(static_cast<int>(plan.mode)) + kSeparator + std::to_string(plan.at) +
                     kSeparator + (plan.only_kind ? "1" : "0") + kSeparator +
                     std::to_string(static_cast<int>(plan.kind)) + kSeparator + std::to_string(plan.error) +
                     kSeparator + (plan.no_links ? "1" : "0") + kSeparator + files.out + kSeparator + files.calls +
                     kSeparator + files.err;
  for (const std::string& a : args) spec += kSeparator + a;
  ChildRun run;
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return run;
  std::fflush(stdout);
  SetEnvironmentVariableA(kChildPlan, spec.c_str());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  std::string command = std::string("\"") + self + "\"";
  // A loaded machine (Wine above all) now and then fails to start a process: a failure of the
  // harness, not of the run under test, so it is tried again.
  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt) Sleep(200 * attempt);
    started = CreateProcessA(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child);
  }
  SetEnvironmentVariableA(kChildPlan, nullptr);
  if (!started) return run;
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  if (code == kKilledExitCode) run.signal = SIGKILL;
  else run.exit_code = static_cast<int>(code);
  collect(files, run);
  return run;
}
#else
ChildRun run_quorvex_child(const std::vector<std::string>& args, const FaultPlan& plan,
                           const std::string& scratch_dir) {
  const ChildFiles files(scratch_dir);
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::FILE* out = std::fopen(files.out.c_str(), "w");
    std::FILE* err = std::fopen(files.err.c_str(), "w");
    if (!out || !err) ::_exit(120);
    ::dup2(::fileno(out), 1);
    ::dup2(::fileno(err), 2);
    std::vector<const char*> argv{"quorvex"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    ::_exit(run_planned(argv, plan, files.calls));
  }
  ChildRun run;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  collect(files, run);
  return run;
}

// Runs the tool in this process, with its standard output dropped (no Windows build needs it).
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
#endif

std::vector<std::string> folder_names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qx::test
