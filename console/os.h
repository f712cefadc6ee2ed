// What the console program asks of the operating system beyond the burn's platform: terminals,
// the record file, the host name, the prompt commands, Ctrl-C and the end of the process. One
// file per system: os_posix.cpp, os_win32.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

bool StdinIsTerminal();
bool StdoutIsTerminal();

std::string HostName();

// The record file, opened for appending. A line goes out in one write of the whole line to the
// end of the file, so lines of burns that share the file never mix.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // False, with the reason in `error`, when the file cannot be opened or created.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const;
  // Writes `line` and a line end; false when it did not go out whole.
  bool WriteLine(const std::string& line);

 private:
  intptr_t handle_ = -1;
};

// Runs `command` and waits for it at most `timeoutSeconds`: through the shell (sh -c) in a process
// group of its own on POSIX systems, as a program and its arguments in a job of its own on
// Windows. Returns its exit status, -1 when it could not be run or did not exit by itself, or
// kCommandTimedOut when it was still running at the time-out (it is then ended).
constexpr int kCommandTimedOut = -2;
int RunCommand(const std::string& command, unsigned timeoutSeconds);

// Ends whatever is left of the commands RunCommand started (their group, their job).
void EndCommands();

// Drops what was typed ahead on a terminal, so that only an answer given after a prompt counts.
void DiscardPendingInput();

// Calls `handler` on its own thread on Ctrl-C (and, natively, on SIGTERM and SIGHUP); the handler
// ends the process. Called before any other thread is started.
void OnInterrupt(void (*handler)());

// Ends the process at once with `code`, after ending the commands: what the process holds (the
// link, its hold) goes with it, as when the window is closed. Standard output is not waited for
// here (see FlushOutput).
[[noreturn]] void EndProcess(int code);

// Writes to standard output, blocking while it is paused: only the output thread calls it.
void WriteStandardOutput(const std::string& text);

// A name from the system (a file name, a port) as UTF-8: on Windows it comes in the code page of
// the process.
std::string NameToUtf8(const std::string& name);

// The serial ports present on this system, each with its other names (/dev/serial/by-id/...),
// for --list; empty where the burn's platform lists them itself.
std::vector<std::string> ListSerialPorts();

// The largest image file read: far above every model's limit, and small enough for a 32-bit
// process to hold.
constexpr uint32_t kLargestImageFile = 64u << 20;

// The whole of a file; false when it cannot be read or is larger than kLargestImageFile.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

// Seconds on a clock that only goes forward, and a wait of `ms` milliseconds.
double MonotonicSeconds();
void SleepMs(unsigned ms);

// The device a port path names, as a canonical path; false, with the reason, when there is none
// or it is no terminal.
bool ResolveDevicePath(const std::string& given, std::string& path, std::string& error);
