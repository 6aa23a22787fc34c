// The files that a command over many files reads (check, find), and how it reads them on every
// core while its output comes out as if it read them one by one.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "atb/system.h"

namespace atb {

// One file to read, or a folder below a named one that could not be read.
struct FileJob {
  std::string path;
  Status folderError;
  bool operator<(const FileJob& o) const { return path < o.path; }
};

// For each of `paths` in turn: a file as it is, a folder as every *.atb file below it in sorted
// order (symlinks not followed), with every folder below it that cannot be read.
std::vector<FileJob> ListFileJobs(Files& files, const std::vector<std::string>& paths);

// Jobs start at most this many past the first one not finished, so that the output held for
// the ones ahead stays bounded.
inline constexpr std::size_t kJobsAhead = 64;

// Runs work(i, first) for every i below `count` on every core; finish(i) runs on the calling
// thread for each i in order, as soon as job i and every job before it are done. first() tells
// job i whether every job before it is finished, from when on it may write its output itself
// rather than hold it.
template <typename Work, typename Finish>
void RunInOrder(std::size_t count, Work work, Finish finish) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<char> done(count, 0);
  std::size_t next = 0, finished = 0;
  auto worker = [&] {
    for (;;) {
      std::size_t i;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return next >= count || next < finished + kJobsAhead; });
        if (next >= count) return;
        i = next++;
      }
      work(i, [&, i] {
        std::lock_guard<std::mutex> lock(mutex);
        return finished == i;
      });
      std::lock_guard<std::mutex> lock(mutex);
      done[i] = 1;
      changed.notify_all();
    }
  };
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> workers;
  for (unsigned k = 0; k < cores && k < count; ++k) workers.emplace_back(worker);
  for (std::size_t i = 0; i < count; ++i) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return done[i] != 0; });
    }
    finish(i);
    std::lock_guard<std::mutex> lock(mutex);
    finished = i + 1;
    changed.notify_all();
  }
  for (std::thread& t : workers) t.join();
}

}  // namespace atb
