// Runs under wine against plcsim on a pseudo-terminal that the prefix knows as a COM port
// (platform/tests/win32_link_test.sh prepares both): the Win32 serial link carries a probe, an
// identity check, the hand-over and a short transfer; and the link holds.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "core/image.h"
#include "link/loader.h"
#include "link/monitor.h"
#include "link/ports.h"
#include "link/transfer.h"

namespace {

// Set by the script: the port plcsim answers on ("COM23"), and the image length to burn.
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class Win32LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = Env("MORVEX_TEST_PORT");
    ASSERT_FALSE(port.empty()) << "run through win32_link_test.sh";
    ASSERT_TRUE(SelectPLCByName(Env("MORVEX_TEST_MODEL").c_str()));
    link = OpenComLink(port.c_str());
    ASSERT_NE(link, INVALID_LINK_HANDLE) << "CANNOT open " << port << " Port!!!";
    hSerial = link;
  }
  void TearDown() override {
    if (link != INVALID_LINK_HANDLE) LinkPlat().CloseLink(link);
    CloseFile();
  }
  std::string port;
  LinkHandle link = INVALID_LINK_HANDLE;
};

TEST_F(Win32LinkTest, ProbeIdentityHandOverAndAShortTransfer) {
  DummyComm(link);
  ASSERT_EQ(ConfirmComm(link), kMonitorMode);
  ASSERT_EQ(CheckID_A(link), kResultOk);
  ASSERT_EQ(SendErase_A(link), kResultOk);
  EXPECT_EQ(errCounter.load(), 0);

  DummyComm(link);
  ASSERT_EQ(ConfirmComm(link), kLoaderMode);
  ASSERT_EQ(CheckID_B(link), 0);
  ASSERT_TRUE(LoadFirmware());
  fileLength = static_cast<uint32_t>(std::stoul(Env("MORVEX_TEST_LENGTH")));
  ASSERT_EQ(SendErase_B(link), 0);
  ASSERT_EQ(SendUpdate(link), 0);
  EXPECT_EQ(SendFW(link), 0);
  EXPECT_EQ(progress.load(), 100);
  EXPECT_EQ(totalErrCounter.load(), 0);
}

TEST(Win32Link, AMissingPortDoesNotOpen) {
  EXPECT_EQ(OpenComLink("COM250"), INVALID_LINK_HANDLE);
}

TEST(Win32Link, AHeldLinkIsRefusedInEverySessionUntilItIsGivenBack) {
  Platform& p = ThisSystem();
  const LinkHold first = p.HoldLink("com251");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(p.HoldLink("com251"), nullptr);
  // Held where every logon session looks, not in this session's own namespace.
  HANDLE seen = OpenMutexA(SYNCHRONIZE, FALSE, "Global\\MorvexPlcLink.com251");
  EXPECT_NE(seen, nullptr);
  if (seen != nullptr) CloseHandle(seen);
  const LinkHold other = p.HoldLink(kUsbHoldName);
  EXPECT_NE(other, nullptr);
  p.ReleaseLink(first);
  const LinkHold again = p.HoldLink("com251");
  EXPECT_NE(again, nullptr);
  p.ReleaseLink(again);
  p.ReleaseLink(other);
  // An object of another kind under the name cannot be the hold: refused all the same.
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "Global\\MorvexPlcLink.com252");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(p.HoldLink("com252"), nullptr);
  CloseHandle(event);
}

}  // namespace
