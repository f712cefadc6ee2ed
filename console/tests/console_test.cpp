// morvex-burn as a script runs it: the program against plcsim on pseudo-terminals, its exit
// codes, lines, JSON events and record, its prompts, holds, interrupts and bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/plcsim_process.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// True once process `pid` has ended (gone, or a zombie nobody reaps), within `seconds`.
bool Ended(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (stat.empty() || (close != std::string::npos && stat.substr(close + 2, 1) == "Z")) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Waits until `path` holds `lines` lines.
bool WaitForLines(const std::string& path, size_t lines, int seconds = 30) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (Lines(ReadFile(path)).size() >= lines) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The block check of the transfer, written apart from the program's: CRC-16/XMODEM.
unsigned Crc16(const std::string& bytes) {
  unsigned crc = 0;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned>(static_cast<unsigned char>(c)) << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
    crc &= 0xFFFF;
  }
  return crc;
}

// One run of the program, its standard output read as it comes (from a pipe, or from a
// terminal of its own), its standard input /dev/null unless it has a terminal.
class Burn {
 public:
  explicit Burn(const std::vector<std::string>& args, bool terminal = false) {
    std::vector<std::string> all = {BURN_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe(err) != 0) return;
    if (terminal) {
      pid_ = ::forkpty(&out_, nullptr, nullptr, nullptr);
    } else if (::pipe(out) == 0) {
      pid_ = ::fork();
      out_ = out[0];
    }
    if (pid_ == 0) {
      if (!terminal) {
        const int none = ::open("/dev/null", O_RDONLY);
        ::dup2(none, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
      }
      ::dup2(err[1], STDERR_FILENO);
      ::execv(BURN_PROGRAM, argv.data());
      ::_exit(127);
    }
    if (!terminal) ::close(out[1]);
    ::close(err[1]);
    err_ = err[0];
  }

  ~Burn() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  // Reads standard output until it holds `part` (true) or `seconds` pass or it ends (false).
  bool WaitFor(const std::string& part, int seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!Has(output, part)) {
      if (std::chrono::steady_clock::now() > end || ReadSome(out_, output, 100) == kEnded) {
        return false;
      }
    }
    return true;
  }

  void Type(const std::string& text) {
    if (::write(out_, text.data(), text.size()) < 0) ADD_FAILURE() << "cannot type";
  }
  void Signal(int signal) { ::kill(pid_, signal); }

  // Waits for the end without reading the output (a paused terminal stays paused): the exit
  // code, -1 for no exit of its own, -2 when it had not ended after `seconds`.
  int WaitUnread(int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -2;
  }

  // Reads everything to the end and returns the exit code (-1: no exit of its own).
  int Wait() {
    while (ReadSome(out_, output, 60000) == kRead) {
    }
    while (ReadSome(err_, errors, 60000) == kRead) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string output;
  std::string errors;

 private:
  // The end of the stream: end of file, or an error where a terminal's far end has gone.
  enum ReadResult { kRead, kSilent, kEnded };
  static ReadResult ReadSome(int fd, std::string& into, int ms) {
    pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return kSilent;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return kEnded;
    into.append(buffer, static_cast<size_t>(n));
    return kRead;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/console-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    sims_.clear();
    const int rc = std::system(("rm -rf " + dir_).c_str());
    (void)rc;
  }

  // An image for `model` of `size` bytes, named as the window takes its model.
  std::string Image(const std::string& model, uint32_t size) {
    const std::string path = dir_ + "/" + model + "_v1.00_" + std::to_string(size) + ".bin";
    // Written once: a burn already started may be reading it.
    if (::access(path.c_str(), F_OK) == 0) return path;
    std::string bytes(size, '\0');
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + 7);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // A simulated PLC on a terminal of its own; its report in <dir>/<name>.json.
  std::string Sim(const std::string& name, const std::string& profile, uint32_t imageLength,
                  std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--model",    profile,          "--report",
                                     Report(name), "--image-length", std::to_string(imageLength),
                                     "--quiet"};
    args.insert(args.end(), more.begin(), more.end());
    sims_.push_back(std::make_unique<PlcsimProcess>(PLCSIM_PROGRAM));
    if (!sims_.back()->Start(args)) ADD_FAILURE() << "plcsim did not start";
    return sims_.back()->ptyPath();
  }
  std::string Report(const std::string& name) const { return dir_ + "/" + name + ".json"; }
  // Stops every simulated PLC, which then writes its report.
  void StopSims() {
    for (auto& s : sims_) s->Wait(1);
  }
  static bool NothingSent(const std::string& report) { return !Has(report, "\"request\""); }

  std::string dir_;
  std::vector<std::unique_ptr<PlcsimProcess>> sims_;
};

