#include "console/report.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <thread>

#include "console/os.h"
#include "console/outcome.h"
#include "core/burn_state.h"
#include "update/endings.h"

namespace {

const char* PhaseName(int phase) {
  switch (phase) {
    case kFlashErasing:
      return "Erasing";
    case kFlashProgramming:
      return "Programming";
    default:
      return "Idle";
  }
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

std::string Counters(int errors, int total) {
  return "\"errors\":" + std::to_string(errors) + ",\"total_errors\":" + std::to_string(total);
}

// The queue of the output thread. Never destroyed: the process ends by _exit, with the thread
// possibly still blocked in a write.
struct OutputQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::condition_variable drained;
  std::string pending;
  bool writing = false;
};

OutputQueue& Queue() {
  static OutputQueue* queue = [] {
    OutputQueue* q = new OutputQueue;
    std::thread([q] {
      std::unique_lock<std::mutex> lock(q->mutex);
      for (;;) {
        q->ready.wait(lock, [q] { return !q->pending.empty(); });
        std::string text;
        text.swap(q->pending);
        q->writing = true;
        lock.unlock();
        WriteStandardOutput(text);
        lock.lock();
        q->writing = false;
        q->drained.notify_all();
      }
    }).detach();
    return q;
  }();
  return *queue;
}

// The length of the UTF-8 character at `s[i]`, or 0 when the bytes there are none.
size_t Utf8Length(const std::string& s, size_t i) {
  const unsigned char u = static_cast<unsigned char>(s[i]);
  const size_t n = u >= 0xF0 && u <= 0xF4 ? 4 : u >= 0xE0 ? 3 : u >= 0xC2 && u < 0xE0 ? 2 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  const unsigned char next = static_cast<unsigned char>(s[i + 1]);
  // Neither an overlong form nor a surrogate nor past U+10FFFF.
  if ((u == 0xE0 && next < 0xA0) || (u == 0xED && next >= 0xA0) || (u == 0xF0 && next < 0x90) ||
      (u == 0xF4 && next >= 0x90)) {
    return 0;
  }
  return n;
}

}  // namespace

void Out(const std::string& text) {
  OutputQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mutex);
  q.pending += text;
  q.ready.notify_one();
}

void FlushOutput(unsigned ms) {
  OutputQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.mutex);
  q.drained.wait_for(lock, std::chrono::milliseconds(ms),
                     [&q] { return q.pending.empty() && !q.writing; });
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u >= 0x80 && Utf8Length(text, i) > 0) {
      const size_t n = Utf8Length(text, i);
      out += text.substr(i, n);
      i += n - 1;
    } else if (u < 0x20 || u >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string IdentityJson() {
  const PlcIdentity& id = burnDetail.identity;
  if (id.mode == PlcMode::kUnknown && !id.modelIdRead) return "null";
  std::string json = std::string("{\"mode\":\"") + PlcModeName(id.mode) +
                     "\",\"model_id\":" + (id.modelIdRead ? std::to_string(id.modelId) : "null");
  for (int r = 0; r < kGateRegisterCount; ++r) {
    const RegisterRead& read = id.registers[r];
    if (!read.read) continue;
    json += std::string(",\"") + GateRegisterName(static_cast<GateRegister>(r)) +
            "\":" + (read.answered ? std::to_string(read.value) : "null");
  }
  if (id.bootLoaderVersionRead) {
    json += ",\"boot_loader_version\":\"" + std::to_string(id.bootLoaderVersion >> 4) + "." +
            std::to_string(id.bootLoaderVersion & 0x0F) + "\"";
  }
  return json + "}";
}

std::string IdentityText() {
  const PlcIdentity& id = burnDetail.identity;
  std::string text =
      std::string("identity: ") + (id.mode == PlcMode::kLoader    ? "in its boot loader"
                                   : id.mode == PlcMode::kMonitor ? "in its firmware (monitor mode)"
                                                                  : "mode unknown");
  if (id.modelIdRead) text += ", model ID " + std::to_string(id.modelId);
  for (int r = 0; r < kGateRegisterCount; ++r) {
    const RegisterRead& read = id.registers[r];
    if (!read.read) continue;
    text += std::string(", ") + GateRegisterName(static_cast<GateRegister>(r)) + " " +
            (read.answered ? std::to_string(read.value) : "not answered");
  }
  if (id.bootLoaderVersionRead) {
    text += ", boot loader V" + std::to_string(id.bootLoaderVersion >> 4) + "." +
            std::to_string(id.bootLoaderVersion & 0x0F);
  }
  return text;
}

std::string EndingMembers(const char* plcLeft) {
  std::string json = std::string("\"plc_left\":\"") + plcLeft + "\",\"failed\":";
  const RequestRecord& failed = burnDetail.failed;
  if (failed.request == BurnRequest::kNone || RecordedEnding() == nullptr) {
    json += "null";
  } else {
    json += std::string("{\"request\":\"") + RequestName(failed.request) + "\"";
    if (failed.request == BurnRequest::kEraseUnit || failed.request == BurnRequest::kBlock) {
      json += ",\"index\":" + std::to_string(failed.index) + ",\"of\":" + std::to_string(failed.of);
    }
    json += ",\"attempts\":" + std::to_string(failed.attempts) + "}";
  }
  return json + ",\"identity\":" + IdentityJson();
}

std::string RecordLine(const BurnRecord& r) {
  char time[32] = "";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* utc = std::gmtime(&now))
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", utc);
  return "{\"time\":\"" + std::string(time) + "\",\"host\":" + JsonString(HostName()) +
         ",\"version\":\"" MORVEX_VERSION "\",\"port\":" + JsonString(r.port) +
         ",\"device\":" + JsonString(r.device) + ",\"model\":" + JsonString(r.model) +
         ",\"image\":" + JsonString(r.image) + ",\"size\":" + std::to_string(r.size) +
         ",\"sha256\":\"" + r.sha256 + "\",\"text\":" + JsonString(r.text) + ",\"outcome\":\"" +
         OutcomeOf(r.code).name + "\",\"exit_code\":" + std::to_string(r.code) +
         ",\"seconds\":" + Seconds(r.seconds) + "," + Counters(r.errors, r.totalErrors) +
         (r.ending.empty() ? "" : "," + r.ending) + "}";
}

