#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>

#include "console/os.h"

namespace {

// The process group of the last prompt command (its leader's pid), 0 before any.
std::atomic<pid_t> commandGroup{0};

}  // namespace

bool StdinIsTerminal() {
  return ::isatty(STDIN_FILENO) == 1;
}

bool StdoutIsTerminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

AppendFile::~AppendFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool AppendFile::Open(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  handle_ = fd;
  return true;
}

bool AppendFile::IsOpen() const {
  return handle_ >= 0;
}

bool AppendFile::WriteLine(const std::string& line) {
  const int fd = static_cast<int>(handle_);
  const std::string whole = line + "\n";
  ssize_t n;
  do {
    n = ::write(fd, whole.data(), whole.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(whole.size())) return true;
  if (n > 0) {
    // A line cut short (a full disk) is taken back, so that the file holds whole lines only:
    // with O_APPEND the offset is the end of this write.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end >= n && ::ftruncate(fd, end - n) != 0) {
      // Nothing more to do: the caller reports the record as not written.
    }
  }
  return false;
}

int RunCommand(const std::string& command, unsigned timeoutSeconds) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // A group of its own, so that everything the command starts ends with the burn.
    ::setpgid(0, 0);
    // The command gets the signals this process keeps for its interrupt thread.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Nor does it inherit this process's indifference to a reader that goes away.
    ::signal(SIGPIPE, SIG_DFL);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // also here: the group exists whichever of the two runs first
  commandGroup.store(pid);
  const double deadline = MonotonicSeconds() + timeoutSeconds;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return -1;
    if (MonotonicSeconds() >= deadline) {
      EndCommands();
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return kCommandTimedOut;
    }
    SleepMs(20);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void EndCommands() {
  const pid_t group = commandGroup.load();
  if (group > 0) ::kill(-group, SIGKILL);
}

void DiscardPendingInput() {
  ::tcflush(STDIN_FILENO, TCIFLUSH);
}

void WriteStandardOutput(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a reader that went away: the burn goes on without output
    done += static_cast<size_t>(n);
  }
}

std::string NameToUtf8(const std::string& name) {
  return name;
}

std::vector<std::string> ListSerialPorts() {
  // The terminals that stand for a serial device: USB adapters, ACM devices and the built-in
  // UARTs whose port type is known (the kernel lists ttyS0 to ttyS31 whether there is one or not).
  std::vector<std::string> names;
  if (DIR* dir = ::opendir("/sys/class/tty")) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      const std::string sys = "/sys/class/tty/" + name;
      struct stat st;
      if (name[0] == '.' || ::stat((sys + "/device").c_str(), &st) != 0) continue;
      if (name.rfind("ttyS", 0) == 0) {
        std::ifstream type(sys + "/type");
        int t = 0;
        if (!(type >> t) || t == 0) continue;
      }
      if (::stat(("/dev/" + name).c_str(), &st) == 0) names.push_back("/dev/" + name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> ports;
  for (const std::string& device : names) {
    std::string line = device;
    const std::string byId = "/dev/serial/by-id";
    if (DIR* dir = ::opendir(byId.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char target[PATH_MAX];
        const std::string link = byId + "/" + entry->d_name;
        if (::realpath(link.c_str(), target) != nullptr && device == target) line += "  " + link;
      }
      ::closedir(dir);
    }
    ports.push_back(line);
  }
  return ports;
}

void OnInterrupt(void (*handler)()) {
  // Blocked in every thread, and taken by one that waits for them: the handler is then an
  // ordinary function, free to print and to write the record.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A reader of the output that goes away does not end the burn.
  ::signal(SIGPIPE, SIG_IGN);
  std::thread([set, handler] {
    int signal = 0;
    while (::sigwait(&set, &signal) != 0) {
    }
    handler();
  }).detach();
}

void EndProcess(int code) {
  EndCommands();
  // Standard output goes by the output thread only: flushing it here could wait for a paused
  // terminal.
  std::fflush(stderr);
  ::_exit(code);
}

bool ResolveDevicePath(const std::string& given, std::string& path, std::string& error) {
  char resolved[PATH_MAX];
  struct stat info;
  if (::realpath(given.c_str(), resolved) == nullptr || ::stat(resolved, &info) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (!S_ISCHR(info.st_mode)) {
    error = "not a serial port (no character device)";
    return false;
  }
  // A character device that is no terminal (/dev/null) takes no line settings and never answers.
  const int fd = ::open(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const bool terminal = fd >= 0 && ::isatty(fd) == 1;
  if (fd >= 0) ::close(fd);
  if (!terminal) {
    error = fd < 0 ? std::strerror(errno) : "not a serial port (no terminal)";
    return false;
  }
  path = resolved;
  return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestImageFile;
  if (ok) bytes.resize(static_cast<size_t>(info.st_size));
  size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ::close(fd);
  return ok;
}

double MonotonicSeconds() {
  timespec now = {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void SleepMs(unsigned ms) {
  ::usleep(ms * 1000u);
}
