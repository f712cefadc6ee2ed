// plcsim as a program: a test talks to the pseudo-terminal it serves with raw bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class PlcsimProcess {
 public:
  explicit PlcsimProcess(std::vector<std::string> args) {
    report_ =
        "/tmp/plcsim_test_" + std::to_string(getpid()) + "_" + std::to_string(++serial_) + ".json";
    args.insert(args.begin(), PLCSIM_PATH);
    args.push_back("--report=" + report_);
    args.push_back("--quiet");
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[256] = {};
    if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
      path_ = line;
      if (!path_.empty() && path_.back() == '\n') path_.pop_back();
    }
    stdout_ = f;
  }
  ~PlcsimProcess() {
    Stop();
    CloseLine();
    if (stdout_ != nullptr) std::fclose(stdout_);
    std::remove(report_.c_str());
  }

  bool OpenLine() {
    fd_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) return false;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
    return true;
  }
  void CloseLine() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // Writes the request and reads until `want` bytes came or `ms` passed.
  std::string Ask(const std::string& request, size_t want, int ms = 2000) {
    if (write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
      return "write failed";
    }
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) == 1 && (p.revents & POLLIN)) {
        char buf[64];
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
      }
    }
    return got;
  }
  // Ends the program with SIGTERM and returns its report.
  std::string Stop() {
    if (pid_ <= 0) return "";
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    std::ifstream in(report_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

 private:
  static int serial_;
  pid_t pid_ = -1;
  int fd_ = -1;
  FILE* stdout_ = nullptr;
  std::string path_;
  std::string report_;
};
int PlcsimProcess::serial_ = 0;

TEST(Plcsim, ServesAPtyThroughTheHandOverIntoTheLoader) {
  const std::string link = "/tmp/plcsim_test_link_" + std::to_string(getpid());
  PlcsimProcess sim({"--model=PN2", "--link=" + link});
  ASSERT_EQ(sim.path().rfind("/dev/pts/", 0), 0u) << sim.path();
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);  // there with the first line
  EXPECT_EQ(sim.path(), target);
  ASSERT_TRUE(sim.OpenLine());
  EXPECT_EQ(sim.Ask(":007F81\r\n", 9), ":007F81\r\n");
  EXPECT_EQ(sim.Ask(":006401590141\r\n", 19), ":006401590500003D\r\n");
  EXPECT_EQ(sim.Ask(":006401594944B5\r\n", 19), ":0064015906001329\r\n");
  EXPECT_EQ(sim.Ask(":0003147C00016C\r\n", 15), ":0003020000FB\r\n");
  EXPECT_EQ(sim.Ask(":006401594552415345D2\r\n", 19), ":006401590600003C\r\n");
  EXPECT_EQ(sim.Ask(":00640159063C\r\n", 1, 200), "");
  EXPECT_EQ(sim.Ask("ID", 3), std::string("\x06\x00\x13", 3));
  EXPECT_EQ(sim.Ask("\x04", 1), "\x06");  // control bytes pass the terminal unchanged
  const std::string report = sim.Stop();
  EXPECT_NE(report.find("\"violation_count\": 0,"), std::string::npos) << report;
  EXPECT_NE(report.find("\"loader-id\": 1,"), std::string::npos) << report;
  EXPECT_NE(access(link.c_str(), F_OK), 0);  // removed at the end
}

TEST(Plcsim, SeesTheToolCloseAndReopenTheLineForAReplug) {
  PlcsimProcess sim({"--model=QD", "--handover=close"});
  ASSERT_TRUE(sim.OpenLine());
  EXPECT_EQ(sim.Ask(":006401590141\r\n", 19), ":006401590500003D\r\n");
  EXPECT_EQ(sim.Ask(":006401594944B5\r\n", 19).size(), 19u);
  EXPECT_EQ(sim.Ask(":0003147C00016C\r\n", 15).size(), 15u);
  EXPECT_EQ(sim.Ask(":006401594552415345D2\r\n", 19).size(), 19u);
  EXPECT_EQ(sim.Ask(":00640159063C\r\n", 1, 200), "");
  EXPECT_EQ(sim.Ask(":006401590141\r\n", 19, 300), "");  // restarting: silent
  sim.CloseLine();
  usleep(100000);
  ASSERT_TRUE(sim.OpenLine());
  EXPECT_EQ(sim.Ask(":006401590141\r\n", 19), ":006401590600003C\r\n");
  EXPECT_EQ(sim.Ask("ID", 3), std::string("\x06\x00\x15", 3));
  const std::string report = sim.Stop();
  EXPECT_NE(report.find("\"why\": \"link closed after the erase\""), std::string::npos) << report;
}

