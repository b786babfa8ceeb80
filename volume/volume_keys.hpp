// The passphrases a user hands over for encrypted volumes, held only as long as the map is built
// and wiped when they go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

// Overwrites memory in a way the compiler may not leave out.
void wipe_bytes(void* data, size_t length) noexcept;

// Bytes of a fixed capacity, allocated once (never copied by a reallocation) and wiped when they
// go or shrink.
class Secret {
 public:
  Secret() = default;
  explicit Secret(size_t capacity);
  ~Secret() { clear(); }
  Secret(Secret&& other) noexcept = default;
  Secret& operator=(Secret&& other) noexcept;
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  uint8_t* data() noexcept { return bytes_.get(); }
  const uint8_t* data() const noexcept { return bytes_.get(); }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  std::span<const uint8_t> bytes() const noexcept { return {bytes_.get(), size_}; }
  // Keeps the first `length` bytes (at most the capacity) and wipes the rest.
  void resize(size_t length) noexcept;
  void clear() noexcept;

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// One passphrase: for every encrypted volume, or for the one `volume` names (a partition number
// as the system numbers partitions, or a LUKS UUID).
struct VolumeKey {
  std::string volume;
  Secret passphrase;
};

// Whether a key's selector names this volume (UUIDs compared without regard to case).
bool key_selects(std::string_view selector, uint32_t partition_number, std::string_view uuid) noexcept;
// True for a selector of the `VOLUME=FILE` form: a partition number or a UUID.
bool is_volume_selector(std::string_view text) noexcept;

using VolumeKeys = std::vector<VolumeKey>;

}  // namespace qx
