#include "change/wait.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace atb {

namespace {

WaitPolicy& Policy() {
  static WaitPolicy policy;
  return policy;
}

using Clock = std::chrono::steady_clock;

// What a holder's progress is read from: the processor time it has used, and the file and the
// journal as they change. A stopped process makes none, whatever its figures.
struct Progress {
  bool stopped = false;
  bool onDisk = false;  // waiting for the disk: a flush takes its time, and is progress
  uint64_t cpu = 0;
  struct timespec fileTime = {}, journalTime = {};
  off_t fileSize = 0, journalSize = 0;

  bool operator==(const Progress& o) const {
    return cpu == o.cpu && fileSize == o.fileSize && journalSize == o.journalSize &&
           fileTime.tv_sec == o.fileTime.tv_sec && fileTime.tv_nsec == o.fileTime.tv_nsec &&
           journalTime.tv_sec == o.journalTime.tv_sec &&
           journalTime.tv_nsec == o.journalTime.tv_nsec;
  }
};

Progress ProgressOf(Files& files, pid_t pid, int fd, const std::string& journalPath) {
  Progress p;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (pid > 0 && std::getline(stat, line)) {
    // The command name in parentheses may hold anything: fields are counted after its end.
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    std::string state, skip;
    fields >> state;
    for (int k = 4; k <= 13; ++k) fields >> skip;
    uint64_t user = 0, system = 0;
    fields >> user >> system;
    p.stopped = state == "T" || state == "t";
    p.onDisk = state == "D";
    p.cpu = user + system;
  }
  struct stat st;
  if (files.Stat(fd, &st) == 0) {
    p.fileTime = st.st_mtim;
    p.fileSize = st.st_size;
  }
  if (files.StatPath(journalPath, &st) == 0) {
    p.journalTime = st.st_mtim;
    p.journalSize = st.st_size;
  }
  return p;
}

// "process 1234 (atbutil dump)", or "another process" when it cannot be told.
std::string Describe(pid_t pid) {
  if (pid <= 0) return "another process";
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string words;
  std::size_t at = 0;
  for (int k = 0; k < 2 && at < args.size(); ++k) {
    std::string arg = args.substr(at, args.find('\0', at) - at);
    at += arg.size() + 1;
    if (k == 0) arg = arg.substr(arg.rfind('/') == std::string::npos ? 0 : arg.rfind('/') + 1);
    // Only plain words: a name of the holder's choosing must not reach a terminal as it is.
    for (char& c : arg) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    words += (words.empty() ? "" : " ") + arg;
  }
  return "process " + std::to_string(pid) + (words.empty() ? "" : " (" + words + ")");
}

std::string Seconds(int64_t ms) {
  const std::string n = ms % 1000 == 0
                            ? std::to_string(ms / 1000)
                            : std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100);
  return n + (ms == 1000 ? " second" : " seconds");
}

// Calls `attempt` until it succeeds, while `holder` tells who is in the way: says so after a
// while, and gives up once the holder has made no progress for the policy's bound.
template <typename Attempt, typename HolderOf, typename ActivityOf>
Status Await(Files& files, int fd, const std::string& name, const std::string& journalPath,
             Attempt attempt, HolderOf holder, ActivityOf activityOf) {
  const WaitPolicy& policy = Policy();
  const auto start = Clock::now();
  auto lastMove = start;
  bool said = false;
  pid_t watched = -1;
  Progress seen;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    const int got = attempt();
    if (got == 0) return Status::Ok();
    if (got == -1 && errno != EWOULDBLOCK) return Status::FromErrno(errno);
    const pid_t pid = holder();
    const Progress now = ProgressOf(files, pid, fd, journalPath);
    const auto t = Clock::now();
    const bool moved = pid != watched || !(now == seen) || now.onDisk;
    if (moved && !now.stopped) lastMove = t;
    watched = pid;
    seen = now;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(t - start).count();
    if (!said && waited >= policy.sayAfterMs && policy.say) {
      policy.say(name, "waiting for " + Describe(pid) + ", which " + activityOf(pid));
      said = true;
    }
    const auto still = std::chrono::duration_cast<std::chrono::milliseconds>(t - lastMove).count();
    if (still >= policy.stallMs) {
      return Status::Stalled("locked by a stalled " + Describe(pid) + ", which " + activityOf(pid) +
                             (now.stopped ? " and is stopped" : "") +
                             ", and made no progress for " + Seconds(policy.stallMs) +
                             " (atbutil --wait SECONDS, or ATB_WAIT=SECONDS, waits longer)");
    }
    std::this_thread::sleep_for(pause);
    // Looked at often enough to see progress well within the bound.
    pause = std::min({pause * 2, std::chrono::milliseconds(50),
                      std::chrono::milliseconds(std::max<int64_t>(1, policy.stallMs / 4))});
  }
}

}  // namespace

void SetWaitPolicy(WaitPolicy policy) { Policy() = std::move(policy); }

const WaitPolicy& CurrentWaitPolicy() { return Policy(); }

std::optional<int64_t> StallBoundOf(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (*end != '\0' || !(seconds >= 0 && seconds < 1e9)) return std::nullopt;
  return static_cast<int64_t>(seconds * 1000);
}

Status AwaitChangeLock(Files& files, int fd, bool exclusive, const std::string& name,
                       const std::string& journalPath) {
  return Await(
      files, fd, name, journalPath, [&] { return files.TryLockChanges(fd, exclusive); },
      [&] { return files.ChangeLockHolder(fd, exclusive); },
      [&](pid_t pid) {
        // Only a change keeps a reader out.
        return pid > 0 && files.ChangeLockHolder(fd, false) == pid ? "is changing the file"
                                                                   : "is reading the file";
      });
}

Status AwaitEditLockFree(Files& files, int fd, const std::string& name,
                         const std::string& journalPath) {
  return Await(
      files, fd, name, journalPath,
      [&] {
        if (files.EditLockHolder(fd) == 0) return 0;
        errno = EWOULDBLOCK;
        return -1;
      },
      [&] { return files.EditLockHolder(fd); },
      [](pid_t) {
        return "is finishing an interrupted change to the file, or has it open in atb";
      });
}

}  // namespace atb