TEST_F(ConsoleTest, ThreeBurnsAtOnceEachWithItsEventsAndOneWholeRecordLine) {
  const std::string image = Image("PN2", 6000);
  const std::string log = dir_ + "/burns.log";
  std::vector<std::unique_ptr<Burn>> burns;
  std::vector<std::string> ports;
  for (int i = 0; i < 3; ++i) {
    ports.push_back(Sim("pn2-" + std::to_string(i), "PN2", 6000));
    burns.push_back(std::make_unique<Burn>(std::vector<std::string>{
        "--image", image, "--port", ports.back(), "--json", "--log", log}));
  }
  for (auto& b : burns) EXPECT_EQ(b->Wait(), 0) << b->output << b->errors;
  StopSims();

  const std::vector<std::string> events = Lines(burns[0]->output);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front().rfind("{\"event\":\"start\",\"model\":\"PN2\",\"port\":\"" + ports[0] +
                                     "\",\"image\":\"PN2_v1.00_6000.bin\",\"size\":6000,",
                                 0),
            0u)
      << events.front();
  EXPECT_EQ(events[1],
            "{\"event\":\"phase\",\"seconds\":0,\"phase\":\"Idle\",\"percent\":0,"
            "\"errors\":0,\"total_errors\":0}");
  // The failure counters stand as the burn left them: a loaded machine may cost a late answer.
  EXPECT_TRUE(Has(events.back(),
                  "\"text\":\"Firmware update is SUCCESSFUL\",\"outcome\":"
                  "\"success\",\"exit_code\":0,\"errors\":"))
      << events.back();

  // The record: one whole line per burn, with the digest plcsim took of what it was sent.
  const std::vector<std::string> lines = Lines(ReadFile(log));
  ASSERT_EQ(lines.size(), 3u) << ReadFile(log);
  const std::string report = ReadFile(Report("pn2-0"));
  const size_t at = report.find("\"image_sha256\": \"");
  ASSERT_NE(at, std::string::npos) << report;
  const std::string sha = report.substr(at + 17, 64);
  for (const std::string& port : ports) {
    int found = 0;
    for (const std::string& line : lines) {
      if (!Has(line, "\"port\":\"" + port + "\"")) continue;
      ++found;
      EXPECT_EQ(line.front(), '{');
      EXPECT_EQ(line.back(), '}');
      EXPECT_TRUE(Has(line,
                      "\"model\":\"PN2\",\"image\":\"PN2_v1.00_6000.bin\",\"size\":6000,"
                      "\"sha256\":\"" +
                          sha +
                          "\",\"text\":\"Firmware update is SUCCESSFUL\","
                          "\"outcome\":\"success\",\"exit_code\":0,\"seconds\":"))
          << line;
      EXPECT_TRUE(Has(line, "\"version\":\"")) << line;
    }
    EXPECT_EQ(found, 1) << port;
  }
}

// One failure of each class that a burn reaches, with its text, from the PLC's side.
TEST_F(ConsoleTest, EachClassOfFailureHasItsExitCodeAndTheWindowsText) {
  struct Case {
    const char* profile;
    std::vector<std::string> faults;
    uint32_t size;
    const char* text;
    int code;
  } cases[] = {
      {"PN2", {}, 491521, "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)", 3},
      {"PN32@PN2", {}, 6000, "Check PLC, 14PN2 is different than 32PN2", 5},
      // A register of the gate that never answers: no erase order, the PLC runs its firmware.
      {"PN32@PN2", {"--fault", "silence:d1148:1x*"}, 6000, "NO RESPONSE @ State 2", 5},
      // The order to restart taken three times, the firmware answering still: it runs.
      {"PN2",
       {"--fault", "stay:erase:1x*"},
       6000,
       "PLC DOES NOT enter the boot loader, RE-POWER PLC and try again",
       5},
      {"PN2", {"--fault", "nak:loader-id:1x*"}, 6000, "PLC type is WRONG", 6},
      {"PN2",
       {"--fault", "nak:erase-unit:2x*"},
       6000,
       "PLC DOES NOT respond to the erasing signal",
       7},
      {"PN2", {"--fault", "nak:block:2x*"}, 6000, "Firmware update is FAILED", 7},
      {"PN2",
       {"--fault", "write-error:block:2"},
       6000,
       "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again",
       8},
  };
  std::vector<std::unique_ptr<Burn>> burns;
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "case-" + std::to_string(n++);
    const std::string port = Sim(name, c.profile, c.size, c.faults);
    burns.push_back(std::make_unique<Burn>(
        std::vector<std::string>{"--image", Image("PN2", c.size), "--port", port}));
  }
  for (size_t i = 0; i < burns.size(); ++i) {
    EXPECT_EQ(burns[i]->Wait(), cases[i].code) << cases[i].profile << "\n" << burns[i]->output;
    const std::vector<std::string> lines = Lines(burns[i]->output);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], cases[i].text) << burns[i]->output;
    EXPECT_EQ(lines.back().rfind("exit " + std::to_string(cases[i].code) + ": ", 0), 0u);
  }
  StopSims();
  EXPECT_TRUE(NothingSent(ReadFile(Report("case-0"))));
}

