#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "console/os.h"

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
  const std::string whole = line + "\n";
  ssize_t n;
  do {
    n = ::write(static_cast<int>(handle_), whole.data(), whole.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(whole.size());
}

int RunCommand(const std::string& command) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // The command gets the signals this process keeps for its interrupt thread.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Nor does it inherit this process's indifference to a reader that goes away.
    ::signal(SIGPIPE, SIG_DFL);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void OnInterrupt(void (*handler)()) {
  // Blocked in every thread, and taken by one that waits for them: the handler is then an
  // ordinary function, free to print and to write the record.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
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
  std::fflush(stdout);
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
