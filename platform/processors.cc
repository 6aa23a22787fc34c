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

// The CPU quota of the control group the process is in, in whole processors; 0 when there is
// none or it cannot be told. cgroup v2 keeps it in "cpu.max" ("QUOTA PERIOD" or "max PERIOD"),
// v1 in the cpu controller's "cpu.cfs_quota_us" (-1 for none) and "cpu.cfs_period_us".
int QuotaProcessors() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  while (std::getline(groups, line)) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    // ",cpu,cpuacct," for "cpu,cpuacct": each name between commas.
    std::string controllers(1, ',');
    controllers.append(line, first + 1, second - first - 1).push_back(',');
    const std::string path = line.substr(second + 1);
    if (path.find("..") != std::string::npos) continue;
    long long quota = 0, period = 0;
    if (controllers == ",,") {
      std::ifstream max("/sys/fs/cgroup" + path + "/cpu.max");
      std::string text;
      if (max >> text >> period && text != "max") {
        try {
          quota = std::stoll(text);
        } catch (const std::exception&) {
        }
      }
    } else if (controllers.find(",cpu,") != std::string::npos) {
      const std::string dir = "/sys/fs/cgroup/" + controllers.substr(1, controllers.size() - 2);
      std::ifstream(dir + path + "/cpu.cfs_quota_us") >> quota;
      std::ifstream(dir + path + "/cpu.cfs_period_us") >> period;
    }
    if (const int whole = Whole(quota, period); whole > 0) return whole;
  }
  return 0;
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
