// The files a command over many files reads, found below the folders named, and the way it reads
// them: on every core, what each comes to handled in order.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "atb/system.h"

namespace atb {

// One file to read, or a folder below a named one that could not be read.
struct CheckJob {
  std::string path;
  Status folderError;
  bool operator<(const CheckJob& o) const { return path < o.path; }
};

// Every *.atb file below `path`, symlinks not followed, and every folder that cannot be read; or
// `path` itself when it names no folder (and "-", standard input, as it stands). Each named
// path's files come in sorted order.
void FindAttributeFiles(Files& files, const std::string& path, std::vector<CheckJob>* jobs);

// Runs work(i) for every i below n on every core, and then(i, result) in the order of i, each as
// soon as it and all before it are done: the output is that of one after another.
template <typename Result, typename Work, typename Then>
void RunInOrder(std::size_t n, Work work, Then then) {
  std::vector<Result> results(n);
  std::vector<char> done(n, 0);
  std::mutex mutex;
  std::condition_variable ready;
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < n;) {
      Result r = work(i);
      std::lock_guard<std::mutex> lock(mutex);
      results[i] = std::move(r);
      done[i] = 1;
      ready.notify_all();
    }
  };
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> workers;
  for (unsigned k = 0; k < cores && k < n; ++k) workers.emplace_back(worker);
  for (std::size_t i = 0; i < n; ++i) {
    Result r;
    {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return done[i] != 0; });
      r = std::move(results[i]);
    }
    then(i, r);
  }
  for (std::thread& t : workers) t.join();
}

}  // namespace atb
