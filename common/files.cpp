#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

Expected<void> write_output_file(const std::filesystem::path& path,
                                 std::span<const uint8_t> bytes) {
  const std::string name = path.string();
  const std::string temporary = name + ".partial";
  FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return Error{name + ": cannot write: " + std::strerror(errno)};
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string reason = std::strerror(errno);
      ::unlink(temporary.c_str());
      return Error{name + ": cannot write: " + reason};
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), name.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    ::unlink(temporary.c_str());
    return Error{name + ": cannot write: " + reason};
  }
  return {};
}

Expected<void> write_output_file(const std::filesystem::path& path, std::string_view text) {
  return write_output_file(path,
                           std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace peiboard
