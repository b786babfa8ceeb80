#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "app/progress.hpp"
#include "app/trim_driver.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

const std::string kUsage =
    "QUORVEX Ver.0 alpha04\nUsage:\nquorvex [-d] [-s] [--json] [--in-place] [-f FORMAT] [--key-file FILE]... filepath\n";

test::CommandResult run(const std::string& args, const std::string& cwd = "") {
  std::string cmd = (cwd.empty() ? "" : "cd " + test::shell_quote(cwd) + " && ") +
                    test::shell_quote(test::quorvex_binary()) + " " + args + " 2>/dev/null";
  return test::run_command(cmd);
}

TEST(CommandLine, ParsesOptionsInAnyOrderAndSpelling) {
  CommandLine cmd;
  const char* a[] = {"-d", "-s", "img"};
  ASSERT_TRUE(parse_command_line(a, cmd));
  EXPECT_TRUE(cmd.delete_backup && cmd.silent);
  const char* b[] = {"/S", "/d", "img"};
  ASSERT_TRUE(parse_command_line(b, cmd));
  EXPECT_TRUE(cmd.delete_backup && cmd.silent);
  const char* j[] = {"--json", "-s", "img"};
  ASSERT_TRUE(parse_command_line(j, cmd));
  EXPECT_TRUE(cmd.json && cmd.silent && !cmd.delete_backup);
  const char* c[] = {"-s"};
  ASSERT_TRUE(parse_command_line(c, cmd));
  EXPECT_EQ(cmd.path, "-s");
  EXPECT_FALSE(cmd.silent);
  for (auto args : std::vector<std::vector<const char*>>{
           {"-d", "-d", "img"}, {"-x", "img"}, {"-ds", "img"}, {"-d", "img", "extra"},
           {"/D", "-d", "img"}, {"-s", "/S", "img"}, {"-", "img"}, {"-d", "-s", "-d", "img"},
           {"--json", "--json", "img"}, {"--help", "img"}, {"--JSON", "img"}, {"--version", "img"},
           {"--in-place", "-d", "img"}, {"/d", "--in-place", "img"}, {"--in-place", "--in-place", "img"},
           {"--in-placex", "img"}, {"-f", "img"}, {"-f", "vpc", "-f", "vpc", "img"}, {"--format=", "img"},
           {"-F", "vpc", "img"}})
    EXPECT_FALSE(parse_command_line(args, cmd)) << args[0] << " " << args[1];
  // The format's name is the argument after -f, whatever it looks like; checked by the run.
  for (auto args : std::vector<std::vector<const char*>>{
           {"-f", "vpc", "-d", "img"}, {"-d", "--format", "vpc", "img"}, {"--format=vpc", "-d", "img"}}) {
    ASSERT_TRUE(parse_command_line(args, cmd)) << args[0];
    EXPECT_TRUE(cmd.format == "vpc" && cmd.delete_backup && cmd.path == "img") << args[0];
  }
  const char* f[] = {"-f", "-d", "img"};
  ASSERT_TRUE(parse_command_line(f, cmd));
  EXPECT_TRUE(cmd.format == "-d" && !cmd.delete_backup);
  const char* d[] = {"-s", "--in-place", "img"};
  ASSERT_TRUE(parse_command_line(d, cmd));
  EXPECT_TRUE(cmd.in_place && cmd.silent && !cmd.delete_backup);
}

TEST(CommandLine, UsageErrorsExitOneWithTheUsageText) {
  test::TempDir dir;
  test::write_file(dir.file("img"), std::vector<uint8_t>(4096, 0x11));
  for (const char* args : {"", "-d -d img", "-x img", "-ds img", "-d img extra", "missing.vhd",
                           "-d nothere/x.vhd"}) {
    const auto r = run(args, dir.path().string());
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.output, kUsage) << args;
  }
}

TEST(CommandLine, ArgumentErrorsNameTheArgument) {
  const std::pair<const char*, std::string> cases[] = {
      {"", "no image named"},
      {"-x img", "-x: not an option"},
      {"/d -s /D img", "/D: given twice"},
      {"-d img extra", "img: one image at a time, named last"},
      {"--in-place -d img", "-d: cannot be given with --in-place (in place there is no backup)"},
      {"--help img", "--help: stands alone"}};
  for (const auto& [args, why] : cases) {
    const auto r = test::run_command(test::shell_quote(test::quorvex_binary()) + " " + args + " 2>&1 >/dev/null");
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.output, "quorvex: " + why + "; quorvex --help explains the arguments\n") << args;
  }
}

