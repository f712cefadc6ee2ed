// One whole burn over a real pseudo-terminal: StartBurn on a worker thread, the POSIX serial link,
// and the plcsim program on the far side, with real time-outs and real waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/burn_state.h"
#include "platform/posix_serial.h"
#include "testsupport/fake_platform.h"
#include "update/driver.h"

namespace {

// The test platform with the link on a real device: "\\.\COM5" is the pty plcsim serves.
class PtyPlatform : public FakePlatform {
 public:
  std::string comPath;  // the device-namespace name the driver opens
  std::string ptyPath;
  int opens = 0;  // of the pty; read after the burn thread has been joined
  int closes = 0;

  LinkHandle OpenLink(const char* path, OpenMode mode) override {
    if (mode != OpenMode::ComPort || comPath != path) return FakePlatform::OpenLink(path, mode);
    ++opens;
    return PosixOpenLink(ptyPath.c_str());
  }
  void CloseLink(LinkHandle link) override {
    ++closes;
    PosixCloseLink(link);
  }
  uint32_t WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) override {
    return PosixWriteLink(link, data, count);
  }
  uint32_t ReadLink(LinkHandle link, uint8_t* data, uint32_t count) override {
    return PosixReadLink(link, data, count);
  }
  void SetLine(LinkHandle link, const LineSettings& s) override { PosixSetLine(link, s); }
  void SetTimeouts(LinkHandle link, const LinkTimeouts& t) override { PosixSetTimeouts(link, t); }
  void PurgeInput(LinkHandle link) override { PosixPurgeInput(link); }
  void SleepSeconds(unsigned seconds) override {
    FakePlatform::SleepSeconds(seconds);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
  }
};

// plcsim as a child process; its first line on standard output is the pty to open.
class PlcsimProcess {
 public:
  bool Start(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0) return false;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(PLCSIM_PROGRAM));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(PLCSIM_PROGRAM, argv.data());
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

  // Waits for the simulator to end by itself; stops it after `seconds` otherwise.
  int Wait(int seconds) {
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

  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  ~PlcsimProcess() {
    Stop();
    if (out_ != nullptr) std::fclose(out_);
  }

  const std::string& ptyPath() const { return ptyPath_; }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  std::string ptyPath_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(PtyBurnTest, ComModelBurnsOverARealLineWithARealTimeOut) {
  ResetBurnStateForTest();
  PtyPlatform platform;
  ScopedPlatform scoped(platform);
  SelectModelForTest("KL2-G-V4");
  SetSelectedComPort("COM5");
  platform.comPath = "\\\\.\\COM5";

  constexpr uint32_t kLength = 6000;  // 47 blocks of 128 bytes, the last with fill
  platform.image.resize(kLength);
  for (uint32_t i = 0; i < kLength; ++i) platform.image[i] = static_cast<uint8_t>(i * 31 + 7);

  char dir[] = "/tmp/update-pty-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string report = std::string(dir) + "/report.json";
  const std::string flash = std::string(dir) + "/flash.bin";

  PlcsimProcess sim;
  // This firmware does not answer the erase request: the tool waits out its 3,000 ms read
  // time-out, takes the silence as accepted, and the PLC restarts into its boot loader when the
  // tool closes the port for the power cycle.
  ASSERT_TRUE(
      sim.Start({"--model", "KL2-G-V4/silent-erase", "--report", report, "--flash-out", flash,
                 "--image-length", std::to_string(kLength), "--exit-after", "end", "--quiet"}));
  platform.ptyPath = sim.ptyPath();

  BurnParam param{reinterpret_cast<WindowHandle>(1), reinterpret_cast<WindowHandle>(2)};
  const auto start = std::chrono::steady_clock::now();
  std::thread worker(StartBurn, &param);
  worker.join();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(sim.Wait(10), 0);

  EXPECT_EQ(
      platform.Messages(),
      (std::vector<std::string>{
          "Information|Information|Please POWER OFF=>ON the PLC, and then press OK to continue",
          "INFORMATION|Information|Firmware update is SUCCESSFUL"}));
  // The port was closed for the power cycle and opened again by its name.
  EXPECT_EQ(platform.opens, 2);
  EXPECT_EQ(platform.closes, 2);
  // The silent erase request cost one whole read time-out, and the hand-over its two seconds.
  EXPECT_GE(took, std::chrono::milliseconds(5000));
  EXPECT_EQ(totalErrCounter.load(), 0);
  EXPECT_FALSE(burnRunning.load());

  std::string expected(platform.image.begin(), platform.image.end());
  expected.resize((kLength + 127) / 128 * 128, '\x1A');
  EXPECT_TRUE(ReadFile(flash) == expected) << "the flash differs from the image";
  EXPECT_NE(ReadFile(report).find("\"complete\""), std::string::npos) << ReadFile(report);

  ::unlink(report.c_str());
  ::unlink(flash.c_str());
  ::rmdir(dir);
  ResetBurnStateForTest();
}

}  // namespace
