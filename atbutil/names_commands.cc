// names and hash, and where atbutil's names come from.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>

#include "atb/text.h"
#include "atb/tree.h"
#include "atbutil/commands.h"
#include "atbutil/file_jobs.h"
#include "atbutil/open_file.h"
#include "atbutil/progress.h"

namespace atb {

namespace {

struct NamesResult {
  NameFinds finds;
  Status error;
};

NamesResult ReadNames(const FileJob& job, Files& files) {
  NamesResult r;
  const std::string shown = ShownName(job.path);
  if (!job.folderError.ok()) {
    r.error = job.folderError.In(shown);
    return r;
  }
  // On a worker thread, where nothing above would catch it.
  try {
    OpenFile f(files);
    Status s = f.Open(job.path, OpenFile::kRead, stderr);
    std::string damage;
    if (s.ok()) s = FindNames(f.file(), f.length(), &r.finds, &damage).In(shown);
    // The names of its sound tables still count.
    if (s.ok() && !damage.empty()) s = Status::Damaged(damage).In(shown);
    r.error = s;
  } catch (const std::bad_alloc&) {
    r.error = OutOfMemory().In(shown);
  }
  return r;
}

}  // namespace

Status LoadNames(const NameSources& sources, KeyNames* names, Files& files) {
  names->AddLabel(REF_NAME_KEY, kReferenceNameLabel);
  for (const std::string& path : sources.files) {
    Status s = names->AddNamesFile(path, files);
    if (!s.ok()) return s;
  }
  for (std::size_t at = 0; at <= sources.list.size();) {
    std::size_t end = sources.list.find(':', at);
    if (end == std::string::npos) end = sources.list.size();
    if (end > at) {
      Status s = names->AddNamesFile(sources.list.substr(at, end - at), files);
      if (!s.ok()) return s.In("ATB_NAMES");
    }
    at = end + 1;
  }
  if (sources.config.empty()) return Status::Ok();
  Status s = names->AddNamesFile(sources.config, files);
  // The user's own names file is there only when made; one this user may not read lies in a home
  // that is not theirs (as under sudo or su, which keep HOME).
  if (!s.ok() && s.ioError() && (s.err() == ENOENT || s.err() == ENOTDIR || s.err() == EACCES)) {
    return Status::Ok();
  }
  return s;
}

int NamesCommand(const std::vector<std::string>& paths, const KeyNames& names, std::FILE* out,
                 std::FILE* err, Files& files) {
  if (std::count(paths.begin(), paths.end(), "-") > 1) {
    return Report(Status::Invalid("standard input (-) can be read only once"), err);
  }
  const std::vector<FileJob> jobs = ListFileJobs(files, paths);
  std::vector<NamesResult> results(jobs.size());
  Progress progress(err, "files");
  NameFinds all;
  int status = 0;
  RunInOrder(
      jobs.size(), [&](std::size_t i, const auto&) { results[i] = ReadNames(jobs[i], files); },
      [&](std::size_t i) {
        NamesResult r = std::move(results[i]);
        if (!r.error.ok()) {
          progress.Clear();
          Say(err, r.error.Message());
          status = 2;
        }
        all.Add(std::move(r.finds));
        progress.Update(static_cast<int64_t>(i + 1), static_cast<int64_t>(jobs.size()));
      });
  progress.Clear();
  Sink sink(out);
  try {
    sink.buf() = NamesFileText(all, names);
  } catch (const std::bad_alloc&) {
    return Report(OutOfMemory(), err);
  }
  if (Status s = FinishOutput(sink); !s.ok()) return Report(s, err);
  return status;
}

int HashCommand(const std::vector<std::string>& words, const KeyNames& names, std::FILE* out,
                std::FILE* err) {
  Sink sink(out);
  for (const std::string& word : words) {
    sink.buf() += std::to_string(names.KeyOfWord(word)) + "\n";
  }
  errno = 0;
  sink.Finish();
  if (sink.failed()) return Report(Status::FromErrno(errno).In("cannot write the output"), err);
  return 0;
}

}  // namespace atb