TEST(CommandLine, HelpExplainsEveryOptionAndVersionPrintsIt) {
  const auto help = run("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.substr(0, kUsage.size()), kUsage);
  for (const char* option : {"-d ", "-s ", "--json ", "--key-file ", "--help ", "--version ", "-f FORMAT "})
    EXPECT_NE(help.output.find("\n  " + std::string(option)), std::string::npos) << option;
  const auto version = run("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, std::string("quorvex ") + kQuorvexVersion + "\n");
  // The version is the project's.
  const auto cmake = test::read_file(test::source_dir() + "/CMakeLists.txt");
  EXPECT_NE(std::string(cmake.begin(), cmake.end()).find(std::string("VERSION ") + kQuorvexVersion + " "),
            std::string::npos);
}

TEST(CommandLine, UnknownFileExitsTwoAndPrintsNothing) {
  test::TempDir dir;
  test::write_file(dir.file("img"), std::vector<uint8_t>(4096, 0x11));
  test::write_file(dir.file("-weird"), std::vector<uint8_t>(4096, 0x22));
  for (const char* args : {"img", "-d -s img", "/S /d img", "-weird", "./-weird"}) {
    const auto r = run(args, dir.path().string());
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.output, "") << args;
  }
  EXPECT_EQ(test::read_file(dir.file("img")), std::vector<uint8_t>(4096, 0x11));
}

TEST(Progress, FormatsThousands) {
  char buf[32];
  const std::pair<uint64_t, const char*> cases[] = {{0, "0"},
                                                    {999, "999"},
                                                    {1000, "1,000"},
                                                    {4294967295ull, "4,294,967,295"},
                                                    {UINT64_MAX, "18,446,744,073,709,551,615"}};
  for (auto [value, text] : cases) {
    EXPECT_EQ(format_thousands(value, 3, buf), std::strlen(text));
    EXPECT_STREQ(buf, text);
  }
}

TEST(Progress, LineIsPaddedOverThePreviousOne) {
  ProgressState state;
  EXPECT_EQ(progress_line(1234567, 10000000, state), "12%  1,234,567 / 10,000,000");
  EXPECT_EQ(state.last_length, 27u);
  EXPECT_EQ(progress_line(5, 10, state), "50%  5 / 10" + std::string(27 - 11, ' '));
  EXPECT_EQ(state.last_length, 11u);
  // No overflow for the largest done, and an empty disk does not divide by zero.
  EXPECT_EQ(progress_line(4294967295u, 4294967295u, state).substr(0, 5), "100% ");
  EXPECT_EQ(progress_line(0, 0, state).substr(0, 12), "100%  0 / 0 ");
}

TEST(Progress, ALogGetsOneLinePerWholePercent) {
  test::TempDir dir;
  const std::string out = dir.file("out");
  std::fflush(stdout);
  const int saved = ::dup(1);
  std::FILE* f = std::fopen(out.c_str(), "w");
  ::dup2(::fileno(f), 1);
  ProgressState log{false, false, 0};
  log.once_per_percent = true;
  ProgressState json = log;
  json.json = true;
  for (ProgressState* state : {&log, &json})
    for (uint32_t done = 0; done <= 100000; done += 8) EXPECT_TRUE(print_progress(done, 100000, state));
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  std::fclose(f);
  const auto bytes = test::read_file(out);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 101);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 101);
  EXPECT_NE(text.find("{\"event\": \"progress\", \"phase\": \"trim\", \"done_bytes\": 25600000, "
                      "\"total_bytes\": 51200000}\n"),
            std::string::npos);
}

TEST(Progress, SilentPrintsNothingAndAlwaysContinues) {
  ProgressState state{true, false, 0};
  EXPECT_TRUE(print_progress(1, 2, &state));
  EXPECT_EQ(state.last_length, 0u);
}

}  // namespace
}  // namespace qx
