// One whole burn over a real pseudo-terminal: StartBurn on a worker thread, the POSIX serial link,
// and the plcsim program on the far side, with real time-outs and real waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/burn_state.h"
#include "platform/posix_serial.h"
#include "testsupport/fake_platform.h"
#include "testsupport/plcsim_process.h"
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

  PlcsimProcess sim(PLCSIM_PROGRAM);
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
