#include "platform/processors.h"

#include <sched.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace atb {

namespace {

// Whole processors from a quota of `quota` microseconds per `period`; 0 for none.
int Whole(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<int>(std::max(1LL, quota / period));
}

// The quota of the control group at `dir` (a directory of the cgroup file system), in whole
// processors; 0 when it has none. cgroup v2 keeps it in "cpu.max" ("QUOTA PERIOD" or "max
// PERIOD"), v1 in "cpu.cfs_quota_us" (-1 for none) and "cpu.cfs_period_us".
int GroupQuota(const std::string& dir, bool v2) {
  long long quota = 0, period = 0;
  if (v2) {
    std::ifstream max(dir + "/cpu.max");
    std::string text;
    if (max >> text >> period && text != "max") {
      try {
        quota = std::stoll(text);
      } catch (const std::exception&) {
      }
    }
  } else {
    std::ifstream(dir + "/cpu.cfs_quota_us") >> quota;
    std::ifstream(dir + "/cpu.cfs_period_us") >> period;
  }
  return Whole(quota, period);
}

// The smallest CPU quota of the control group the process is in and of the groups above it, in
// whole processors; 0 when there is none or it cannot be told.
int QuotaProcessors() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  int least = 0;
  while (std::getline(groups, line)) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    // ",cpu,cpuacct," for "cpu,cpuacct": each name between commas.
    std::string controllers(1, ',');
    controllers.append(line, first + 1, second - first - 1).push_back(',');
    std::string path = line.substr(second + 1);
    const bool v2 = controllers == ",,";
    if ((!v2 && controllers.find(",cpu,") == std::string::npos) ||
        path.find("..") != std::string::npos) {
      continue;
    }
    const std::string mount =
        v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/" + controllers.substr(1, controllers.size() - 2);
    for (;;) {
      if (const int quota = GroupQuota(mount + path, v2); quota > 0) {
        least = least == 0 ? quota : std::min(least, quota);
      }
      const std::size_t slash = path.rfind('/');
      if (slash == std::string::npos || path == "/") break;
      path.erase(slash == 0 ? 1 : slash);
    }
  }
  return least;
}

}  // namespace

int UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  int count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  const int quota = QuotaProcessors();
  if (quota > 0) count = std::min(count, quota);
  return std::max(count, 1);
}

}  // namespace atb
