#pragma once
#include <string>

// Directory of the lock files: "/var/lock/". Logs it at debug level at every call.
std::string GetLockDir();

// An exclusive, non-blocking advisory lock (flock) on a lock file named after a resource:
// <lock dir>scoped-file-lock-<name>, with every tab, line feed, carriage return, blank, '$',
// '&', '/', backslash and '|' of the name replaced by an underscore. It excludes every other
// opener of the same file, other processes and other lock objects of this process alike.
class FileLock {
 public:
  // Computes the path; touches nothing on disk.
  explicit FileLock(const std::string& name);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Creates the file when missing and takes the lock. Throws std::runtime_error when the file
  // cannot be opened or another holder has the lock.
  void lock();
  // Releases the lock and deletes the file; nothing when no lock is held.
  void unlock();
  std::string GetLockFilePath();

 private:
  std::string path_;
  int fd_ = -1;
};

// Holds a FileLock for its whole life: locks in the constructor (its exception passes out) and
// unlocks, deleting the file, in the destructor.
class ScopedFileLock {
 public:
  explicit ScopedFileLock(const std::string& name);
  ~ScopedFileLock();
  ScopedFileLock(const ScopedFileLock&) = delete;
  ScopedFileLock& operator=(const ScopedFileLock&) = delete;

  std::string GetLockFilePath();

 private:
  FileLock lock_;
};
