// A suite whose tests share one partitioned disk with real file systems (and whatever the
// suite's own SetUpTestSuite makes of it), built once: the disk tools are slow.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/disk_fixture.hpp"
#include "support/test_support.hpp"

namespace qx::test {

template <class Suite>
class SharedDiskSuite : public ::testing::Test {
 protected:
  // Builds the disk unless a tool the suite needs is missing; then every test skips.
  static bool make_disk(bool tools_present) {
    if (!tools_present) return false;
    dir_ = new TempDir;
    disk_ = new DiskFixture(make_mbr_fat32_ext4(dir_->path().string()));
    return true;
  }
  static void TearDownTestSuite() {
    delete disk_;
    delete dir_;
    disk_ = nullptr;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!disk_) GTEST_SKIP() << "disk tools, qemu-img or qemu-io missing";
  }
  static std::string file(const std::string& name) { return dir_->file(name); }

  static inline TempDir* dir_ = nullptr;
  static inline DiskFixture* disk_ = nullptr;
};

}  // namespace qx::test