TEST_F(ConsoleTest, APromptIsAnsweredByItsCommandOrEndsTheBurnWithoutHanging) {
  const std::string image = Image("KL2-G-V4", 6000);
  const std::string marker = dir_ + "/power-cycled";
  Burn answered({"--image", image, "--port", Sim("answered", "KL2-G-V4", 6000, {"--baud-pacing"}),
                 "--power-cycle-command", "touch " + marker});
  Burn failing({"--image", image, "--port", Sim("failing", "KL2-G-V4", 6000),
                "--power-cycle-command", "exit 3", "--json"});
  // A command ended by a signal did not answer the prompt; a broken pipe ends it as anywhere.
  Burn killed({"--image", image, "--port", Sim("killed", "KL2-G-V4", 6000), "--power-cycle-command",
               "kill -PIPE $$; exit 0"});

  EXPECT_EQ(answered.Wait(), 0) << answered.output;
  EXPECT_EQ(::access(marker.c_str(), F_OK), 0);
  const std::vector<std::string> lines = Lines(answered.output);
  EXPECT_TRUE(Has(answered.output,
                  "\nprompt: Please POWER OFF=>ON the PLC, and then press OK to continue\n"));
  EXPECT_TRUE(Has(answered.output, " s  Programming ")) << answered.output;
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Firmware update is SUCCESSFUL");

  EXPECT_EQ(failing.Wait(), 9) << failing.output;
  EXPECT_TRUE(Has(failing.output, "{\"event\":\"prompt\",\"seconds\":"));
  EXPECT_TRUE(Has(failing.output, "\"answer\":\"command\"}"));
  EXPECT_TRUE(Has(failing.output,
                  "\"text\":\"The power-cycle command exited 3, so nobody "
                  "powered the PLC off and on: Please POWER OFF"))
      << failing.output;
  EXPECT_EQ(killed.Wait(), 9) << killed.output;
}

// A burn whose prompt nobody could answer never starts: the PLC is not left in its boot loader.
TEST_F(ConsoleTest, APromptNobodyCouldAnswerIsRefusedBeforeAnythingIsSent) {
  const std::string image = Image("KL2-G-V4", 6000);
  const std::string log = dir_ + "/burns.log";
  Burn none({"--image", image, "--port", Sim("none", "KL2-G-V4", 6000), "--log", log});
  // The command of the other prompt answers nothing.
  Burn other({"--image", image, "--port", Sim("other", "KL2-G-V4", 6000), "--replug-command",
              "true", "--json"});
  EXPECT_EQ(none.Wait(), 2) << none.output;
  EXPECT_EQ(none.output, "");
  const std::vector<std::string> errors = Lines(none.errors);
  ASSERT_EQ(errors.size(), 1u) << none.errors;
  EXPECT_TRUE(Has(errors[0], "give --power-cycle-command CMD")) << errors[0];
  EXPECT_TRUE(Has(ReadFile(log), "\"outcome\":\"command-line\",\"exit_code\":2,")) << ReadFile(log);
  EXPECT_EQ(other.Wait(), 2) << other.output;
  EXPECT_TRUE(Has(other.output, "\"outcome\":\"command-line\",\"exit_code\":2,")) << other.output;
  StopSims();
  EXPECT_TRUE(NothingSent(ReadFile(Report("none"))));
  EXPECT_TRUE(NothingSent(ReadFile(Report("other"))));
}

TEST_F(ConsoleTest, OnATerminalTheLineIsRewrittenInPlaceAndEnterAnswersThePrompt) {
  Burn burn({"--image", Image("KL2-G-V4", 6000), "--port", Sim("tty", "KL2-G-V4", 6000)}, true);
  ASSERT_TRUE(burn.WaitFor("Press Enter when done.")) << burn.output;
  burn.Type("\n");
  EXPECT_EQ(burn.Wait(), 0) << burn.output;
  EXPECT_TRUE(Has(burn.output, "\r     0 s  Idle            0 %   errors/total errors 0/0"))
      << burn.output;
  EXPECT_TRUE(Has(burn.output, "\r\nFirmware update is SUCCESSFUL\r\n")) << burn.output;
}

