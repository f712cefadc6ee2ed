// morvex-burn as a script runs it: the program against plcsim on pseudo-terminals, its exit
// codes, lines, JSON events and record, its prompts, holds, interrupts and bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
  const std::string log = dir_ + "/burns.log";
  Burn answered({"--image", image, "--port", Sim("answered", "KL2-G-V4", 6000, {"--baud-pacing"}),
                 "--power-cycle-command", "touch " + marker});
  Burn unanswered({"--image", image, "--port", Sim("unanswered", "KL2-G-V4", 6000), "--log", log});
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

  EXPECT_EQ(unanswered.Wait(), 9) << unanswered.output;
  EXPECT_TRUE(Has(unanswered.output,
                  "\nNobody answered the prompt (no terminal, no "
                  "--power-cycle-command): Please POWER OFF=>ON the PLC"))
      << unanswered.output;
  EXPECT_TRUE(Has(ReadFile(log), "\"outcome\":\"prompt-unanswered\",\"exit_code\":9,"));

  EXPECT_EQ(failing.Wait(), 9) << failing.output;
  EXPECT_TRUE(Has(failing.output, "{\"event\":\"prompt\",\"seconds\":"));
  EXPECT_TRUE(Has(failing.output, "\"answer\":\"command\"}"));
  EXPECT_TRUE(Has(failing.output,
                  "\"text\":\"The power-cycle command exited 3, so nobody "
                  "powered the PLC off and on: Please POWER OFF"))
      << failing.output;
  EXPECT_EQ(killed.Wait(), 9) << killed.output;
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
  Burn second({"--image", image, "--port", link});
  EXPECT_EQ(second.Wait(), 4) << second.output;
  EXPECT_TRUE(Has(second.output, "\nThe port is held by another burn.\nCANNOT open " +
                                     pty.substr(5) + " Port!!!\n"))
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
    const char* line;
  } cases[] = {
      {{"--image", image, "--port", port, "--fast"}, 2, "unknown option '--fast'"},
      {{"--image", image, "--port"}, 2, "--port needs a value"},
      {{"--image", image, "--port", dir_ + "/ttyUSB9"}, 2, "no port "},
      {{"--image", image, "--port", image}, 2, "not a serial port"},
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

}  // namespace
