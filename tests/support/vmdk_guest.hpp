// What a guest does to a VMDK child made by qemu-img over a copy of the file-system disk: it
// writes a file whose middle is zeros (over the base's dirty free space), deletes another, and
// leaves data in four grains of free space that a trim may drop.
#pragma once

#include <string>

#include "support/disk_fixture.hpp"

namespace qx::test {

// `work` holds the scratch files; the child is written through qemu-io in 64 KiB pieces.
void write_guest_changes(const DiskFixture& disk, const std::string& child, const std::string& work);

}  // namespace qx::test