void Reporter::Start(const BurnRecord& r) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    Out("{\"event\":\"start\",\"model\":" + JsonString(r.model) +
        ",\"port\":" + JsonString(r.port) + ",\"image\":" + JsonString(r.image) +
        ",\"size\":" + std::to_string(r.size) + ",\"sha256\":\"" + r.sha256 + "\"}\n");
  } else {
    Out("morvex-burn: a " + r.model + " through " + r.port + ", image " + r.image + " (" +
        std::to_string(r.size) + " bytes, sha256 " + r.sha256 + ")\n");
  }
}

std::string Reporter::ProgressText(int seconds, int phase, int percent, int errors,
                                   int total) const {
  char line[96];
  std::snprintf(line, sizeof line, "%6d s  %-12s %4d %%   errors/total errors %d/%d", seconds,
                PhaseName(phase), percent, errors, total);
  return line;
}

void Reporter::Sample(int seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sampling_ || json_ || !terminal_) return;
  const std::string text = ProgressText(seconds, flashStatus.load(), progress.load(),
                                        errCounter.load(), totalErrCounter.load());
  if (lineOpen_ && text == lastLine_) return;
  Out("\r" + text + "\033[K");
  lastLine_ = text;
  lineOpen_ = true;
}

void Reporter::Milestone(int seconds, bool phaseEntered, int phase, int percent) {
  const int errors = errCounter.load();
  const int total = totalErrCounter.load();
  if (json_) {
    Out(std::string("{\"event\":\"") + (phaseEntered ? "phase" : "percent") +
        "\",\"seconds\":" + std::to_string(seconds) + ",\"phase\":\"" + PhaseName(phase) +
        "\",\"percent\":" + std::to_string(percent) + "," + Counters(errors, total) + "}\n");
  } else if (!terminal_) {
    Out(ProgressText(seconds, phase, percent, errors, total) + "\n");
  }
}

void Reporter::Observe(int seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sampling_) return;
  const int phase = flashStatus.load();
  const int step = std::min(progress.load(), 100) / 10;
  if (phase != lastPhase_) {
    // The erase is whole once the transfer starts.
    if (lastPhase_ == kFlashErasing && phase == kFlashProgramming) {
      while (lastStep_ < 10) Milestone(seconds, false, lastPhase_, 10 * ++lastStep_);
    }
    lastPhase_ = phase;
    lastStep_ = 0;
    Milestone(seconds, true, phase, 0);
  }
  while (lastStep_ < step) Milestone(seconds, false, phase, 10 * ++lastStep_);
}

void Reporter::Complete(int seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lastPhase_ != kFlashProgramming) return;
  while (lastStep_ < 10) Milestone(seconds, false, lastPhase_, 10 * ++lastStep_);
  if (terminal_ && !json_) {
    const std::string text =
        ProgressText(seconds, lastPhase_, 100, errCounter.load(), totalErrCounter.load());
    Out("\r" + text + "\033[K");
    lineOpen_ = true;
  }
}

void Reporter::BreakProgressLine() {
  if (lineOpen_) Out("\n");
  lineOpen_ = false;
}

void Reporter::Prompt(int seconds, const char* text, const char* answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    Out("{\"event\":\"prompt\",\"seconds\":" + std::to_string(seconds) +
        ",\"text\":" + JsonString(text) + ",\"answer\":\"" + answer + "\"}\n");
  } else {
    BreakProgressLine();
    Out(std::string("prompt: ") + text + "\n");
  }
}

void Reporter::Identity(int seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    Out("{\"event\":\"identity\",\"seconds\":" + std::to_string(seconds) +
        ",\"identity\":" + IdentityJson() + "}\n");
  } else {
    BreakProgressLine();
    Out(IdentityText() + "\n");
  }
}

void Reporter::Note(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) return;
  BreakProgressLine();
  Out(line + "\n");
}

void Reporter::End(const BurnRecord& r, bool recorded) {
  // Called with the lock held by whoever ends the process: no lock here.
  sampling_ = false;
  const Outcome& outcome = OutcomeOf(r.code);
  const Outcome& shown = recorded ? outcome : OutcomeOf(kExitNotRecorded);
  if (json_) {
    std::string burn;
    if (!recorded) {
      burn = ",\"burn_outcome\":\"" + std::string(outcome.name) +
             "\",\"burn_exit_code\":" + std::to_string(r.code);
    }
    Out("{\"event\":\"end\",\"seconds\":" + Seconds(r.seconds) + ",\"text\":" + JsonString(r.text) +
        ",\"outcome\":\"" + shown.name + "\",\"exit_code\":" + std::to_string(shown.code) + burn +
        "," + Counters(r.errors, r.totalErrors) + (r.ending.empty() ? "" : "," + r.ending) + "}\n");
  } else {
    BreakProgressLine();
    Out(r.text + "\n");
    if (!recorded) {
      Out("exit " + std::to_string(shown.code) + ": " + shown.meaning + "; the burn itself: exit " +
          std::to_string(r.code) + ": " + outcome.meaning + "\n");
    } else {
      Out("exit " + std::to_string(r.code) + ": " + outcome.meaning + "\n");
    }
  }
}
