#include <windows.h>
// After windows.h: the C runtime's terminal test.
#include <io.h>

#include <atomic>
#include <cstdio>

#include "console/os.h"

namespace {

void (*interruptHandler)() = nullptr;

// The job of the prompt commands: ended with the burn, and with this process's last handle to it.
std::atomic<HANDLE> commandJob{nullptr};

HANDLE CommandJob() {
  if (commandJob.load() == nullptr) {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    commandJob.store(job);
  }
  return commandJob.load();
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  if (interruptHandler != nullptr) interruptHandler();
  return TRUE;
}

HANDLE H(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

bool StdinIsTerminal() {
  return _isatty(_fileno(stdin)) != 0;
}

bool StdoutIsTerminal() {
  return _isatty(_fileno(stdout)) != 0;
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return std::string();
  return std::string(name, size < sizeof name ? size : sizeof name - 1);
}

AppendFile::~AppendFile() {
  if (handle_ != -1) CloseHandle(H(handle_));
}

bool AppendFile::Open(const std::string& path, std::string& error) {
  // Append access alone: every write goes to the end of the file as it is then.
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    char reason[32];
    std::snprintf(reason, sizeof reason, "error %lu", static_cast<unsigned long>(GetLastError()));
    error = reason;
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

bool AppendFile::IsOpen() const {
  return handle_ != -1;
}

bool AppendFile::WriteLine(const std::string& line) {
  const std::string whole = line + "\r\n";
  DWORD written = 0;
  return WriteFile(H(handle_), whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr) &&
         written == whole.size();
}

int RunCommand(const std::string& command, unsigned timeoutSeconds) {
  // The command line as a program and its arguments, with nothing of this process handed down:
  // a command that wants the shell's own commands says "cmd /c". It starts suspended, so that it
  // is in the job before it can start anything of its own.
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  HANDLE job = CommandJob();
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &process)) {
    return -1;
  }
  if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  const DWORD waited = WaitForSingleObject(process.hProcess, timeoutSeconds * 1000u);
  int result;
  if (waited == WAIT_TIMEOUT) {
    EndCommands();
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    result = kCommandTimedOut;
  } else if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &code)) {
    result = -1;
  } else {
    result = static_cast<int>(code);
  }
  CloseHandle(process.hProcess);
  return result;
}

void EndCommands() {
  HANDLE job = commandJob.load();
  if (job != nullptr) TerminateJobObject(job, 1);
}

void DiscardPendingInput() {
  FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
}

void WriteStandardOutput(const std::string& lines) {
  // Line ends as the C runtime's text mode writes them.
  std::string text;
  for (const char c : lines) {
    if (c == '\n') text += '\r';
    text += c;
  }
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    if (!WriteFile(out, text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr) ||
        n == 0) {
      return;
    }
    done += n;
  }
}

std::string NameToUtf8(const std::string& name) {
  if (name.empty()) return name;
  const int wide =
      MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  if (wide <= 0) return name;
  std::vector<wchar_t> w(static_cast<size_t>(wide));
  MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), w.data(), wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return name;
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &utf8[0], bytes, nullptr, nullptr);
  return utf8;
}

std::vector<std::string> ListSerialPorts() {
  return {};  // the burn's platform lists the COM ports
}

void OnInterrupt(void (*handler)()) {
  interruptHandler = handler;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void EndProcess(int code) {
  EndCommands();
  std::fflush(stderr);
  // At once, as _exit: no clean-up of the program's own objects runs while another thread of
  // the burn may still use them.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  ExitProcess(static_cast<UINT>(code));
}

bool ResolveDevicePath(const std::string& given, std::string& path, std::string&) {
  path = given;
  return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD high = 0;
  const DWORD size = GetFileSize(file, &high);
  bool ok = size != INVALID_FILE_SIZE && high == 0 && size <= kLargestImageFile;
  if (ok) bytes.resize(size);
  DWORD done = 0;
  while (ok && done < size) {
    DWORD n = 0;
    ok = ReadFile(file, bytes.data() + done, size - done, &n, nullptr) && n > 0;
    done += n;
  }
  CloseHandle(file);
  return ok;
}

double MonotonicSeconds() {
  return static_cast<double>(GetTickCount64()) / 1000.0;
}

void SleepMs(unsigned ms) {
  Sleep(ms);
}
