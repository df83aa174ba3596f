#include "support/thrown.h"
#include "kovra/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "support/log_capture.h"

namespace {

const std::string kPrefix = "/var/lock/scoped-file-lock-";

// A resource name that no real port or other test uses.
std::string UniqueName(const std::string& what) {
  static int counter = 0;
  return "korvane-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + "-" +
         what;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

#define REQUIRE_LOCK_DIR()                                                  \
  do {                                                                      \
    if (::access("/var/lock/", W_OK) != 0) GTEST_SKIP() << "no /var/lock/"; \
  } while (0)

}  // namespace

TEST(FileLockName, SanitisedNamesUnderVarLock) {
  EXPECT_EQ(FileLock("serial-/dev/ttyUSB0").GetLockFilePath(),
            "/var/lock/scoped-file-lock-serial-_dev_ttyUSB0");
  EXPECT_EQ(FileLock(" \t|").GetLockFilePath(), kPrefix + "___");
  EXPECT_EQ(FileLock("\t\n\r $&/\\|").GetLockFilePath(), kPrefix + "_________");
  // Everything else stays, bytes above 127 included.
  EXPECT_EQ(FileLock("a.b-c_d:e;f*g?\xC3\xA9").GetLockFilePath(),
            kPrefix + "a.b-c_d:e;f*g?\xC3\xA9");
  EXPECT_EQ(FileLock("").GetLockFilePath(), kPrefix);
}

TEST(FileLockName, BuildingDoesNotTouchTheFileSystem) {
  const std::string name = UniqueName("untouched");
  {
    FileLock lock(name);
    EXPECT_FALSE(Exists(lock.GetLockFilePath()));
  }
  EXPECT_FALSE(Exists(kPrefix + name));
}

TEST(FileLockName, LockDirIsLoggedAtDebugForEveryLockObject) {
  LogCapture capture(spdlog::level::debug);
  EXPECT_EQ(GetLockDir(), "/var/lock/");
  FileLock a("x");
  FileLock b("y");
  EXPECT_EQ(capture.Count("File lock stored in /var/lock/"), 3);
}

TEST(FileLock, SecondLockOnTheSameNameThrowsWithThePath) {
  REQUIRE_LOCK_DIR();
  const std::string name = UniqueName("ser ial|x");
  std::string expected_path;
  {
    ScopedFileLock first(name);
    expected_path = first.GetLockFilePath();
    EXPECT_TRUE(Exists(expected_path));
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { ScopedFileLock second(name); }),
              "Lock is held by file " + expected_path);
    // The failed attempt must not disturb the holder.
    EXPECT_TRUE(Exists(expected_path));
    FileLock third(name);
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { third.lock(); }), "Lock is held by file " + expected_path);
  }
  EXPECT_THAT(expected_path, ::testing::HasSubstr("ser_ial_x"));
  EXPECT_FALSE(Exists(expected_path));
  ScopedFileLock again(name);
  EXPECT_TRUE(Exists(expected_path));
}

TEST(FileLock, UnlockTwiceDeletesOnceThenDoesNothing) {
  REQUIRE_LOCK_DIR();
  FileLock lock(UniqueName("twice"));
  const std::string path = lock.GetLockFilePath();
  lock.unlock();  // never locked: nothing
  lock.lock();
  ASSERT_TRUE(Exists(path));
  lock.unlock();
  EXPECT_FALSE(Exists(path));
  // A file of the same name made by someone else afterwards is left alone.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  ::close(fd);
  lock.unlock();
  EXPECT_TRUE(Exists(path));
  ::unlink(path.c_str());
}

TEST(FileLock, LockingAHeldLockAgainKeepsIt) {
  REQUIRE_LOCK_DIR();
  const std::string name = UniqueName("relock");
  FileLock lock(name);
  lock.lock();
  EXPECT_NO_THROW(lock.lock());
  FileLock other(name);
  EXPECT_THROW(other.lock(), std::runtime_error);
  lock.unlock();
  EXPECT_FALSE(Exists(lock.GetLockFilePath()));
  EXPECT_NO_THROW(other.lock());
}

TEST(FileLock, AnotherOpenerHoldingTheFlockBlocksTheLock) {
  REQUIRE_LOCK_DIR();
  const std::string name = UniqueName("foreign");
  const std::string path = kPrefix + name;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { ScopedFileLock lock(name); }), "Lock is held by file " + path);
  ::flock(fd, LOCK_UN);
  ::close(fd);
  { ScopedFileLock lock(name); }
  EXPECT_FALSE(Exists(path));
}

TEST(FileLock, ExcludesAnotherProcess) {
  REQUIRE_LOCK_DIR();
  ScopedFileLock lock(UniqueName("process"));
  const std::string path = lock.GetLockFilePath();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only plain system calls in the child.
    int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) ::_exit(2);
    ::_exit(::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);  // the child could open the file but not lock it
}

TEST(FileLock, UnopenableFileThrowsWithThePath) {
  // A name longer than a file name may be.
  const std::string name(300, 'k');
  FileLock lock(name);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { lock.lock(); }),
            "Couldn't open file " + kPrefix + name + "for lock");
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { ScopedFileLock scoped(name); }),
            "Couldn't open file " + kPrefix + name + "for lock");
  lock.unlock();  // nothing held: nothing happens
}
