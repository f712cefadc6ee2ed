#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

namespace plcsim {

namespace {

volatile sig_atomic_t gStop = 0;
void OnSignal(int) {
  gStop = 1;
}

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Line time of one byte: 10 bits (start, 7 data + parity or 8 data, stop).
int64_t ByteNs(bool fast) {
  return fast ? 1000000000LL / 11520 : 1000000000LL / 960;
}

// Writes a report or flash file whole: through a temporary file and a rename, so that a reader
// never sees half of it. A path that is not a regular file (/dev/null, /dev/stdout, a pipe) is
// written as it is: renaming over it would replace the device with a plain file.
bool WriteFile(const std::string& path, const void* data, size_t n) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = n == 0 || std::fwrite(data, 1, n, f) == n;  // an empty flash has no data
    return std::fclose(f) == 0 && ok;
  }
  const std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = n == 0 || std::fwrite(data, 1, n, f) == n;  // an empty flash has no data
  if (std::fclose(f) != 0 || !ok) {
    std::remove(tmp.c_str());
    return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

class Server {
 public:
  Server(Plc& plc, const ServerOptions& o) : plc_(plc), o_(o) {}
  ~Server() {
    if (master_ >= 0) close(master_);
    if (!o_.linkPath.empty()) unlink(o_.linkPath.c_str());
  }
  int Run();

 private:
  struct Out {
    std::vector<uint8_t> bytes;
    int64_t dueNs;
  };
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void LogProgress();
  void Deliver(int64_t now);
  void Input(int64_t now);
  void WriteReport();
  double Seconds(int64_t ns) const { return static_cast<double>(ns - start_) / 1e9; }

  Plc& plc_;
  const ServerOptions& o_;
  int master_ = -1;
  int64_t start_ = 0;
  bool slaveOpen_ = false;
  std::deque<Out> out_;
  int64_t inFreeNs_ = 0;
  int64_t outFreeNs_ = 0;
  size_t logged_ = 0;
  Mode loggedMode_ = Mode::kMonitor;
};

void Server::Log(const char* fmt, ...) {
  if (o_.quiet) return;
  va_list ap;
  va_start(ap, fmt);
  std::fprintf(stderr, "plcsim %8.3f ", Seconds(NowNs()));
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
}

void Server::LogProgress() {
  const auto& reqs = plc_.requests();
  for (; logged_ < reqs.size(); ++logged_) {
    const RequestRecord& r = reqs[logged_];
    Log("%-8s %s #%u%s%s", ModeName(r.mode), RequestName(r.request), r.number,
        r.note.empty() ? "" : "  ", r.note.c_str());
  }
  if (plc_.mode() != loggedMode_) {
    loggedMode_ = plc_.mode();
    Log("now in %s mode", ModeName(loggedMode_));
  }
}

void Server::Deliver(int64_t now) {
  while (!out_.empty() && out_.front().dueNs <= now) {
    const Out& o = out_.front();
    size_t done = 0;
    while (done < o.bytes.size()) {
      const ssize_t n = write(master_, o.bytes.data() + done, o.bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 50);
      } else {
        break;  // nobody on the far end: the answer is lost, as on a real line
      }
    }
    out_.pop_front();
  }
}

void Server::Input(int64_t now) {
  uint8_t buf[4096];
  const ssize_t n = read(master_, buf, sizeof buf);
  if (n <= 0) return;
  int64_t at = now;
  if (o_.pace) {
    // The bytes are taken now but stamped with the time their last one would come off the line;
    // the answer leaves after that. One timed wait per exchange keeps the pace close to the wire.
    at = std::max(inFreeNs_, now) + n * ByteNs(plc_.fastLine());
    inFreeNs_ = at;
  }
  plc_.SetTimeMs(static_cast<uint64_t>((at - start_) / 1000000));
  plc_.Receive(buf, static_cast<size_t>(n));
  while (plc_.HasAnswer()) {
    Answer a = plc_.TakeAnswer();
    int64_t due = at + static_cast<int64_t>(a.delayMs) * 1000000;
    if (o_.pace) {
      due = std::max(due, outFreeNs_) + static_cast<int64_t>(a.bytes.size()) * ByteNs(a.fastLine);
      outFreeNs_ = due;
    }
    out_.push_back({std::move(a.bytes), due});
  }
  LogProgress();
}

void Server::WriteReport() {
  const std::string json = plc_.ReportJson();
  if (o_.reportPath.empty() || o_.reportPath == "-") {
    std::fputs(json.c_str(), stdout);
    std::fflush(stdout);
  } else if (!WriteFile(o_.reportPath, json.data(), json.size())) {
    std::fprintf(stderr, "plcsim: cannot write the report to %s\n", o_.reportPath.c_str());
  }
  if (!o_.flashOut.empty() && !WriteFile(o_.flashOut, plc_.flash().data(), plc_.flash().size())) {
    std::fprintf(stderr, "plcsim: cannot write the flash to %s\n", o_.flashOut.c_str());
  }
}

int Server::Run() {
  termios raw{};
  cfmakeraw(&raw);
  int slave = -1;
  char name[256] = {};
  if (openpty(&master_, &slave, name, &raw, nullptr) != 0) {
    std::perror("plcsim: openpty");
    return 1;
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  // The link exists before the path is printed: whoever reads the line may use either.
  if (!o_.linkPath.empty()) {
    unlink(o_.linkPath.c_str());
    if (symlink(name, o_.linkPath.c_str()) != 0) {
      std::fprintf(stderr, "plcsim: cannot link %s: %s\n", o_.linkPath.c_str(), strerror(errno));
    }
  }
  std::printf("%s\n", name);
  std::fflush(stdout);
  // With no end of our own kept open, the master reports a hang-up whenever the tool has closed
  // the far end: that is how a replug or power cycle is seen.
  close(slave);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t block, orig;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, &orig);

  // Paced answers are due to the microsecond; the default 50 us timer slack would show.
  if (o_.pace) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  start_ = NowNs();
  const int64_t deadline = o_.exitAfter == ServerOptions::ExitAfter::kSeconds
                               ? start_ + static_cast<int64_t>(o_.seconds * 1e9)
                               : INT64_MAX;
  bool reportedFinish = false;
  int64_t lingerUntil = -1;  // after the end: let the tool read the last answer
  Log("serving %s as %s", name, plc_.profile().name.c_str());

  while (!gStop) {
    int64_t now = NowNs();
    Deliver(now);
    if (now >= deadline) break;
    if (lingerUntil >= 0 && out_.empty() && (now >= lingerUntil || !slaveOpen_)) break;

    int64_t waitNs = 5000000;  // re-check a closed far end every 5 ms
    if (!out_.empty()) waitNs = std::min(waitNs, std::max<int64_t>(0, out_.front().dueNs - now));
    if (deadline != INT64_MAX) waitNs = std::min(waitNs, std::max<int64_t>(0, deadline - now));
    if (slaveOpen_ && out_.empty() && lingerUntil < 0 && deadline == INT64_MAX) waitNs = 1000000000;
    timespec ts{static_cast<time_t>(waitNs / 1000000000), static_cast<long>(waitNs % 1000000000)};

    pollfd p{master_, POLLIN, 0};
    int r;
    if (slaveOpen_) {
      r = ppoll(&p, 1, &ts, &orig);
    } else {
      // A hung-up master polls ready at once; sleep first, then look.
      ppoll(nullptr, 0, &ts, &orig);
      if (gStop) break;
      r = poll(&p, 1, 0);
    }
    if (r < 0) continue;
    now = NowNs();
    if (p.revents & POLLHUP) {
      // What the tool wrote just before it closed (an erase acknowledgement) comes first.
      if (slaveOpen_ && (p.revents & POLLIN)) Input(now);
      if (slaveOpen_) {
        slaveOpen_ = false;
        plc_.SetTimeMs(static_cast<uint64_t>((now - start_) / 1000000));
        plc_.LinkClosed();
        Log("far end closed");
        LogProgress();
      }
      continue;
    }
    if (!slaveOpen_) {
      slaveOpen_ = true;
      plc_.LinkOpened();
      Log("far end opened");
    }
    if (p.revents & POLLIN) Input(now);

    if (plc_.lineGone()) {
      Log("line gone: closing the line");
      Deliver(INT64_MAX);
      close(master_);
      master_ = -1;
      if (!o_.linkPath.empty()) unlink(o_.linkPath.c_str());
      break;
    }
    if (plc_.finished() && !reportedFinish) {
      reportedFinish = true;
      Log("transfer closed: %s", plc_.complete() ? "complete" : "incomplete");
      if (o_.exitAfter == ServerOptions::ExitAfter::kEnd) {
        lingerUntil = NowNs() + 1000000000;
      } else {
        WriteReport();
      }
    } else if (!plc_.finished()) {
      reportedFinish = false;
    }
  }
  if (master_ >= 0) Deliver(INT64_MAX);
  WriteReport();
  sigprocmask(SIG_SETMASK, &orig, nullptr);
  return 0;
}

}  // namespace

HandoverPolicy PolicyFor(HandoverOption option, uint32_t gapMs, const Profile& profile) {
  HandoverPolicy h;
  switch (option) {
    case HandoverOption::kAuto:
      h = DefaultHandover(profile);
      if (h.onClose) h.gapMs = gapMs;
      break;
    case HandoverOption::kClose:
      h.onClose = true;
      break;
    case HandoverOption::kImmediate:
      h.immediate = true;
      break;
    case HandoverOption::kGap:
      h.gapMs = gapMs;
      break;
  }
  return h;
}

int Serve(Plc& plc, const ServerOptions& options) {
  Server s(plc, options);
  return s.Run();
}

}  // namespace plcsim
