#include "testsupport/plcsim_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

PlcsimProcess::~PlcsimProcess() {
  Stop();
  if (out_ != nullptr) std::fclose(out_);
}

bool PlcsimProcess::Start(const std::vector<std::string>& args) {
  int out[2];
  if (::pipe(out) != 0) return false;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program_.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(program_.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  if (pid_ < 0) {
    ::close(out[0]);
    return false;
  }
  out_ = ::fdopen(out[0], "r");
  char line[256] = {};
  if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr) return false;
  ptyPath_ = line;
  while (!ptyPath_.empty() && (ptyPath_.back() == '\n' || ptyPath_.back() == '\r')) {
    ptyPath_.pop_back();
  }
  return !ptyPath_.empty();
}

int PlcsimProcess::Wait(int seconds) {
  for (int i = 0; i < seconds * 10 && pid_ > 0; ++i) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Stop();
  return -1;
}

void PlcsimProcess::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}