TEST(Plcsim, ClosesItsEndWhenTheLineGoesAway) {
  PlcsimProcess sim({"--model=PN2", "--fault=gone:probe:2"});
  ASSERT_TRUE(sim.OpenLine());
  EXPECT_EQ(sim.Ask(":006401590141\r\n", 19).size(), 19u);
  EXPECT_EQ(sim.Ask(":006401590141\r\n", 19, 300), "");
  // The far end hangs up at once, without any time-out to wait for.
  pollfd p{sim.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  const std::string report = sim.Stop();
  EXPECT_NE(report.find("\"line_gone\": true"), std::string::npos) << report;
}

// Output files that are not regular files (/dev/null, a pipe) are written in place: renaming a
// temporary file over them would turn the device into a plain file.
TEST(Plcsim, WritesToAPipeWithoutReplacingIt) {
  const std::string fifo = "/tmp/plcsim_test_fifo_" + std::to_string(getpid());
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader =
      open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // so that the writer's open goes on
  ASSERT_GE(reader, 0);
  {
    PlcsimProcess sim({"--model=PN2", "--flash-out=" + fifo});
    ASSERT_TRUE(sim.OpenLine());
    EXPECT_EQ(sim.Ask(":006401590141\r\n", 19).size(), 19u);
    sim.Stop();
  }
  struct stat st;
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  close(reader);
  std::remove(fifo.c_str());
}

// What the scripts read about a model: its facts at the edges of each rule, and an unknown model
// refused with nothing on standard output.
TEST(Plcsim, DescribesAModelsBurn) {
  const auto describe = [](const std::string& args) {
    FILE* f =
        popen((std::string(PLCSIM_PATH) + " --describe " + args + " 2>/dev/null").c_str(), "r");
    std::string out;
    char buf[256];
    while (f != nullptr && std::fgets(buf, sizeof buf, f) != nullptr) out += buf;
    const int status = f != nullptr ? pclose(f) : -1;
    return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "\n" + out;
  };
  EXPECT_EQ(describe("KL3-KR3"),
            "0\nmodel=KL3-KR3\nlink=usb\nlimit=2076672\nimage_size=2076672\nsent=2072576\n"
            "block_size=256\nblocks=8096\nerase_units=506\nhandover=replug\n");
  EXPECT_EQ(describe("MH400 --image-size 4097"),
            "0\nmodel=MH400\nlink=usb\nlimit=2076672\nimage_size=4097\nsent=1\n"
            "block_size=256\nblocks=1\nerase_units=1\nhandover=replug\n");
  EXPECT_EQ(describe("KL2-G-V4 --image-size=131072"),
            "0\nmodel=KL2-G-V4\nlink=com\nlimit=524288\nimage_size=131072\nsent=131072\n"
            "block_size=128\nblocks=1024\nerase_units=2\nhandover=power-cycle\n");
  EXPECT_EQ(describe("16KR2-AIO"),
            "0\nmodel=16KR2-AIO\nlink=com\nlimit=4096\nimage_size=4096\nsent=4096\n"
            "block_size=256\nblocks=16\nerase_units=4\nhandover=immediate\n");
  EXPECT_EQ(describe("PV3-AIO --image-size 40961"),
            "0\nmodel=PV3-AIO\nlink=usb\nlimit=40960\nimage_size=40961\nsent=40961\n"
            "block_size=256\nblocks=161\nerase_units=21\nhandover=replug\n");
  EXPECT_EQ(describe("KL3"), "2\n");
  EXPECT_EQ(describe("PN32@PN2"), "2\n");  // a PLC on another model's image: no model of its own
  EXPECT_EQ(describe("QD --image-size -1"), "2\n");
}

}  // namespace
