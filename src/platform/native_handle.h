// Ownership of one OS handle: a file descriptor, a Windows HANDLE or a socket, held as an integer
// so that no header needs an OS header.
//
// `NativeHandle<Close>` closes what it holds with `Close` when destroyed or given another handle.
// It is move-only: a moved-from owner holds nothing. -1 means "nothing" on every platform (it is
// also INVALID_HANDLE_VALUE and INVALID_SOCKET).
#pragma once

#include <cstdint>
#include <utility>

namespace kelp {

template <void (*Close)(std::intptr_t)>
class NativeHandle {
 public:
  static constexpr std::intptr_t INVALID = -1;

  NativeHandle() = default;
  explicit NativeHandle(std::intptr_t native) : native_(native) {}
  NativeHandle(NativeHandle&& other) noexcept : native_(other.release()) {}
  NativeHandle& operator=(NativeHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  NativeHandle(const NativeHandle&) = delete;
  NativeHandle& operator=(const NativeHandle&) = delete;
  ~NativeHandle() { reset(INVALID); }

  bool is_open() const { return native_ != INVALID; }
  std::intptr_t native() const { return native_; }
  std::intptr_t release() { return std::exchange(native_, INVALID); }
  void reset(std::intptr_t native) {
    const std::intptr_t old = std::exchange(native_, native);
    if (old != INVALID) Close(old);
  }

 private:
  std::intptr_t native_ = INVALID;
};

}  // namespace kelp
