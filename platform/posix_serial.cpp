#include "posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>

namespace {

// The handle carries the file descriptor (plus one, so that no open link is a null handle).
int Fd(LinkHandle link) {
  if (link == INVALID_LINK_HANDLE || link == nullptr) return -1;
  return static_cast<int>(reinterpret_cast<intptr_t>(link)) - 1;
}

std::mutex timeoutsMutex;
std::map<int, LinkTimeouts> timeoutsByFd;

speed_t SpeedOf(uint32_t baud) {
  return baud == 115200  ? B115200
         : baud == 57600 ? B57600
         : baud == 38400 ? B38400
         : baud == 19200 ? B19200
                         : B9600;
}

using Clock = std::chrono::steady_clock;

// When a transfer of `count` bytes on `fd` must end: the total time-out in force for writes or for
// reads, a constant and a multiplier per byte (none set: at once).
Clock::time_point Deadline(int fd, bool write, uint32_t count) {
  std::lock_guard<std::mutex> lock(timeoutsMutex);
  const auto it = timeoutsByFd.find(fd);
  const LinkTimeouts t = it == timeoutsByFd.end() ? LinkTimeouts{} : it->second;
  const uint64_t ms =
      write ? t.writeTotalTimeoutConstant + uint64_t{t.writeTotalTimeoutMultiplier} * count
            : t.readTotalTimeoutConstant + uint64_t{t.readTotalTimeoutMultiplier} * count;
  return Clock::now() + std::chrono::milliseconds(ms);
}

// Milliseconds until `deadline`, negative once it has passed.
int64_t MillisecondsLeft(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

}  // namespace

LinkHandle PosixOpenLink(const char* path) {
  // Non-blocking, so that a write the far end does not drain ends at the write time-out.
  int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return INVALID_LINK_HANDLE;
  // Held as the serial tools of this system hold a port: an exclusive lock on the device, which
  // every program that follows the convention honours, and the terminal's exclusive mode against
  // any other open. A port locked by another is refused with EWOULDBLOCK.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    ::close(fd);
    errno = why;
    return INVALID_LINK_HANDLE;
  }
  ::ioctl(fd, TIOCEXCL);
  termios tio{};
  if (::tcgetattr(fd, &tio) == 0) {
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &tio);
  }
  return reinterpret_cast<LinkHandle>(static_cast<intptr_t>(fd) + 1);
}

void PosixCloseLink(LinkHandle link) {
  int fd = Fd(link);
  if (fd < 0) return;
  {
    std::lock_guard<std::mutex> lock(timeoutsMutex);
    timeoutsByFd.erase(fd);
  }
  ::close(fd);
}

uint32_t PosixWriteLink(LinkHandle link, const uint8_t* data, uint32_t count) {
  int fd = Fd(link);
  if (fd < 0) return 0;
  const auto deadline = Deadline(fd, true, count);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd, data + done, count - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    const int64_t left = MillisecondsLeft(deadline);
    if (left <= 0) break;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
  return done;
}

uint32_t PosixReadLink(LinkHandle link, uint8_t* data, uint32_t count) {
  int fd = Fd(link);
  if (fd < 0) return 0;
  const auto deadline = Deadline(fd, false, count);
  uint32_t done = 0;
  while (done < count) {
    const int64_t left = MillisecondsLeft(deadline);
    if (left < 0) break;
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    ssize_t n = ::read(fd, data + done, count - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      // The far end went away: nothing more will come within this read.
      break;
    }
  }
  return done;
}

void PosixSetLine(LinkHandle link, const LineSettings& s) {
  int fd = Fd(link);
  if (fd < 0) return;
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
  tio.c_cflag |= (s.byteSize == 7 ? CS7 : CS8);
  if (s.parity == kEvenParity) tio.c_cflag |= PARENB;
  if (s.parity == kOddParity) tio.c_cflag |= PARENB | PARODD;
  ::cfsetispeed(&tio, SpeedOf(s.baudRate));
  ::cfsetospeed(&tio, SpeedOf(s.baudRate));
  ::tcsetattr(fd, TCSANOW, &tio);
}

void PosixSetTimeouts(LinkHandle link, const LinkTimeouts& timeouts) {
  int fd = Fd(link);
  if (fd < 0) return;
  std::lock_guard<std::mutex> lock(timeoutsMutex);
  timeoutsByFd[fd] = timeouts;
}

void PosixPurgeInput(LinkHandle link) {
  int fd = Fd(link);
  if (fd >= 0) ::tcflush(fd, TCIFLUSH);
}