TEST_F(ConsoleTest, ASecondBurnOnAHeldPortIsRefusedAndTheFirstGoesOn) {
  const std::string image = Image("KL2-G-V4", 6000);
  const std::string at = dir_ + "/at-prompt";
  const std::string go = dir_ + "/go";
  const std::string pty = Sim("held", "KL2-G-V4", 6000);
  // The first burn holds the port while its prompt waits, the port itself closed meanwhile.
  Burn first({"--image", image, "--port", pty, "--power-cycle-command",
              "touch " + at + "; while [ ! -e " + go + " ]; do sleep 0.05; done"});
  for (int i = 0; i < 300 && ::access(at.c_str(), F_OK) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(::access(at.c_str(), F_OK), 0) << "the first burn never reached its prompt";
  // The same device by another name.
  const std::string link = dir_ + "/plc";
  ASSERT_EQ(::symlink(pty.c_str(), link.c_str()), 0);
  Burn second({"--image", image, "--port", link, "--power-cycle-command", "true"});
  EXPECT_EQ(second.Wait(), 4) << second.output;
  // The port by the name it was given.
  EXPECT_TRUE(
      Has(second.output, "\nThe port is held by another burn.\nCANNOT open " + link + " Port!!!\n"))
      << second.output;
  std::ofstream(go).put('\n');
  EXPECT_EQ(first.Wait(), 0) << first.output;
}

TEST_F(ConsoleTest, CtrlCEndsTheBurnSayingWhereThePlcWasLeft) {
  const uint32_t size = 65536;  // seconds of paced transfer
  const std::string log = dir_ + "/burns.log";
  Burn burn({"--image", Image("PN2", size), "--port", Sim("ctrl-c", "PN2", size, {"--baud-pacing"}),
             "--log", log, "--json"});
  ASSERT_TRUE(burn.WaitFor("{\"event\":\"phase\",\"seconds\":")) << burn.output;
  ASSERT_TRUE(burn.WaitFor("\"phase\":\"Programming\"")) << burn.output;
  burn.Signal(SIGINT);
  EXPECT_EQ(burn.Wait(), 10) << burn.output;
  EXPECT_TRUE(Has(burn.output,
                  "\"text\":\"Interrupted: the PLC's flash is wholly or partly erased: "
                  "it has no firmware until a burn succeeds.\",\"outcome\":"
                  "\"interrupted\",\"exit_code\":10,"))
      << burn.output;
  EXPECT_TRUE(Has(ReadFile(log), "\"outcome\":\"interrupted\",\"exit_code\":10,"));
}

TEST_F(ConsoleTest, BadInputGetsOneLineAndSendsNothing) {
  const std::string port = Sim("bad", "PN2", 6000);
  const std::string image = Image("PN2", 6000);
  const std::string noModel = dir_ + "/firmware.bin";
  std::ofstream(noModel) << "x";
  // Larger than a 32-bit process should try to hold: refused before it is read.
  const std::string huge = dir_ + "/PN2_huge.bin";
  std::ofstream(huge).close();
  ASSERT_EQ(::truncate(huge.c_str(), (64 << 20) + 1), 0);
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string line;
  } cases[] = {
      {{"--image", image, "--port", port, "--fast"}, 2, "unknown option '--fast'"},
      {{"--image", image, "--port"}, 2, "--port needs a value"},
      {{"--image", image, "--port", dir_ + "/ttyUSB9"}, 2, "no port "},
      {{"--image", image, "--port", image}, 2, "not a serial port"},
      {{"--image", image, "--port", "/dev/null"}, 2, "not a serial port (no terminal)"},
      {{image, "--port", port}, 2, "the image to burn? --image " + image},
      {{"--image", image, "--port", port, "--command-timeout", "0"}, 2, "whole seconds"},
      {{"--image", image, "--port", port, "--trace", dir_}, 2, "cannot write the trace"},
      {{"--image", dir_ + "/PN2_missing.bin", "--port", port}, 3, "cannot read the image"},
      {{"--image", huge, "--port", port}, 3, "cannot read the image"},
      {{"--image", noModel, "--port", port}, 3, "names no model"},
      {{"--image", image, "--model", "QD", "--port", port}, 3, "a QD is reached by USB"},
      {{"--image", image, "--model", "PN3", "--port", port}, 3, "no model PN3"},
  };
  for (const Case& c : cases) {
    Burn burn(c.args);
    EXPECT_EQ(burn.Wait(), c.code) << c.line;
    EXPECT_EQ(burn.output, "");
    const std::vector<std::string> lines = Lines(burn.errors);
    ASSERT_EQ(lines.size(), 1u) << burn.errors;
    EXPECT_TRUE(Has(lines[0], "morvex-burn: ") && Has(lines[0], c.line)) << lines[0];
  }
  StopSims();
  EXPECT_TRUE(NothingSent(ReadFile(Report("bad"))));
}

