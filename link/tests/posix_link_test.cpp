// The POSIX serial link over a real pseudo-terminal: the read and write bounds and the line; and
// the native link hold between processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "link/exchange.h"
#include "platform/platform.h"
#include "platform/posix_serial.h"

namespace {

class PosixLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256] = {};
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    path = name;
    link = PosixOpenLink(path.c_str());
    close(slave);  // the link holds its own descriptor
    ASSERT_NE(link, INVALID_LINK_HANDLE);
    PosixSetTimeouts(link, kWakeUpTimeouts);
  }
  void TearDown() override {
    PosixCloseLink(link);
    if (master >= 0) close(master);
  }
  void FarEndWrites(const std::string& s) {
    ASSERT_EQ(write(master, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  std::string FarEndReads(size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
      ssize_t r = read(master, &out[got], n - got);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }

  int master = -1;
  std::string path;
  LinkHandle link = INVALID_LINK_HANDLE;
};

TEST_F(PosixLinkTest, ReadsReturnWhatCameWithinTheTimeout) {
  uint8_t buffer[19] = {};
  EXPECT_EQ(PosixReadLink(link, buffer, sizeof buffer), 0u);
  FarEndWrites(":0064");
  EXPECT_EQ(PosixReadLink(link, buffer, sizeof buffer), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), ":0064");
  FarEndWrites(std::string(25, 'A'));
  EXPECT_EQ(PosixReadLink(link, buffer, sizeof buffer), 19u);  // the rest waits for the next read
  EXPECT_EQ(PosixReadLink(link, buffer, sizeof buffer), 6u);
}

TEST_F(PosixLinkTest, WritesArriveWhole) {
  const std::string frame = ":006401590141\r\n";
  EXPECT_EQ(PosixWriteLink(link, reinterpret_cast<const uint8_t*>(frame.data()), 15), 15u);
  EXPECT_EQ(FarEndReads(15), frame);
}

TEST_F(PosixLinkTest, AWriteNobodyDrainsEndsAtTheWriteTimeout) {
  std::vector<uint8_t> lots(1 << 20, 0x55);
  const uint32_t written = PosixWriteLink(link, lots.data(), static_cast<uint32_t>(lots.size()));
  EXPECT_LT(written, lots.size());
}

TEST_F(PosixLinkTest, FarEndGoneMakesReadsEmptyAndWritesShort) {
  close(master);
  master = -1;
  uint8_t buffer[11];
  EXPECT_EQ(PosixReadLink(link, buffer, sizeof buffer), 0u);
  EXPECT_EQ(PosixWriteLink(link, buffer, sizeof buffer), 0u);
}

TEST_F(PosixLinkTest, LineSpeedReachesTheTerminal) {
  // A pseudo-terminal always reports 8 data bits and no parity; the speed is what it keeps.
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios tio{};
  PosixSetLine(link, kMonitorLine);
  tcgetattr(fd, &tio);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  PosixSetLine(link, kLoaderLine);
  tcgetattr(fd, &tio);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(tio.c_cflag & PARENB);
  close(fd);
}

TEST(PosixLink, BadPathOrHandle) {
  EXPECT_EQ(PosixOpenLink("/nonexistent/tty"), INVALID_LINK_HANDLE);
  uint8_t b[1];
  EXPECT_EQ(PosixReadLink(INVALID_LINK_HANDLE, b, 1), 0u);
  EXPECT_EQ(PosixWriteLink(INVALID_LINK_HANDLE, b, 1), 0u);
}

// True when `check` holds in a child process; run as another user ("nobody") where this test may
// change user.
bool InChild(const std::function<bool()>& check) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

TEST(PosixLinkHold, RefusedToOtherProcessesAndUsersUntilGivenBackAndFollowsNoLink) {
  Platform& p = ThisSystem();
  const std::string name = "test-" + std::to_string(getpid());
  const std::string file = "/tmp/morvex-link-" + name + ".lock";
  const std::string theirs = name + "-theirs";
  const std::string linked = name + "-linked";
  const std::string target = "/tmp/morvex-link-" + linked + ".target";

  const mode_t mask = umask(077);
  const LinkHold hold = p.HoldLink(name.c_str());
  umask(mask);
  ASSERT_NE(hold, nullptr);
  struct stat st = {};
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);  // a file left here refuses no other user
  EXPECT_TRUE(InChild([&] { return p.HoldLink(name.c_str()) == nullptr; }));
  p.ReleaseLink(hold);
  // Given back: another process takes it, and ends without giving it back.
  EXPECT_TRUE(InChild([&] { return p.HoldLink(name.c_str()) != nullptr; }));
  LinkHold again = p.HoldLink(name.c_str());
  EXPECT_NE(again, nullptr);
  p.ReleaseLink(again);

  // Another process's file is held as it stands.
  EXPECT_TRUE(InChild([&] { return p.HoldLink(theirs.c_str()) != nullptr; }));
  const std::string theirFile = "/tmp/morvex-link-" + theirs + ".lock";
  ASSERT_EQ(lstat(theirFile.c_str(), &st), 0);
  const uid_t owner = st.st_uid;
  again = p.HoldLink(theirs.c_str());
  EXPECT_NE(again, nullptr);
  p.ReleaseLink(again);
  ASSERT_EQ(lstat(theirFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, owner);
  EXPECT_EQ(st.st_mode & 07777, 0444u);

  // A symbolic link in its place is refused, with the reason on standard error, and not followed.
  const std::string link = "/tmp/morvex-link-" + linked + ".lock";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(p.HoldLink(linked.c_str()), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(link), std::string::npos);
  EXPECT_NE(lstat(target.c_str(), &st), 0);

  for (const std::string& f : {file, theirFile, link, target}) unlink(f.c_str());
}

TEST(PosixLinkHold, LookingForAHoldTakesNoneAndRefusesNoOtherLook) {
  Platform& p = ThisSystem();
  const std::string name = "test-" + std::to_string(getpid()) + "-look";
  const std::string file = "/tmp/morvex-link-" + name + ".lock";
  // No file: free, and none is made by looking.
  EXPECT_FALSE(p.LinkHeld(name.c_str()));
  struct stat st = {};
  EXPECT_NE(lstat(file.c_str(), &st), 0);
  LinkHold hold = p.HoldLink(name.c_str());
  ASSERT_NE(hold, nullptr);
  EXPECT_TRUE(p.LinkHeld(name.c_str()));  // this process's own hold counts too
  EXPECT_TRUE(InChild([&] { return p.LinkHeld(name.c_str()); }));
  p.ReleaseLink(hold);
  EXPECT_FALSE(p.LinkHeld(name.c_str()));
  // Two looks at once refuse neither each other nor a hold taken once they are done: a child
  // that keeps looking while this process looks too.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t looker = fork();
  if (looker == 0) {
    const int fd = open(file.c_str(), O_RDONLY);
    const bool locked = fd >= 0 && flock(fd, LOCK_SH) == 0;  // as a look that lasts
    if (write(ready[1], locked ? "y" : "n", 1) != 1) _exit(1);
    for (;;) pause();
  }
  char locked = 'n';
  ASSERT_EQ(read(ready[0], &locked, 1), 1);
  EXPECT_EQ(locked, 'y');
  EXPECT_FALSE(p.LinkHeld(name.c_str()));
  kill(looker, SIGKILL);
  waitpid(looker, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  hold = p.HoldLink(name.c_str());
  EXPECT_NE(hold, nullptr);
  p.ReleaseLink(hold);
  unlink(file.c_str());
}

}  // namespace
