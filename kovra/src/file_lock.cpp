#include "kovra/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "kovra/log.h"

namespace {

// Characters that must not reach a file name: whitespace that breaks shell use, the path
// separators and shell metacharacters.
std::string SanitizeString(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    switch (c) {
      case '\t':
      case '\n':
      case '\r':
      case ' ':
      case '$':
      case '&':
      case '/':
      case '\\':
      case '|':
        c = '_';
        break;
      default:
        break;
    }
  }
  return out;
}

}  // namespace

std::string GetLockDir() {
  std::string dir = "/var/lock/";
  kovra::GetLog()->debug("File lock stored in {}", dir);
  return dir;
}

FileLock::FileLock(const std::string& name)
    : path_(GetLockDir() + "scoped-file-lock-" + SanitizeString(name)) {}

FileLock::~FileLock() { unlock(); }

void FileLock::lock() {
  // A second lock() on a held lock would otherwise lose the held descriptor; the lock is ours.
  if (fd_ >= 0) return;
  // A holder deletes the file while it still holds the lock. An opener that got the old file
  // just before that may win the flock on the deleted file after the release, so a lock only
  // counts when the path still names the locked file; otherwise try again with the new file.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error("Couldn't open file " + path_ + "for lock");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      throw std::runtime_error("Lock is held by file " + path_);
    }
    struct stat locked {};
    struct stat named {};
    if (::fstat(fd, &locked) == 0 && ::stat(path_.c_str(), &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      fd_ = fd;
      return;
    }
    ::close(fd);
  }
  throw std::runtime_error("Lock is held by file " + path_);
}

void FileLock::unlock() {
  if (fd_ < 0) return;
  // Delete while still holding the lock, so no one can take a lock on the name that is then
  // deleted under them.
  ::unlink(path_.c_str());
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

std::string FileLock::GetLockFilePath() { return path_; }

ScopedFileLock::ScopedFileLock(const std::string& name) : lock_(name) { lock_.lock(); }

ScopedFileLock::~ScopedFileLock() { lock_.unlock(); }

std::string ScopedFileLock::GetLockFilePath() { return lock_.GetLockFilePath(); }
