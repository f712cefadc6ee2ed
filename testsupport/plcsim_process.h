// The plcsim program as a child process on a pseudo-terminal of its own, for tests over a real
// line: its first line on standard output names the terminal to open.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

class PlcsimProcess {
 public:
  explicit PlcsimProcess(std::string program) : program_(std::move(program)) {}
  ~PlcsimProcess();
  PlcsimProcess(const PlcsimProcess&) = delete;
  PlcsimProcess& operator=(const PlcsimProcess&) = delete;

  // Starts plcsim with `args`; true once it has named its terminal.
  bool Start(const std::vector<std::string>& args);
  // Waits for the simulator to end by itself; stops it after `seconds` otherwise.
  int Wait(int seconds);
  void Stop();

  const std::string& ptyPath() const { return ptyPath_; }

 private:
  std::string program_;
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  std::string ptyPath_;
};
