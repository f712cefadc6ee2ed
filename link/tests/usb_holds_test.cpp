// Several USB PLCs on one computer: their short names, the choice of one by name, the holds that
// keep burns of one PLC apart whatever the order of their steps, and a burn that follows its own
// device path through the replug.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "core/burn_state.h"
#include "link/ports.h"
#include "testsupport/fake_platform.h"

namespace {

const char kClass[] = "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

std::string PathOf(const std::string& name) {
  return "\\\\?\\usb#vid_fff0&pid_0001#" + name + kClass;
}

const std::string kFirst = PathOf("plc0001");
const std::string kSecond = PathOf("plc0002");

TEST(UsbShortName, IsThePartBetweenTheProductAndTheClass) {
  EXPECT_EQ(UsbShortName(kFirst), "plc0001");
  // A device without a serial number: the instance name Windows gives it by its hub port.
  EXPECT_EQ(UsbShortName(PathOf("5&1a2b3c&0&2")), "5&1a2b3c&0&2");
  EXPECT_EQ(UsbShortName("\\\\?\\usb#vid_fff0&pid_0001#abc"), "abc");  // no class part
  EXPECT_EQ(UsbShortName(PathOf("")), "");
  EXPECT_EQ(UsbShortName("\\\\?\\usb#vid_fff0&pid_0002#abc" + std::string(kClass)), "");
}

TEST(UsbPathsNamed, MatchAnyPartOfThePathLetterCaseAside) {
  const std::vector<std::string> paths = {kFirst, kSecond, PathOf("rig12")};
  EXPECT_EQ(UsbPathsNamed(paths, "PLC0002"), std::vector<std::string>{kSecond});
  EXPECT_EQ(UsbPathsNamed(paths, "Rig1"), std::vector<std::string>{PathOf("rig12")});
  EXPECT_EQ(UsbPathsNamed(paths, "plc000"), (std::vector<std::string>{kFirst, kSecond}));
  EXPECT_EQ(UsbPathsNamed(paths, "pid_0001").size(), 3u);
  EXPECT_TRUE(UsbPathsNamed(paths, "plc0003").empty());
  EXPECT_TRUE(UsbPathsNamed(paths, "").empty());
  EXPECT_TRUE(UsbPathsNamed({}, "plc").empty());
}

class UsbHoldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetBurnStateForTest();
    usbDevicePath.clear();
    usbOtherPathSeen.store(false);
    usbPathNotTaken.clear();
  }
  void TearDown() override {
    platform.onHoldStep = nullptr;
    ReleaseLinkHold();
    usbDevicePath.clear();
    ResetBurnStateForTest();
  }
  std::vector<std::string> Opens() const {
    std::vector<std::string> out;
    for (const std::string& e : platform.Events()) {
      if (e.rfind("open", 0) == 0) out.push_back(e);
    }
    return out;
  }
  FakePlatform platform;
  ScopedPlatform scoped{platform};
};

TEST_F(UsbHoldsTest, ListedDevicesAreTheMatchingPathsInTheirOrder) {
  platform.interfaces = {{true, kSecond},
                         {true, "\\\\?\\usb#vid_1234&pid_0001#x" + std::string(kClass)},
                         {false, ""},
                         {true, "\\\\?\\usb#VID_FFF0&PID_0001#UP" + std::string(kClass)},
                         {true, kFirst}};
  std::vector<std::string> paths;
  ASSERT_TRUE(ListUsbDevicePaths(USB_DRIVER_GUID, paths));
  EXPECT_EQ(paths, (std::vector<std::string>{kSecond, kFirst}));
  platform.interfacesAvailable = false;
  paths.clear();
  EXPECT_FALSE(ListUsbDevicePaths(USB_DRIVER_GUID, paths));
  EXPECT_TRUE(paths.empty());
}

