// What every fuzz target shares: the input written to a scratch file (drivers open paths), and
// one pass over an opened image that touches every operation a trim would use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "image/disk_image.hpp"

namespace qx::fuzz {

// A per-process folder under the temporary directory, made once.
const std::string& scratch_dir();
// Writes bytes to scratch_dir()/name and returns the path.
std::string write_scratch(const std::string& name, std::span<const uint8_t> bytes);

// Geometry, reads at the start and the end, the used-sector map over (a bounded part of) the
// disk, and the free-range checks a trim asks, all with their results ignored: only crashes,
// hangs and sanitizer findings count.
void exercise_image(DiskImage& image);
// The image's trim over its own map, its output thrown away as after a failed run.
void trim_and_discard(DiskImage& image, const std::string& path);
// The image's trim in place over its own map: the scratch file itself is changed.
void trim_in_place(DiskImage& image, const std::string& path);

}  // namespace qx::fuzz
