// Scratch files for the tests that read files.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace tov::test_support {

// A directory under /tmp, removed with its contents when the object goes away.
class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/tov-hashing-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }

  // Creates or replaces a file; returns its path.
  std::string write(std::string_view name, std::string_view contents) const {
    const std::string file = *this / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) throw std::runtime_error("cannot write " + file);
    return file;
  }

 private:
  std::filesystem::path path_;
};

// prefix + number, spelled out because g++ 12 warns falsely (-Wrestrict)
// about a string literal added to a temporary std::string.
inline std::string numbered(std::string_view prefix, std::size_t number) {
  std::string out(prefix);
  out += std::to_string(number);
  return out;
}

// Bytes that differ from position to position, so that data read to the
// wrong offset changes the digest.
inline std::string patterned_bytes(std::size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  unsigned state = seed * 2654435761u + 12345u;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 16);
  }
  return bytes;
}

// A file's bytes read with the standard library, as the reference the
// engine's own reads are checked against.
inline std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `fn` on another thread; false if it had not finished after a few
// seconds. It is then presumed stuck on `fifo` and released by connecting and
// closing a writer, so that a failing test still ends.
template <class Fn>
bool finishes_despite_fifo(const std::string& fifo, Fn fn) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread runner([&] {
    fn();
    done.set_value();
  });
  const bool in_time = finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!in_time) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  }
  runner.join();
  return in_time;
}

}  // namespace tov::test_support
