#include "console/report.h"

#include <cstdio>
#include <ctime>

#include "console/os.h"
#include "console/outcome.h"
#include "core/burn_state.h"

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

void Out(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      // Names from the system may carry bytes of any code page: each stands as its own number.
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string RecordLine(const BurnRecord& r) {
  char time[32] = "";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* utc = std::gmtime(&now))
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", utc);
  return "{\"time\":\"" + std::string(time) + "\",\"host\":" + JsonString(HostName()) +
         ",\"version\":\"" MORVEX_VERSION "\",\"port\":" + JsonString(r.port) +
         ",\"model\":" + JsonString(r.model) + ",\"image\":" + JsonString(r.image) +
         ",\"size\":" + std::to_string(r.size) + ",\"sha256\":\"" + r.sha256 +
         "\",\"text\":" + JsonString(r.text) + ",\"outcome\":\"" + OutcomeOf(r.code).name +
         "\",\"exit_code\":" + std::to_string(r.code) + ",\"seconds\":" + Seconds(r.seconds) + "," +
         Counters(r.errors, r.totalErrors) + "}";
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
  if (!sampling_) return;
  const int phase = flashStatus.load();
  const int percent = progress.load();
  const int errors = errCounter.load();
  const int total = totalErrCounter.load();
  const int step = percent / 10;
  const bool newPhase = phase != lastPhase_;
  const bool newStep = newPhase || step != lastStep_;
  lastPhase_ = phase;
  lastStep_ = step;
  if (json_) {
    if (!newStep) return;
    Out(std::string("{\"event\":\"") + (newPhase ? "phase" : "percent") +
        "\",\"seconds\":" + std::to_string(seconds) + ",\"phase\":\"" + PhaseName(phase) +
        "\",\"percent\":" + std::to_string(percent) + "," + Counters(errors, total) + "}\n");
  } else if (terminal_) {
    const std::string text = ProgressText(seconds, phase, percent, errors, total);
    if (lineOpen_ && text == lastLine_) return;
    Out("\r" + text + "\033[K");
    lastLine_ = text;
    lineOpen_ = true;
  } else if (newStep) {
    Out(ProgressText(seconds, phase, percent, errors, total) + "\n");
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

void Reporter::Note(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) return;
  BreakProgressLine();
  Out(line + "\n");
}

void Reporter::End(const BurnRecord& r) {
  // Called with the lock held by an interrupt, which then ends the process: no lock here.
  sampling_ = false;
  const Outcome& outcome = OutcomeOf(r.code);
  if (json_) {
    Out("{\"event\":\"end\",\"seconds\":" + Seconds(r.seconds) + ",\"text\":" + JsonString(r.text) +
        ",\"outcome\":\"" + outcome.name + "\",\"exit_code\":" + std::to_string(r.code) + "," +
        Counters(r.errors, r.totalErrors) + "}\n");
  } else {
    BreakProgressLine();
    Out(r.text + "\n");
    Out("exit " + std::to_string(r.code) + ": " + outcome.meaning + "\n");
  }
}
