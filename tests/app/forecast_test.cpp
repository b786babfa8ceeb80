// The forecast of quorvex-inspect --estimate against the trim itself, for every format quorvex
// rewrites: the same files, to the byte; and a trim with nothing to gain writes nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "support/fault_injection.hpp"
#include "support/json_reader.hpp"
#include "support/qemu_tools.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

TEST(Forecast, EqualsTheTrimmedSizeForEveryWritableFormat) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  for (const char* format : {"vpc", "vdi", "vhdx", "vmdk", "qcow2", "parallels"}) {
    SCOPED_TRACE(format);
    test::TempDir dir(test::memory_folder());
    const std::string image = dir.file(std::string("d.") + format);
    // Data, a run of written zeros the trim drops, and data again.
    ASSERT_NO_FATAL_FAILURE(test::sh("qemu-img create -q -f " + std::string(format) + " " + shell_quote(image) + " 64M"));
    ASSERT_NO_FATAL_FAILURE(test::sh("qemu-io -f " + std::string(format) + " -c 'write -P 0x5a 1M 64k' -c 'write -P 0 8M 4M' "
                                     "-c 'write -P 7 20M 3M' " + shell_quote(image) + " >/dev/null"));
    const auto report = test::run_command(shell_quote(test::inspect_binary()) + " --json --estimate " + shell_quote(image) + " 2>/dev/null");
    ASSERT_EQ(report.status, 0);
    test::Json j;
    ASSERT_TRUE(test::JsonReader(report.output).read(j)) << report.output;
    const test::Json& estimate = j["estimate"];
    ASSERT_EQ(estimate["files"].items.size(), 1u) << report.output;
    EXPECT_EQ(estimate["files"][0]["path"].text, image);
    EXPECT_GT(estimate["host_bytes"].number, 0);
    const long long before = static_cast<long long>(fs::file_size(image));
    EXPECT_LT(estimate["files"][0]["bytes"].number, before);

    ASSERT_EQ(test::quorvex(shell_quote(image)).status, 0);
    EXPECT_EQ(estimate["files"][0]["bytes"].number, static_cast<long long>(fs::file_size(image)));
    EXPECT_EQ(static_cast<long long>(fs::file_size(image + "_DEL")), before);
    // The host bytes are the blocks the new file took: its data, not its holes.
    struct stat st {};
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_EQ(estimate["host_bytes"].number, static_cast<long long>(st.st_blocks) * 512);

    // Trimmed again, it has nothing to gain: nothing is written and the backup stays as it is.
    fs::remove(image + "_DEL");
    const auto bytes = test::read_file(image);
    const auto again = test::run_command(shell_quote(test::quorvex_binary()) + " " + shell_quote(image) + " 2>&1");
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.output.find(": nothing to gain: "), std::string::npos) << again.output;
    EXPECT_TRUE(again.output.ends_with("\nSUCCESS\n")) << again.output;
    EXPECT_EQ(test::read_file(image), bytes);
    EXPECT_EQ(test::folder_names(dir.path().string()), std::vector<std::string>{std::string("d.") + format});
  }
}

}  // namespace
}  // namespace qx
