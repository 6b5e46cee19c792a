// The scripted decoder library beside the test executable, which the client
// loads when video goes on; the test sets its decode time through the
// library's control block.
#pragma once

#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "fake_media_control.hpp"

namespace mok::test {

class FakeDecoder {
 public:
  FakeDecoder() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    std::string path = n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
    path = path.substr(0, path.rfind('/') + 1) + "libmok_media.so";
    // Held open, so the control block is the one the client's decoder uses.
    lib_ = dlopen(path.c_str(), RTLD_NOW);
    if (lib_ == nullptr) return;
    if (auto fn = reinterpret_cast<FakeMediaControlFn>(dlsym(lib_, kFakeMediaControlSymbol))) control_ = fn();
  }
  ~FakeDecoder() {
    if (lib_ != nullptr) dlclose(lib_);
  }
  FakeDecoder(const FakeDecoder&) = delete;
  FakeDecoder& operator=(const FakeDecoder&) = delete;

  // Null when the library or its control block is missing.
  FakeMediaControl* control() const noexcept { return control_; }

 private:
  void* lib_ = nullptr;
  FakeMediaControl* control_ = nullptr;
};

// H.264 access units the scripted decoder accepts: an IDR slice (a key
// frame) or a plain slice, after a start code, `bytes` long in all.
inline std::vector<std::uint8_t> h264_unit(bool key, std::size_t bytes = 64) {
  std::vector<std::uint8_t> u(bytes < 8 ? 8 : bytes, 0x11);
  u[0] = u[1] = u[2] = 0;
  u[3] = 1;
  u[4] = key ? 0x65 : 0x41;
  return u;
}

}  // namespace mok::test
