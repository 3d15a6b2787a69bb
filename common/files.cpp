#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

namespace peiboard {
namespace {

// Closes the descriptor when the read ends, however it ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

Expected<std::vector<uint8_t>> read_input_file(const std::filesystem::path& path, uint64_t max_size,
                                               const std::string& what) {
  const std::string name = path.string();
  if (name.empty()) return Error{"an empty path names no " + what};
  // O_NONBLOCK: opening a FIFO must not wait for a writer; the type check below rejects it.
  FileDescriptor fd(::open(name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return Error{name + ": cannot open the " + what + ": " + std::strerror(errno)};
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    return Error{name + ": cannot read the " + what + ": " + std::strerror(errno)};
  }
  if (S_ISDIR(info.st_mode)) return Error{name + ": is a directory, not a " + what};
  if (!S_ISREG(info.st_mode)) return Error{name + ": is not a regular file, so not a " + what};
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size > max_size) {
    return Error{name + ": the " + what + " is " + std::to_string(size) + " bytes, more than the " +
                 std::to_string(max_size) + " this program reads"};
  }
  std::vector<uint8_t> bytes(size);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Error{name + ": cannot read the " + what + ": " + std::strerror(errno)};
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  uint8_t extra = 0;
  if (done != bytes.size() || ::read(fd.get(), &extra, 1) > 0) {
    return Error{name + ": the " + what + " changed size while it was read"};
  }
  return bytes;
}

namespace {

std::string reason() { return std::strerror(errno); }

// What stands at `name` may be replaced only if it is a regular file or nothing at all. The
// link itself is examined (lstat): a symbolic link is refused whatever it points to, so the
// writer never replaces a link an attacker planted, nor the file one points at.
Expected<void> replaceable(const std::string& name) {
  struct stat info {};
  if (::lstat(name.c_str(), &info) != 0) {
    if (errno == ENOENT) return {};
    return Error{name + ": cannot write: " + reason()};
  }
  if (S_ISLNK(info.st_mode)) return Error{name + ": is a symbolic link, not written through"};
  if (S_ISDIR(info.st_mode)) return Error{name + ": is a directory, not a file to write"};
  if (!S_ISREG(info.st_mode)) {
    return Error{name + ": is not a regular file (a device, FIFO or socket), not replaced"};
  }
  return {};
}

// A new file beside the target, holding the bytes to come; removed with its owner unless
// kept() once it has its final name.
class Temporary {
 public:
  // Creates `target` + ".partial-" and random digits, exclusively: a name that exists already
  // (a file or a link, planted or left by another writer) is never opened, another is tried.
  static Expected<Temporary> create(const std::string& target) {
    std::random_device random;
    for (int attempt = 0; attempt < 64; ++attempt) {
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, ".partial-%08x%08x", random(), random());
      std::string name = target + suffix;
      const int fd =
          ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd >= 0) return Temporary(std::move(name), fd);
      if (errno != EEXIST) return Error{target + ": cannot write: " + reason()};
    }
    return Error{target + ": cannot write: no free name for a temporary file beside it"};
  }
  Temporary(Temporary&& other) noexcept
      : name_(std::exchange(other.name_, {})), fd_(std::exchange(other.fd_, -1)) {}
  Temporary& operator=(Temporary&&) = delete;
  ~Temporary() {
    if (fd_ >= 0) ::close(fd_);
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  const std::string& name() const { return name_; }
  // Every byte written and on disk, the file closed; errno tells why not.
  bool fill(std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;
        return false;
      }
      done += static_cast<size_t>(n);
    }
    if (::fsync(fd_) != 0) return false;
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }
  // The file has its final name: nothing to remove.
  void kept() { name_.clear(); }

 private:
  Temporary(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
  std::string name_;
  int fd_;
};

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

Expected<void> write_output_file(const std::filesystem::path& path,
                                 std::span<const uint8_t> bytes) {
  const std::string name = path.string();
  if (name.empty()) return Error{"an empty path names no file to write"};
  if (auto ok = replaceable(name); !ok) return ok;
  auto temporary = Temporary::create(name);
  if (!temporary) return temporary.error();
  if (!temporary->fill(bytes)) return Error{name + ": cannot write: " + reason()};
  // Looked at again just before the rename: what appeared meanwhile is not replaced either.
  // (rename() itself never follows a link: at worst it replaces one planted in between.)
  if (auto ok = replaceable(name); !ok) return ok;
  if (::rename(temporary->name().c_str(), name.c_str()) != 0) {
    return Error{name + ": cannot write: " + reason()};
  }
  temporary->kept();
  return {};
}

Expected<Created> create_output_file(const std::filesystem::path& path, std::string_view text) {
  const std::string name = path.string();
  if (name.empty()) return Error{"an empty path names no file to write"};
  auto temporary = Temporary::create(name);
  if (!temporary) return temporary.error();
  if (!temporary->fill(bytes_of(text))) return Error{name + ": cannot write: " + reason()};
  // A hard link is made only under a name nothing has, atomically, without following links.
  if (::link(temporary->name().c_str(), name.c_str()) != 0) {
    if (errno == EEXIST) return Created::kNameTaken;
    return Error{name + ": cannot write: " + reason()};
  }
  return Created::kWritten;
}

Expected<void> write_output_file(const std::filesystem::path& path, std::string_view text) {
  return write_output_file(path, bytes_of(text));
}

}  // namespace peiboard
