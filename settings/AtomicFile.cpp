#include "settings/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace irisdesk {
namespace {

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Close(); }
  int get() const { return fd_; }
  bool Close() {
    if (fd_ < 0) return true;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a chain of symbolic links ends at (the path itself when it is no link).
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0 || static_cast<size_t>(n) >= buffer.size()) return path;
    const std::string next(buffer.data(), static_cast<size_t>(n));
    path = next.front() == '/' ? next : DirectoryOf(path) + "/" + next;
  }
  return path;
}

// Without a temporary file the old contents cannot survive a crash mid-write; this is
// only for files whose folder refuses new files.
bool WriteInPlace(const std::string& path, const std::string& contents) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  return fd.get() >= 0 && WriteAll(fd.get(), contents) && ::fsync(fd.get()) == 0 && fd.Close();
}

}  // namespace

ReadResult ReadWholeFile(const std::string& path, std::string& contents) {
  contents.clear();
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadResult::Failed;
    if (n == 0) return ReadResult::Ok;
    contents.append(buffer, static_cast<size_t>(n));
  }
}

bool WriteFileAtomically(const std::string& path, const std::string& contents,
                         const std::function<bool()>& beforeRename) {
  // A link (a settings file kept elsewhere) stays a link: its target is written.
  const std::string target = FollowLinks(path);
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  // A file without any write permission is the user's way of fixing it as it is; the
  // mode is asked as well as access(), which lets root write anything.
  if (exists && ((old.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0)) return false;

  std::string tempName = target + ".XXXXXX";
  std::vector<char> pattern(tempName.begin(), tempName.end());
  pattern.push_back('\0');
  Fd fd(::mkstemp(pattern.data()));
  if (fd.get() < 0) {
    // A folder that takes no new files can still hold a file we may write.
    return exists && (errno == EACCES || errno == EPERM) && WriteInPlace(target, contents);
  }
  tempName = pattern.data();

  if (exists) {
    // Keep the owner too when root saves somebody's file; failing that is harmless.
    [[maybe_unused]] const int ignored = ::fchown(fd.get(), old.st_uid, old.st_gid);
  }
  const mode_t mode = exists ? (old.st_mode & 07777) : 0644;
  const bool written = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), contents) &&
                       ::fsync(fd.get()) == 0 && fd.Close();
  if (!written || (beforeRename && !beforeRename()) ||
      ::rename(tempName.c_str(), target.c_str()) != 0) {
    ::unlink(tempName.c_str());
    return false;
  }
  // Make the rename itself durable; a failure here leaves a complete file either way.
  Fd dir(::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return true;
}

}  // namespace irisdesk
