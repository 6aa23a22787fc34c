// find, and dump of what a selector matches.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "atb/file.h"
#include "atb/system.h"
#include "atb/text.h"
#include "atb/tree.h"
#include "atbutil/commands.h"
#include "atbutil/file_jobs.h"
#include "atbutil/open_file.h"
#include "atbutil/progress.h"

namespace atb {

namespace {

constexpr const char* kStandardInput = "(standard input)";
// A job holds this much output before it writes it out, once it is first in line.
constexpr std::size_t kHeldOutput = 1 << 20;

Status OutputFailed() { return Status::FromErrno(errno).In("cannot write the output"); }

Status ParsedSelector(const std::string& text, const KeyNames& names, Selector* selector) {
  Status s = ParseSelector(text, names, selector);
  return s.ok() ? s : s.In("the selector");
}

// What searching one file came to.
struct Found {
  std::string out;                      // lines not written yet
  std::string said;                     // what opening the file said
  std::vector<std::string> unsearched;  // damaged tables the selector would have looked into
  Status error;                         // what kept the file from being searched
  int64_t matches = 0;
  bool writeFailed = false;
};

// The output of one file: held while files before it are still being searched, then written
// as it comes.
class JobOutput {
 public:
  // `first` tells whether every file before this one is done; `clear` takes the progress line
  // away before this job writes itself, which it may then, as the thread printing lines in order
  // waits for it.
  template <typename First>
  JobOutput(std::FILE* out, Found* found, const First& first, std::function<void()> clear)
      : out_(out), found_(found), first_(first), clear_(std::move(clear)) {}
  Sink& sink() { return sink_; }
  void Spill() {
    std::string& held = sink_.buf();
    if (held.size() < kHeldOutput) return;
    if (!direct_) {
      if (!first_()) return;
      direct_ = true;
      clear_();
    }
    if (std::fwrite(held.data(), 1, held.size(), out_) != held.size()) found_->writeFailed = true;
    held.clear();
  }
  void Done() { found_->out = std::move(sink_.buf()); }

 private:
  std::FILE* out_;
  Found* found_;
  std::function<bool()> first_;
  std::function<void()> clear_;
  Sink sink_{nullptr};
  bool direct_ = false;
};

struct Search {
  const Selector& selector;
  FindOutput mode;
  const KeyNames& names;
  Files& files;
  std::FILE* in;
};

Status SearchSource(const Search& search, ByteSource& file, int64_t length,
                    const std::string& shown, Found* found, JobOutput& output) {
  const std::string prefix = QuotedName(shown) + ":";
  bool enough = false;
  auto visit = [&](const SelectedEntry& e) {
    ++found->matches;
    if (search.mode == FindOutput::kFiles) {
      enough = true;
      return Status::Refused("one match is enough");
    }
    if (search.mode == FindOutput::kCounts) return Status::Ok();
    std::string& line = output.sink().buf();
    line += prefix;
    line += e.path;
    line += " = ";
    Status s = AppendEntryText(*e.source, e.type, e.start, e.end, output.sink());
    if (!s.ok()) return s;
    line.push_back('\n');
    output.Spill();
    return Status::Ok();
  };
  auto damaged = [&](const SelectedEntry& e, const Status& why) {
    found->unsearched.push_back(e.path + ": a damaged table, not searched: " + why.Message());
    return Status::Ok();
  };
  Status s = SelectEntries(file, length, search.selector, search.names, visit, damaged);
  return enough ? Status::Ok() : s;
}

// The file on standard input: read where it lies when it is a regular file, else held whole.
Status SearchInput(const Search& search, Found* found, JobOutput& output) {
  const int fd = fileno(search.in);
  struct stat st;
  if (fd < 0) return Status::IoError(EBADF).In(kStandardInput);
  if (search.files.Stat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    PositionedFile file(search.files, fd);
    int64_t length = 0;
    Status s = file.Length(&length);
    if (s.ok()) s = CheckFileLength(length);
    if (!s.ok()) return s.In(kStandardInput);
    file.ExpectLength(length);
    return SearchSource(search, file, length, kStandardInput, found, output).In(kStandardInput);
  }
  std::string bytes;
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = search.files.Read(fd, buf, sizeof buf);
    if (n < 0) return Status::FromErrno(errno).In(kStandardInput);
    if (n == 0) break;
    bytes.append(buf, static_cast<std::size_t>(n));
  }
  const int64_t length = static_cast<int64_t>(bytes.size());
  Status s = CheckFileLength(length);
  if (!s.ok()) return s.In(kStandardInput);
  MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return SearchSource(search, source, length, kStandardInput, found, output).In(kStandardInput);
}

Status SearchFile(const Search& search, const std::string& path, Found* found, JobOutput& output) {
  OpenFile f(search.files);
  // The open speaks of the file (an interrupted change finished): said in the file's turn.
  char* said = nullptr;
  std::size_t saidLength = 0;
  std::FILE* notes = open_memstream(&said, &saidLength);
  Status s = f.Open(path, OpenFile::kRead, notes != nullptr ? notes : stderr);
  if (notes != nullptr) {
    std::fclose(notes);
    found->said.assign(said, saidLength);
    std::free(said);
  }
  if (!s.ok()) return s;
  return SearchSource(search, f.file(), f.length(), path, found, output).In(path);
}

void RunSearch(const Search& search, const FileJob& job, Found* found, JobOutput& output) {
  if (!job.folderError.ok()) {
    found->error = job.folderError.In(job.path);
    return;
  }
  // On a worker thread, where nothing above would catch it.
  try {
    found->error = job.path == "-" ? SearchInput(search, found, output)
                                   : SearchFile(search, job.path, found, output);
  } catch (const std::bad_alloc&) {
    found->error = OutOfMemory().In(job.path == "-" ? kStandardInput : job.path);
  }
  output.Done();
}

// Prints what searching a file came to, in its turn; true when it found trouble.
bool PrintFound(const Search& search, const std::string& shown, Found& r, std::FILE* out,
                std::FILE* err) {
  const std::string name = QuotedName(shown);
  if (std::fwrite(r.out.data(), 1, r.out.size(), out) != r.out.size()) r.writeFailed = true;
  if (search.mode == FindOutput::kCounts && r.error.ok()) {
    std::fprintf(out, "%s:%lld\n", name.c_str(), static_cast<long long>(r.matches));
  } else if (search.mode == FindOutput::kFiles && r.matches > 0) {
    std::fprintf(out, "%s\n", name.c_str());
  }
  // Standard output first: the two streams may be one terminal.
  if (!r.said.empty() || !r.unsearched.empty() || !r.error.ok()) std::fflush(out);
  std::fputs(r.said.c_str(), err);
  for (const std::string& why : r.unsearched) Say(err, shown, why);
  Report(r.error, err, ExitRule::kAnyFailureIs2);
  const bool trouble = !r.error.ok() || !r.unsearched.empty() || r.writeFailed;
  r = Found();
  return trouble;
}

}  // namespace