TEST(UsbHoldNames, OneNamePerDeviceApartFromTheSetAndFromEveryPort) {
  const std::string first = UsbDeviceHoldName(kFirst);
  EXPECT_EQ(first, "@usb.usb#vid_fff0&pid_0001#plc0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  EXPECT_EQ(UsbDeviceHoldName("\\\\?\\USB#VID_FFF0&PID_0001#PLC0001" + std::string(kClass)), first);
  EXPECT_NE(UsbDeviceHoldName(kSecond), first);
  EXPECT_NE(first, kUsbHoldName);
  EXPECT_EQ(UsbSlotHoldName(0), "@usb#0");
  EXPECT_EQ(UsbSlotHoldName(kUsbSlots - 1), "@usb#31");
  const std::string longPath = PathOf(std::string(300, 'x'));
  EXPECT_EQ(UsbDeviceHoldName(longPath).size(), 160u);
  EXPECT_NE(UsbDeviceHoldName(longPath), UsbDeviceHoldName(longPath + "y"));
}

struct Pair {
  const char* what;
  std::string first, second;
  bool bothIn;
};

TEST_F(UsbHoldsTest, SetAndDeviceBurnsKeepApartWhatCouldMeetOnOnePlc) {
  const std::string one = UsbDeviceHoldName(kFirst), two = UsbDeviceHoldName(kSecond);
  const Pair pairs[] = {
      {"set, then set", kUsbHoldName, kUsbHoldName, false},
      {"set, then a device", kUsbHoldName, one, false},
      {"a device, then the set", one, kUsbHoldName, false},
      {"a device, then the same", one, one, false},
      {"a device, then another", one, two, true},
      {"a device, then a COM port", one, "com5", true},
      {"the set, then a COM port", kUsbHoldName, "com5", true},
  };
  for (const Pair& p : pairs) {
    SCOPED_TRACE(p.what);
    LinkHolds a, b;
    ASSERT_EQ(TakeLinkHolds(p.first, a), HoldTaken::kNow);
    EXPECT_EQ(TakeLinkHolds(p.second, b), p.bothIn ? HoldTaken::kNow : HoldTaken::kRefused);
    // A refused burn keeps nothing.
    if (!p.bothIn) {
      EXPECT_EQ(b.link, nullptr);
    }
    GiveBackLinkHolds(b);
    GiveBackLinkHolds(a);
    EXPECT_TRUE(platform.HeldLinks().empty());
    // Once the first has ended, the second gets in.
    ASSERT_EQ(TakeLinkHolds(p.second, b), HoldTaken::kNow);
    GiveBackLinkHolds(b);
  }
  // Eight device burns side by side, each with a slot of its own; the set then refused.
  std::vector<LinkHolds> rig(8);
  for (size_t i = 0; i < rig.size(); ++i) {
    ASSERT_EQ(TakeLinkHolds(UsbDeviceHoldName(PathOf("s" + std::to_string(i))), rig[i]),
              HoldTaken::kNow);
  }
  EXPECT_EQ(platform.HeldLinks().count(UsbSlotHoldName(7)), 1u);
  LinkHolds set;
  EXPECT_EQ(TakeLinkHolds(kUsbHoldName, set), HoldTaken::kRefused);
  for (LinkHolds& h : rig) GiveBackLinkHolds(h);
  EXPECT_EQ(TakeLinkHolds(kUsbHoldName, set), HoldTaken::kNow);
  GiveBackLinkHolds(set);
}

TEST_F(UsbHoldsTest, AnEarlierVersionsSetHoldAndEveryTakenSlotRefuseTheOtherKind) {
  // A window of an earlier version holds the set by its name only.
  platform.heldElsewhere = {kUsbHoldName};
  LinkHolds holds;
  EXPECT_EQ(TakeLinkHolds(UsbDeviceHoldName(kFirst), holds), HoldTaken::kRefused);
  EXPECT_TRUE(platform.HeldLinks().empty());
  // Whichever slot a device burn elsewhere holds, the set is refused.
  platform.heldElsewhere = {UsbSlotHoldName(kUsbSlots - 1)};
  EXPECT_EQ(TakeLinkHolds(kUsbHoldName, holds), HoldTaken::kRefused);
  // Every slot taken: one device burn too many is refused, and keeps nothing.
  platform.heldElsewhere.clear();
  for (int s = 0; s < kUsbSlots; ++s) platform.heldElsewhere.insert(UsbSlotHoldName(s));
  EXPECT_EQ(TakeLinkHolds(UsbDeviceHoldName(kFirst), holds), HoldTaken::kRefused);
  EXPECT_TRUE(platform.HeldLinks().empty());
}

// Two burns that start at once: the second runs all its steps between two steps of the first,
// at every point where the first takes, gives back or looks for a hold. Two that could meet on
// one PLC never both get in; two of different PLCs always do.
TEST_F(UsbHoldsTest, TwoBurnsStartingAtOnceNeverBothGetIn) {
  const std::string one = UsbDeviceHoldName(kFirst);
  const Pair races[] = {
      {"a device burn, the set burn between its steps", one, kUsbHoldName, false},
      {"the set burn, a device burn between its steps", kUsbHoldName, one, false},
      {"a device burn, one of the same device between its steps", one, one, false},
      {"the set burn, another between its steps", kUsbHoldName, kUsbHoldName, false},
      {"a device burn, one of another device between its steps", one, UsbDeviceHoldName(kSecond),
       true},
  };
  for (const Pair& race : races) {
    SCOPED_TRACE(race.what);
    for (int point = 0;; ++point) {
      SCOPED_TRACE("after step " + std::to_string(point));
      LinkHolds a, b;
      HoldTaken second = HoldTaken::kRefused;
      int steps = 0;
      bool ran = false;
      platform.onHoldStep = [&](const std::string&) {
        if (steps++ != point || ran) return;
        ran = true;
        second = TakeLinkHolds(race.second, b);
      };
      const HoldTaken first = TakeLinkHolds(race.first, a);
      platform.onHoldStep = nullptr;
      if (!ran) {
        GiveBackLinkHolds(a);
        EXPECT_GT(point, 2);
        break;
      }
      if (race.bothIn) {
        EXPECT_EQ(first, HoldTaken::kNow);
        EXPECT_EQ(second, HoldTaken::kNow);
        EXPECT_EQ(platform.HeldLinks().size(), 4u);  // two devices, two slots
      } else {
        // One of them, and only one: a refused burn leaves nothing that refuses the other.
        EXPECT_NE(first == HoldTaken::kNow, second == HoldTaken::kNow);
        // What is held is the holds of the one that got in, and nothing of the other.
        std::set<std::string> expected;
        for (const LinkHolds* h : {&a, &b}) {
          if (h->link == nullptr) continue;
          expected.insert(h->name);
          if (h->slot != nullptr) expected.insert(UsbSlotHoldName(0));
        }
        EXPECT_EQ(platform.HeldLinks(), expected);
      }
      GiveBackLinkHolds(a);
      GiveBackLinkHolds(b);
    }
  }
}

// Holds of this system (lock files) in child processes: a process that dies gives them back.
class DeadBurnTest : public UsbHoldsTest {
 protected:
  void SetUp() override {
    UsbHoldsTest::SetUp();
    platform.systemHoldPrefix = "test" + std::to_string(getpid()) + ".";
  }
  void TearDown() override {
    UsbHoldsTest::TearDown();
    for (const std::string& name : touched) {
      std::remove(("/tmp/morvex-link-" + platform.systemHoldPrefix + name + ".lock").c_str());
    }
  }
  // A child that takes the holds of `name` and says so, then waits to be killed; its pid, or -1
  // when it did not get in.
  pid_t HoldingChild(const std::string& name) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
      LinkHolds holds;
      const char in = TakeLinkHolds(name, holds) == HoldTaken::kNow ? 'y' : 'n';
      if (write(ready[1], &in, 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char in = 'n';
    const bool told = read(ready[0], &in, 1) == 1;
    close(ready[0]);
    if (told && in == 'y') return child;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
  }
  std::vector<std::string> touched = {kUsbHoldName, UsbDeviceHoldName(kFirst)};

  DeadBurnTest() {
    for (int s = 0; s < kUsbSlots; ++s) touched.push_back(UsbSlotHoldName(s));
  }
};

TEST_F(DeadBurnTest, AKilledBurnsHoldsAreGivenBack) {
  for (const bool deviceDies : {true, false}) {
    SCOPED_TRACE(deviceDies ? "a device burn killed" : "the set burn killed");
    const std::string dying = deviceDies ? UsbDeviceHoldName(kFirst) : kUsbHoldName;
    const std::string waiting = deviceDies ? kUsbHoldName : UsbDeviceHoldName(kFirst);
    const pid_t child = HoldingChild(dying);
    ASSERT_GT(child, 0);
    LinkHolds holds;
    EXPECT_EQ(TakeLinkHolds(waiting, holds), HoldTaken::kRefused);
    EXPECT_EQ(TakeLinkHolds(dying, holds), HoldTaken::kRefused);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(TakeLinkHolds(waiting, holds), HoldTaken::kNow);
    GiveBackLinkHolds(holds);
  }
}

class ChosenDeviceTest : public UsbHoldsTest {
 protected:
  void SetUp() override {
    UsbHoldsTest::SetUp();
    platform.opener = [this](const std::string&, OpenMode mode) {
      return mode == OpenMode::UsbDevice ? &device : nullptr;
    };
  }
  ScriptedLink device;
};

TEST_F(ChosenDeviceTest, TheChosenPathIsOpenedWhereverItStandsInTheList) {
  platform.interfaces = {{true, kFirst}, {true, kSecond}};
  usbDevicePath = kSecond;
  LinkHandle h = OpenMyDevPipe("");
  ASSERT_NE(h, INVALID_LINK_HANDLE);
  platform.CloseLink(h);
  EXPECT_EQ(Opens(),
            (std::vector<std::string>{"open USB " + kSecond, "open USB " + kSecond + "\\"}));
  EXPECT_EQ(platform.HeldLinks(),
            (std::set<std::string>{UsbDeviceHoldName(kSecond), UsbSlotHoldName(0)}));
  // The first device stays free to another burn, the set does not.
  LinkHolds other;
  EXPECT_EQ(TakeLinkHolds(UsbDeviceHoldName(kFirst), other), HoldTaken::kNow);
  GiveBackLinkHolds(other);
  EXPECT_EQ(TakeLinkHolds(kUsbHoldName, other), HoldTaken::kRefused);
  EXPECT_FALSE(usbOtherPathSeen.load());
}

TEST_F(ChosenDeviceTest, ThroughTheReplugOnlyItsOwnPathIsTaken) {
  platform.interfaces = {{true, kFirst}};
  usbDevicePath = kFirst;
  LinkHandle h = OpenMyDevPipe("");
  ASSERT_NE(h, INVALID_LINK_HANDLE);
  platform.CloseLink(h);
  const std::set<std::string> held = platform.HeldLinks();
  // Replugged into another socket: back under another path, which this burn does not take.
  platform.ClearEvents();
  platform.interfaces = {{true, kSecond}};
  EXPECT_EQ(OpenMyDevPipe(""), INVALID_LINK_HANDLE);
  EXPECT_TRUE(Opens().empty());
  EXPECT_TRUE(usbOtherPathSeen.load());
  EXPECT_EQ(usbPathNotTaken, kSecond);
  EXPECT_EQ(platform.HeldLinks(), held);  // the burn still owns its PLC
  // Back in its own socket (a path listed in other letter case is the same path).
  platform.interfaces = {{true, kSecond},
                         {true, "\\\\?\\usb#vid_fff0&pid_0001#PLC0001" + std::string(kClass)}};
  h = OpenMyDevPipe("");
  ASSERT_NE(h, INVALID_LINK_HANDLE);
  platform.CloseLink(h);
  EXPECT_EQ(Opens().back(), "open USB " + kFirst + "\\");
  EXPECT_EQ(platform.HeldLinks(), held);
}

TEST_F(ChosenDeviceTest, AHeldOrMissingDeviceOpensNothingAndKeepsNothing) {
  platform.interfaces = {{true, kFirst}};
  usbDevicePath = kFirst;
  platform.heldElsewhere = {UsbDeviceHoldName(kFirst)};
  EXPECT_EQ(OpenMyDevPipe(""), INVALID_LINK_HANDLE);
  platform.heldElsewhere = {kUsbHoldName};
  EXPECT_EQ(OpenMyDevPipe(""), INVALID_LINK_HANDLE);
  platform.heldElsewhere.clear();
  platform.interfaces.clear();
  EXPECT_EQ(OpenMyDevPipe(""), INVALID_LINK_HANDLE);
  EXPECT_FALSE(usbOtherPathSeen.load());  // nothing else there either
  platform.interfacesAvailable = false;
  EXPECT_EQ(OpenMyDevPipe(""), INVALID_LINK_HANDLE);
  EXPECT_TRUE(Opens().empty());
  EXPECT_TRUE(platform.HeldLinks().empty());
}

}  // namespace
