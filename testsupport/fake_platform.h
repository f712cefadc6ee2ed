// A platform for native tests: records what the code under test asks of the operating system,
// and puts a scripted link or a simulated PLC behind every link it opens.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

// What stands behind an open link in a test.
class LinkEndpoint {
 public:
  virtual ~LinkEndpoint() = default;
  virtual uint32_t Write(const uint8_t* data, uint32_t count) = 0;
  // Returns what is there at once, up to count; a short read stands for a read that waited
  // out `timeouts.readTotalTimeoutConstant`.
  virtual uint32_t Read(uint8_t* data, uint32_t count, const LinkTimeouts& timeouts) = 0;
  virtual void SetLine(const LineSettings&) {}
  // Drops what has arrived and not been read.
  virtual void PurgeInput() {}
  virtual void Opened() {}
  virtual void Closed() {}
};

// A link whose answers are scripted read by read.
class ScriptedLink : public LinkEndpoint {
 public:
  // Each Read takes the next scripted reply; none left is silence. A reply longer than the count
  // asked for leaves its rest waiting on the line: the next read takes it first, unless the
  // input is purged before.
  std::deque<std::vector<uint8_t>> replies;
  std::vector<uint8_t> waiting;
  int purges = 0;
  // Each Write reports the next scripted count (capped at the count asked); none left is a full
  // write.
  std::deque<uint32_t> writeCounts;

  std::vector<std::vector<uint8_t>> writes;  // every run of bytes written, in order
  std::vector<uint32_t> readSizes;           // the count asked for by every read
  std::vector<LineSettings> lines;           // every line set-up
  uint64_t waitedMs = 0;                     // time-outs waited out by short reads

  void Reply(const std::string& text) { replies.emplace_back(text.begin(), text.end()); }
  void Reply(std::vector<uint8_t> bytes) { replies.push_back(std::move(bytes)); }
  void Silence(int n = 1) {
    for (int i = 0; i < n; ++i) replies.emplace_back();
  }
  std::string WriteText(size_t i) const { return std::string(writes[i].begin(), writes[i].end()); }

  uint32_t Write(const uint8_t* data, uint32_t count) override;
  uint32_t Read(uint8_t* data, uint32_t count, const LinkTimeouts& timeouts) override;
  void SetLine(const LineSettings& s) override { lines.push_back(s); }
  void PurgeInput() override {
    ++purges;
    waiting.clear();
  }
};

class FakePlatform : public LinkPlatform, public Platform, public BurnWindow {
 public:
  FakePlatform();
  ~FakePlatform() override;

  // Decides what stands behind an opened path; null (the default) makes the open fail. The
  // endpoint is not owned by the platform.
  std::function<LinkEndpoint*(const std::string& path, OpenMode mode)> opener;

  // Device enumeration.
  bool devicesAvailable = true;
  std::vector<PresentDevice> devices;
  bool interfacesAvailable = true;
  std::vector<DeviceInterface> interfaces;

  // Link holds. A test puts here the names another window of the program holds; a hold of one of
  // them, or of a name held already, is refused. Giving back a hold that is not held (twice, or
  // one never taken) fails the test, and so does a hold still held when the platform goes.
  std::set<std::string> heldElsewhere;
  std::set<std::string> HeldLinks() const;  // the names the code under test holds now
  // Called after every hold taken, every hold given back and every look for one, with its name
  // (not with the platform's lock held): a test acts there as another burn would between two
  // steps.
  std::function<void(const std::string& name)> onHoldStep;
  // When not empty, holds are those of this system (lock files, named mutexes) under names that
  // begin with this text, and so hold against other processes; heldElsewhere then counts not.
  std::string systemHoldPrefix;

  // The image the program carries; by default the bytes embedded in the native build.
  bool imageAvailable = true;
  std::vector<uint8_t> image;
  void UseEmbeddedImage();

  // Called for every message box (on the thread that shows it), after it has been recorded.
  std::function<void(const std::string& text, const std::string& caption, MessageIcon icon)>
      onMessage;

  // Everything asked of the platform, in order, as short texts:
  //   "open COM \\.\COM3" / "open USB <path>" / "open failed <path>", "close",
  //   "message ERROR|Error|<text>", "message Information|Information|<text>",
  //   "enable 0" / "enable 1", "kill timer 5", "sleep 2", "image load", "image free".
  std::vector<std::string> Events() const;
  void ClearEvents();
  // Messages only (caption|icon|text), in order.
  std::vector<std::string> Messages() const;
  int OpenLinkCount() const;  // links opened and not yet closed

  LinkHandle OpenLink(const char* path, OpenMode mode) override;
  void CloseLink(LinkHandle link) override;
  uint32_t WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) override;
  uint32_t ReadLink(LinkHandle link, uint8_t* data, uint32_t count) override;
  void SetLine(LinkHandle link, const LineSettings& settings) override;
  void SetTimeouts(LinkHandle link, const LinkTimeouts& timeouts) override;
  void PurgeInput(LinkHandle link) override;
  bool ListPresentDevices(std::vector<PresentDevice>& out) override;
  bool ListDeviceInterfaces(const Guid& interfaceClass, std::vector<DeviceInterface>& out) override;
  LinkHold HoldLink(const char* name) override;
  void ReleaseLink(LinkHold hold) override;
  bool LinkHeld(const char* name) override;
  bool LoadFirmwareImage(const uint8_t** data, uint32_t* size, void** handle) override;
  void FreeFirmwareImage(void* handle) override;
  void ShowMessage(WindowHandle owner, const char* text, const char* caption,
                   MessageIcon icon) override;
  void EnableControl(WindowHandle control, bool enable) override;
  void StopTimer(WindowHandle window, int timerId) override;
  void SleepSeconds(unsigned seconds) override;

  // The time-outs last applied to a link.
  LinkTimeouts lastTimeouts{};

 private:
  struct OpenLinkState {
    LinkEndpoint* endpoint;
    LinkTimeouts timeouts;
    bool open;
  };
  OpenLinkState* Find(LinkHandle link);
  void Record(std::string event);

  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<std::unique_ptr<OpenLinkState>> links_;
  int imageLoadsOutstanding_ = 0;
  std::map<uintptr_t, std::string> holds_;     // by hold, each unique in the process
  std::map<uintptr_t, LinkHold> systemHolds_;  // with systemHoldPrefix: this system's hold of each
};

// Installs a platform and its link for the lifetime of a scope and restores the previous ones.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(FakePlatform& p);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

// Selects a model by catalogue name for a test (fails the test process on an unknown name).
void SelectModelForTest(const char* name);
// Puts every burn-state value back to its program-start value.
void ResetBurnStateForTest();