int FindCommand(const std::string& selectorText, const std::vector<std::string>& paths,
                FindOutput mode, const KeyNames& names, std::FILE* in, std::FILE* out,
                std::FILE* err, Files& files) {
  Selector selector;
  Status s = ParsedSelector(selectorText, names, &selector);
  if (!s.ok()) return Report(s, err, ExitRule::kAnyFailureIs2);
  std::vector<FileJob> jobs;
  for (const std::string& path : paths) {
    if (path == "-") {
      jobs.push_back({path, Status::Ok()});
      continue;
    }
    for (FileJob& job : ListFileJobs(files, {path})) jobs.push_back(std::move(job));
  }
  const Search search{selector, mode, names, files, in};
  std::vector<Found> results(jobs.size());
  bool trouble = false, matched = false;
  Progress progress(err, "files");
  RunInOrder(
      jobs.size(),
      [&](std::size_t i, const auto& first) {
        JobOutput output(out, &results[i], first, [&] { progress.ClearBefore(out); });
        RunSearch(search, jobs[i], &results[i], output);
      },
      [&](std::size_t i) {
        matched = matched || results[i].matches > 0;
        const std::string& shown = jobs[i].path == "-" ? kStandardInput : jobs[i].path;
        const Found& r = results[i];
        const bool listed =
            mode == FindOutput::kCounts || (mode == FindOutput::kFiles && r.matches > 0);
        if (listed || !r.out.empty()) progress.ClearBefore(out);
        if (!r.said.empty() || !r.unsearched.empty() || !r.error.ok()) progress.Clear();
        trouble = PrintFound(search, shown, results[i], out, err) || trouble;
        progress.Update(static_cast<int64_t>(i + 1), static_cast<int64_t>(jobs.size()));
      });
  progress.Clear();
  errno = 0;
  if (std::fflush(out) != 0 || std::ferror(out) != 0) return Report(OutputFailed(), err);
  return trouble ? 2 : matched ? 0 : 1;
}

int DumpSelectedCommand(const std::string& path, const std::string& selectorText,
                        const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  return RunReported(path, err, [&] {
    Selector selector;
    Status s = ParsedSelector(selectorText, names, &selector);
    if (!s.ok()) return s;
    selector.below = true;
    OpenFile f(files);
    if (!(s = f.Open(path, OpenFile::kRead, err)).ok()) return s;
    Sink sink(out);
    int64_t matched = 0;
    s = SelectEntries(f.file(), f.length(), selector, names, [&](const SelectedEntry& e) {
      ++matched;
      sink.buf() += e.path;
      sink.buf() += " = ";
      Status v = AppendEntryText(*e.source, e.type, e.start, e.end, sink);
      if (!v.ok()) return v;
      sink.buf().push_back('\n');
      sink.Spill();
      return Status::Ok();
    });
    if (!s.ok()) {
      sink.Flush();
      return s.In(path);
    }
    errno = 0;
    sink.Finish();
    if (sink.failed()) return OutputFailed();
    if (matched == 0) return Status::Refused("nothing matches " + selectorText).In(path);
    return Status::Ok();
  });
}

}  // namespace atb