// A prompt's command goes with the burn, whatever ends it: nothing of it runs on afterwards.
TEST_F(ConsoleTest, APromptsCommandEndsWithTheBurnByASignalOrItsTimeOut) {
  const std::string image = Image("KL2-G-V4", 6000);
  struct Case {
    const char* name;
    int signal;  // 0: the time-out ends it
    int code;
  } cases[] = {{"term", SIGTERM, 10}, {"hup", SIGHUP, 10}, {"timeout", 0, 9}};
  for (const Case& c : cases) {
    const std::string pids = dir_ + "/" + c.name + ".pids";
    const std::string late = dir_ + "/" + c.name + ".late";
    // The shell and a child of its own, both of which would go on for 30 s.
    // The signal comes long before the time-out of its case.
    const std::string timeout = c.signal != 0 ? "120" : "1";
    Burn burn({"--image", image, "--port", Sim(c.name, "KL2-G-V4", 6000), "--command-timeout",
               timeout, "--power-cycle-command",
               "sleep 30 & echo $! > " + pids + "; echo $$ >> " + pids + "; wait; touch " + late});
    ASSERT_TRUE(WaitForLines(pids, 2)) << c.name;
    if (c.signal != 0) burn.Signal(c.signal);
    EXPECT_EQ(burn.Wait(), c.code) << c.name << "\n" << burn.output;
    for (const std::string& pid : Lines(ReadFile(pids))) {
      EXPECT_TRUE(Ended(std::stoi(pid), 5)) << c.name << ": " << pid << " runs on";
    }
    EXPECT_NE(::access(late.c_str(), F_OK), 0) << c.name;
    if (c.signal == 0) {
      EXPECT_TRUE(Has(burn.output,
                      "\nThe power-cycle command did not end within 1 s and was ended, so nobody "
                      "powered the PLC off and on: "))
          << burn.output;
    } else {
      EXPECT_TRUE(Has(burn.output, "\nInterrupted: after the order to restart into its boot "))
          << burn.output;
    }
  }
}

// Output paused (Ctrl-S) blocks nothing but the output: the burn, the interrupt and the record
// go on as if it flowed.
TEST_F(ConsoleTest, PausedOutputHoldsUpNeitherTheBurnNorAnInterruptNorTheRecord) {
  const std::string log = dir_ + "/burns.log";
  const std::string pausedLog = dir_ + "/paused.log";
  Burn whole({"--image", Image("PN2", 6000), "--port", Sim("whole", "PN2", 6000), "--log", log},
             true);
  whole.Type("\x13");
  EXPECT_EQ(whole.WaitUnread(60), 0);
  EXPECT_TRUE(Has(ReadFile(log), "\"outcome\":\"success\",\"exit_code\":0,")) << ReadFile(log);

  const uint32_t size = 65536;  // seconds of paced transfer
  Burn stopped({"--image", Image("PN2", size), "--port",
                Sim("stopped", "PN2", size, {"--baud-pacing"}), "--log", pausedLog},
               true);
  stopped.Type("\x13");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stopped.Signal(SIGTERM);
  EXPECT_EQ(stopped.WaitUnread(10), 10);
  EXPECT_TRUE(Has(ReadFile(pausedLog), "\"outcome\":\"interrupted\",\"exit_code\":10,"))
      << ReadFile(pausedLog);
}

TEST_F(ConsoleTest, AnEnterTypedBeforeThePromptDoesNotAnswerIt) {
  Burn burn({"--image", Image("KL2-G-V4", 6000), "--port", Sim("ahead", "KL2-G-V4", 6000)}, true);
  burn.Type("\n");
  ASSERT_TRUE(burn.WaitFor("Press Enter when done.")) << burn.output;
  // Answered by the Enter typed ahead, the burn would be over in a few seconds.
  EXPECT_FALSE(burn.WaitFor("SUCCESSFUL", 8)) << burn.output;
  burn.Type("\n");
  EXPECT_EQ(burn.Wait(), 0) << burn.output;
}

// A line on which nothing ever comes back is no PLC at all, apart from a PLC that answered.
TEST_F(ConsoleTest, ASilentLineEndsAsNoAnswer) {
  int master = -1;
  int slave = -1;
  char name[64] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::close(slave);
  const std::string log = dir_ + "/burns.log";
  Burn burn({"--image", Image("PN2", 6000), "--port", name, "--json", "--log", log});
  // Whatever the program writes is read and dropped: a line to nowhere.
  std::atomic<bool> done{false};
  std::thread drain([&] {
    char buffer[256];
    while (!done.load()) {
      pollfd p = {master, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0 && ::read(master, buffer, sizeof buffer) <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  });
  EXPECT_EQ(burn.Wait(), 11) << burn.output;
  done.store(true);
  drain.join();
  ::close(master);
  EXPECT_TRUE(Has(burn.output,
                  "\"text\":\"NO RESPONSE @ State 1\",\"outcome\":\"no-answer\",\"exit_code\":11,"))
      << burn.output;
  EXPECT_TRUE(Has(ReadFile(log), "\"outcome\":\"no-answer\",\"exit_code\":11,"));
}

TEST_F(ConsoleTest, EveryRunIsRecordedOrSaysItWasNot) {
  const std::string log = dir_ + "/burns.log";
  // A refusal: the image is not there.
  Burn missing({"--image", dir_ + "/PN2_missing.bin", "--port", "/dev/null", "--log", log});
  EXPECT_EQ(missing.Wait(), 3) << missing.errors;
  ASSERT_EQ(Lines(ReadFile(log)).size(), 1u);
  EXPECT_TRUE(Has(ReadFile(log), "\"outcome\":\"refused\",\"exit_code\":3,")) << ReadFile(log);
  // A byte that is no part of a UTF-8 character, and a character cut short, stand as numbers.
  Burn invalid({"--image", dir_ + "/PN2_\xff\xc3.bin", "--port", "/dev/null", "--log", log});
  EXPECT_EQ(invalid.Wait(), 3) << invalid.errors;
  EXPECT_TRUE(Has(ReadFile(log), "\"image\":\"PN2_\\u00ff\\u00c3.bin\",")) << ReadFile(log);

  // A name in UTF-8, through a symbolic link to the terminal: the port as given and its device.
  const std::string image = dir_ + "/PN2_v1 \xc3\xa9.bin";
  ASSERT_EQ(::rename(Image("PN2", 6000).c_str(), image.c_str()), 0);
  const std::string pty = Sim("utf8", "PN2", 6000);
  const std::string link = dir_ + "/plc-port";
  ASSERT_EQ(::symlink(pty.c_str(), link.c_str()), 0);
  Burn named({"--image", image, "--port", link, "--log", log});
  EXPECT_EQ(named.Wait(), 0) << named.output;
  const std::vector<std::string> lines = Lines(ReadFile(log));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(Has(lines[2], "\"port\":\"" + link + "\",\"device\":\"" + pty +
                                "\",\"model\":\"PN2\",\"image\":\"PN2_v1 \xc3\xa9.bin\","))
      << lines[2];

  // A record that cannot be written: the outcome is printed all the same, the exit code says so.
  Burn full({"--image", Image("PN2", 6000), "--port", Sim("full", "PN2", 6000), "--log",
             "/dev/full", "--json"});
  EXPECT_EQ(full.Wait(), 12) << full.output;
  EXPECT_TRUE(Has(full.output,
                  "\"text\":\"Firmware update is SUCCESSFUL\",\"outcome\":\"not-recorded\","
                  "\"exit_code\":12,\"burn_outcome\":\"success\",\"burn_exit_code\":0,"))
      << full.output;
  Burn fullRefusal(
      {"--image", dir_ + "/PN2_missing.bin", "--port", "/dev/null", "--log", "/dev/full"});
  EXPECT_EQ(fullRefusal.Wait(), 12) << fullRefusal.errors;
}

// Progress as lines and as events: (phase, percent) in the order they were printed.
std::vector<std::pair<std::string, int>> Steps(const std::string& output, bool json) {
  std::vector<std::pair<std::string, int>> steps;
  for (const std::string& line : Lines(output)) {
    char phase[16] = {};
    int percent = -1;
    if (json) {
      const size_t at = line.find("\"phase\":\"");
      if (at == std::string::npos) continue;
      const std::string rest = line.substr(at + 9);
      if (std::sscanf(rest.c_str(), "%15[A-Za-z]\",\"percent\":%d", phase, &percent) != 2) continue;
    } else if (std::sscanf(line.c_str(), "%*d s %15s %d %%", phase, &percent) != 2) {
      continue;
    }
    steps.emplace_back(phase, percent);
  }
  return steps;
}

TEST_F(ConsoleTest, AFastBurnShowsEveryPhaseAndEveryTenPercentInOrder) {
  std::vector<std::pair<std::string, int>> expected = {{"Idle", 0}};
  for (const char* phase : {"Erasing", "Programming"}) {
    for (int p = 0; p <= 100; p += 10) expected.emplace_back(phase, p);
  }
  // Three blocks: the transfer's progress jumps from 0 to 25, 50, 75 and 100.
  for (const uint32_t size : {6000u, 300u}) {
    for (const bool json : {false, true}) {
      std::vector<std::string> args = {"--image", Image("PN2", size), "--port",
                                       Sim("fast", "PN2", size)};
      if (json) args.push_back("--json");
      Burn burn(args);
      EXPECT_EQ(burn.Wait(), 0) << burn.output;
      EXPECT_EQ(Steps(burn.output, json), expected)
          << size << (json ? " json\n" : "\n") << burn.output;
      sims_.clear();
    }
  }
}

TEST_F(ConsoleTest, TheTraceShowsEveryExchangeAsAPersonReadsIt) {
  const std::string trace = dir_ + "/burn.trace";
  Burn burn({"--image", Image("PN2", 300), "--port", Sim("trace", "PN2", 300), "--trace", trace});
  EXPECT_EQ(burn.Wait(), 0) << burn.output;
  const std::string text = ReadFile(trace);
  const std::vector<std::string> lines = Lines(text);
  ASSERT_GT(lines.size(), 10u) << text;
  long last = -1;
  for (const std::string& line : lines) {
    long ms = -1;
    char direction = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%ld %c", &ms, &direction), 2) << line;
    EXPECT_TRUE(direction == '>' || direction == '<') << line;
    EXPECT_GE(ms, last) << line;
    last = ms;
  }
  // A monitor-mode frame, its line end escaped; the loader's command words; the blocks.
  EXPECT_TRUE(Has(text, " > \":00")) << text;
  EXPECT_TRUE(Has(text, "\\r\\n\"\n")) << text;
  EXPECT_TRUE(Has(text, " > \"ID\"\n")) << text;
  EXPECT_TRUE(Has(text, " > \"UPDATE\"\n")) << text;
  std::string first(128, '\0');
  for (uint32_t i = 0; i < 128; ++i) first[i] = static_cast<char>(i * 31 + 7);
  char block[64];
  std::snprintf(block, sizeof block, " > block 1, 128 data bytes, crc %04X\n", Crc16(first));
  EXPECT_TRUE(Has(text, block)) << text;
  // The last block, filled up past the image's end.
  EXPECT_TRUE(Has(text, " > block 3, 128 data bytes, crc ")) << text;
  EXPECT_TRUE(Has(text, " < 06  (the answer to block 3)\n")) << text;
  EXPECT_TRUE(Has(text, " > 04\n")) << text;
}

// A port that another program holds by the convention of this system's serial tools.
TEST_F(ConsoleTest, APortLockedByAnotherProgramIsRefused) {
  const std::string pty = Sim("locked", "PN2", 6000);
  const int fd = ::open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  Burn burn({"--image", Image("PN2", 6000), "--port", pty});
  EXPECT_EQ(burn.Wait(), 4) << burn.output;
  EXPECT_TRUE(Has(burn.output, "\nThe port is held by another program")) << burn.output;
  ::close(fd);
  StopSims();
  EXPECT_TRUE(NothingSent(ReadFile(Report("locked"))));
}

TEST_F(ConsoleTest, JsonCoversErrorsAndTheList) {
  Burn error({"--json", "--fast"});
  EXPECT_EQ(error.Wait(), 2);
  EXPECT_TRUE(Has(error.output, "{\"event\":\"end\",") &&
              Has(error.output, "\"outcome\":\"command-line\",\"exit_code\":2,"))
      << error.output;
  Burn list({"--list", "--json"});
  EXPECT_EQ(list.Wait(), 0);
  EXPECT_EQ(list.output.rfind("{\"event\":\"list\",\"models\":[{\"name\":", 0), 0u) << list.output;
  EXPECT_TRUE(Has(list.output, "{\"name\":\"QD\",\"link\":\"USB\"}")) << list.output;
  EXPECT_TRUE(Has(list.output, "],\"ports\":[")) << list.output;
  // A model given against the file's name: burned as told, with a warning.
  Burn other(
      {"--image", Image("PN2", 6000), "--model", "PN32", "--port", Sim("other", "PN32", 6000)});
  EXPECT_EQ(other.Wait(), 0) << other.output;
  EXPECT_TRUE(Has(other.errors,
                  "morvex-burn: warning: the file's name is of a PN2, burned as a PN32 (--model)"))
      << other.errors;
}

// The name of the last request a simulated PLC's report lists.
std::string LastRequest(const std::string& report) {
  const std::string key = "\"request\": \"";
  const size_t at = report.rfind(key);
  if (at == std::string::npos) return "";
  return report.substr(at + key.size(), report.find('"', at + key.size()) - at - key.size());
}

TEST_F(ConsoleTest, IdentifyMakesEveryCheckOfABurnAndErasesNothing) {
  const std::string image = Image("PN2", 6000);
  Burn fits({"--image", image, "--port", Sim("fits", "PN2", 6000), "--identify"});
  Burn refused({"--image", image, "--port", Sim("refused", "PN32@PN2", 6000), "--identify"});
  // A power-cycle model needs no prompt when nothing is handed over.
  Burn repower({"--image", Image("KL2-G-V4", 6000), "--port", Sim("repower", "KL2-G-V4", 6000),
                "--identify", "--json"});
  EXPECT_EQ(fits.Wait(), 0) << fits.output;
  EXPECT_TRUE(Has(fits.output,
                  "\nThe PLC answered in its firmware (monitor mode).\nThe PLC fits "
                  "the image: a burn would go on (nothing erased or written)\nexit 0"))
      << fits.output;
  EXPECT_EQ(refused.Wait(), 5) << refused.output;
  EXPECT_TRUE(Has(refused.output, "\nCheck PLC, 14PN2 is different than 32PN2\nexit 5: "))
      << refused.output;
  EXPECT_EQ(repower.Wait(), 0) << repower.output;
  EXPECT_TRUE(Has(repower.output, "\"outcome\":\"success\",\"exit_code\":0,")) << repower.output;
  EXPECT_TRUE(Has(repower.output, "{\"event\":\"identity\",\"seconds\":")) << repower.output;
  EXPECT_TRUE(Has(repower.output, "\"plc_left\":\"untouched\",\"failed\":null,")) << repower.output;

  // A PLC left in its boot loader by a burn that failed at its update request.
  const std::string loader =
      Sim("loader", "PN2", 6000, {"--fault", "nak:update:1x*", "--exit-after", "never"});
  Burn failed({"--image", image, "--port", loader});
  EXPECT_EQ(failed.Wait(), 7) << failed.output;
  Burn inLoader({"--image", image, "--port", loader, "--identify"});
  EXPECT_EQ(inLoader.Wait(), 0) << inLoader.output;
  EXPECT_TRUE(Has(inLoader.output, "\nThe PLC answered in its boot loader.\n")) << inLoader.output;
  StopSims();
  for (const char* name : {"fits", "refused", "repower"}) {
    const std::string report = ReadFile(Report(name));
    EXPECT_FALSE(Has(report, "\"request\": \"erase")) << name << "\n" << report;
  }
  // The identify run asked the loader's ID (a PN2 reads no loader version), and nothing more.
  EXPECT_EQ(LastRequest(ReadFile(Report("loader"))), "loader-id");
}

// What the end event and the record say of a failure: where the PLC was left, and which request
// failed (an erase unit or a block by its number).
TEST_F(ConsoleTest, EachFailureTellsWhereThePlcIsAndWhatFailed) {
  struct Case {
    const char* profile;
    std::vector<std::string> faults;
    const char* plcLeft;
    const char* failed;  // the start of the failed member
  } cases[] = {
      {"PN32@PN2", {}, "untouched", "null"},
      {"PN2", {"--fault", "stay:erase:1x*"}, "firmware", "null"},
      {"PN2", {"--fault", "nak:loader-id:1x*"}, "boot-loader", "{\"request\":\"loader-identity\","},
      {"PN2",
       {"--fault", "nak:erase-unit:2x*"},
       "erased",
       "{\"request\":\"erase-unit\",\"index\":2,\"of\":"},
      {"PN2", {"--fault", "nak:update:1x*"}, "erased", "{\"request\":\"update\",\"attempts\":"},
      {"PN2",
       {"--fault", "nak:block:3x*"},
       "erased",
       "{\"request\":\"block\",\"index\":3,\"of\":47,"},
      {"PN2", {"--fault", "write-error:block:2"}, "erased", "{\"request\":\"block\",\"index\":2,"},
  };
  const std::string log = dir_ + "/burns.log";
  std::vector<std::unique_ptr<Burn>> burns;
  int n = 0;
  for (const Case& c : cases) {
    const std::string port = Sim("kind-" + std::to_string(n++), c.profile, 6000, c.faults);
    burns.push_back(std::make_unique<Burn>(std::vector<std::string>{
        "--image", Image("PN2", 6000), "--port", port, "--json", "--log", log}));
  }
  for (size_t i = 0; i < burns.size(); ++i) {
    burns[i]->Wait();
    const std::string end = Lines(burns[i]->output).back();
    const std::string members =
        std::string("\"plc_left\":\"") + cases[i].plcLeft + "\",\"failed\":" + cases[i].failed;
    EXPECT_TRUE(Has(end, members)) << i << "\n" << end;
    // The identity as the burn read it: in its firmware, with its model ID.
    EXPECT_TRUE(Has(end, "\"identity\":{\"mode\":\"")) << end;
  }
  // The record carries the same members.
  const std::string records = ReadFile(log);
  EXPECT_EQ(Lines(records).size(), burns.size());
  EXPECT_TRUE(Has(records, "\"plc_left\":\"erased\",\"failed\":{\"request\":\"erase-unit\","))
      << records;
}

}  // namespace
