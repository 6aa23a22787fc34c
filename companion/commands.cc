#include "companion/commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "change/open.h"
#include "companion/dump.h"
#include "companion/json_form.h"
#include "companion/open_file.h"
#include "companion/paths.h"
#include "platform/dirs.h"
#include "platform/output_file.h"
#include "store/coding.h"
#include "store/table.h"

namespace atb {

namespace {

void Say(std::FILE* err, const std::string& what) {
  std::fprintf(err, "atbutil: %s\n", what.c_str());
}

int Finish(Sink& sink, std::FILE* err) {
  errno = 0;
  sink.Finish();
  if (sink.failed()) {
    Say(err, std::string("cannot write the output: ") + std::strerror(errno));
    return 2;
  }
  return 0;
}

}  // namespace

int DumpCommand(const std::string& path, bool json, const KeyNames& names, std::FILE* out,
                std::FILE* err) {
  OpenFile f(SystemFiles());
  Outcome o = f.Open(path, OpenFile::kRead, err);
  if (o.status != 0) return Say(err, o.message), o.status;
  Sink sink(out);
  Status s = json ? DumpJson(f.file(), f.length(), names, sink)
                  : DumpText(f.file(), f.length(), names, sink);
  if (!s.ok()) {
    sink.Flush();
    return Say(err, path + ": " + s.Message()), 2;
  }
  return Finish(sink, err);
}

int TextconvCommand(const std::string& path, const KeyNames& names, std::FILE* out,
                    std::FILE* err) {
  // Read beside a change, never during one; a file that a change left half made is shown by its
  // hash, as is one that is not an attribute file, so that a diff still shows a change to it.
  OpenFile f(SystemFiles());
  Outcome o = f.Open(path, OpenFile::kCheck, err);
  if (f.fd() == -1) return Say(err, o.message), 2;
  AtbFile& file = f.file();
  Sink sink(out);
  int64_t length = 0;
  Status s = file.Length(&length);
  const Status shape = CheckFileLength(length);
  if (s.ok() && (f.interrupted() || (o.status != 0 && !o.damaged) || !shape.ok())) {
    const std::string why = f.interrupted() ? "an interrupted change, finished by the next open"
                            : !shape.ok()   ? "not an attribute file: " + shape.Message()
                                            : o.message.substr(path.size() + 2);
    sink.buf().append("/ = " + why + " (");
    s = AppendSizeAndHash(file, 0, length, sink);
    sink.buf().append(")\n");
  } else if (s.ok()) {
    uint8_t header[ROOT_TABLE_OFFSET];
    s = file.ReadAt(0, header, sizeof header);
    const uint32_t outer = DecodeFixed32(header + OUTER_SIZE_OFFSET);
    const uint32_t root = DecodeFixed32(header + ROOT_SIZE_OFFSET);
    if (s.ok() && (outer != OuterSizeFor(length) || root != RootSizeFor(length))) {
      // A file cut short shows here even where its tables still read.
      sink.buf().append("header = sizes " + std::to_string(outer) + " and " + std::to_string(root) +
                        " do not follow the length of " + std::to_string(length) + " bytes\n");
    }
    if (s.ok()) s = DumpText(file, length, names, sink, /*hashDamaged=*/true);
  }
  if (!s.ok()) {
    sink.Flush();
    return Say(err, path + ": " + s.Message()), 2;
  }
  return Finish(sink, err);
}

namespace {

// What checking one file prints, and its exit status.
struct CheckResult {
  std::string out;
  std::string err;
  int status = 0;
};

CheckResult CheckFile(const std::string& path, const KeyNames& names) {
  CheckResult r;
  OpenFile f(SystemFiles());
  // Checking never finishes an interrupted change, so the open says nothing on its own.
  Outcome o = f.Open(path, OpenFile::kCheck, stderr);
  // A file whose change was cut short is not damaged: the next open finishes the change.
  if (o.status == 0 && f.interrupted()) {
    r.out = path + ": an interrupted change, finished by the next open (atbutil recover)\n";
    return r;
  }
  std::vector<TableDamage> damage;
  Status s;
  if (o.damaged) {
    damage.push_back({{}, o.message.substr(path.size() + 2), {}, {}});
  } else if (o.status != 0) {
    r.err = "atbutil: " + o.message + "\n";
    r.status = o.status;
    return r;
  } else {
    // Tables only: a window as large as a first table read, never a value.
    s = CheckTree(f.file(), ROOT_TABLE_OFFSET, f.length(), &damage);
  }
  if (s.ioError()) {
    r.err = "atbutil: " + path + ": " + s.Message() + "\n";
    r.status = 2;
    return r;
  }
  for (const TableDamage& d : damage) {
    r.out += path + ": " + DamagedTablePath(names, d) + ": " + d.reason + "\n";
  }
  if (!damage.empty()) r.status = 1;
  return r;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// One file to check, or a folder below a named one that could not be read.
struct CheckJob {
  std::string path;
  int folderError = 0;
  bool operator<(const CheckJob& o) const { return path < o.path; }
};

// Every *.atb file below `dir`, symlinks not followed, and every folder that cannot be read.
void FindAttributeFiles(const std::string& dir, std::vector<CheckJob>* jobs) {
  struct Open {
    std::unique_ptr<DirEnum> dir;
    std::string path;
  };
  std::vector<Open> stack;
  stack.push_back({std::make_unique<DirEnum>(), dir});
  if (!stack.back().dir->Open(dir)) {
    jobs->push_back({dir, errno});
    return;
  }
  std::string name;
  DirEntryKind kind;
  while (!stack.empty()) {
    if (!stack.back().dir->Next(&name, &kind)) {
      stack.pop_back();
      continue;
    }
    if (name == "." || name == "..") continue;
    const std::string& parent = stack.back().path;
    std::string path = parent.back() == '/' ? parent + name : parent + "/" + name;
    if (kind == DirEntryKind::kDirectory) {
      auto child = std::make_unique<DirEnum>();
      if (child->OpenChild(*stack.back().dir, name)) {
        stack.push_back({std::move(child), std::move(path)});
      } else {
        jobs->push_back({std::move(path), errno});
      }
    } else if (kind == DirEntryKind::kOther && name.size() > 4 &&
               name.compare(name.size() - 4, 4, ".atb") == 0) {
      jobs->push_back({std::move(path)});
    }
  }
}

CheckResult RunCheckJob(const CheckJob& job, const KeyNames& names) {
  if (job.folderError == 0) return CheckFile(job.path, names);
  return {"", "atbutil: " + job.path + ": " + std::strerror(job.folderError) + "\n", 2};
}

}  // namespace

int CheckCommand(const std::vector<std::string>& paths, const KeyNames& names, std::FILE* out,
                 std::FILE* err) {
  std::vector<CheckJob> jobs;
  for (const std::string& path : paths) {
    if (!IsDirectory(path)) {
      jobs.push_back({path});
      continue;
    }
    const std::size_t first = jobs.size();
    FindAttributeFiles(path, &jobs);
    std::sort(jobs.begin() + static_cast<std::ptrdiff_t>(first), jobs.end());
  }

  // Files are checked on every core; their results are printed in order, each as soon as it and
  // all before it are done, so the output is that of one file after another.
  std::vector<CheckResult> results(jobs.size());
  std::vector<char> done(jobs.size(), 0);
  std::mutex mutex;
  std::condition_variable ready;
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < jobs.size();) {
      CheckResult r = RunCheckJob(jobs[i], names);
      std::lock_guard<std::mutex> lock(mutex);
      results[i] = std::move(r);
      done[i] = 1;
      ready.notify_all();
    }
  };
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> workers;
  for (unsigned k = 0; k < cores && k < jobs.size(); ++k) workers.emplace_back(work);

  int status = 0;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    CheckResult r;
    {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return done[i] != 0; });
      r = std::move(results[i]);
    }
    // Standard output first: the two streams may be one terminal.
    if (!r.err.empty()) std::fflush(out);
    std::fputs(r.out.c_str(), out);
    if (!r.err.empty()) std::fputs(r.err.c_str(), err);
    status = std::max(status, r.status);
  }
  for (std::thread& t : workers) t.join();
  if (std::fflush(out) != 0 || std::ferror(out) != 0) {
    return Say(err, std::string("cannot write the output: ") + std::strerror(errno)), 2;
  }
  return status;
}

int GetCommand(const std::string& path, const std::string& entryPath, const KeyNames& names,
               std::FILE* out, std::FILE* err) {
  std::vector<PathElement> elements;
  std::string error;
  if (!ParsePath(entryPath, &elements, &error)) return Say(err, error), 2;
  if (elements.empty()) return Say(err, "get needs the path of an entry, not the root"), 2;
  OpenFile f(SystemFiles());
  Outcome o = f.Open(path, OpenFile::kRead, err);
  if (o.status != 0) return Say(err, o.message), o.status;
  Status s;
  FoundEntry found;
  bool ioError;
  if (!FindEntry(f.file(), f.length(), elements, names, &found, &error, &ioError)) {
    return Say(err, path + ": " + error), ioError ? 2 : 1;
  }
  Sink sink(out);
  s = AppendEntryText(f.file(), found.entry.Type, found.entry.start, found.entry.end, sink);
  if (s.ioError()) return Say(err, path + ": " + s.Message()), 2;
  sink.buf() += '\n';
  return Finish(sink, err);
}

int BuildCommand(const std::string& json, const std::string& outPath, const KeyNames& names,
                 std::FILE* out, std::FILE* err) {
  // Checked first, so that a refusal comes before the input is awaited.
  if (outPath == "-" && isatty(fileno(out)) == 1) {
    return Say(err, "standard output is a terminal; name OUT, or send it into a file or pipe"), 2;
  }
  std::FILE* in = json == "-" ? stdin : std::fopen(json.c_str(), "rb");
  if (in == nullptr) return Say(err, json + ": " + std::strerror(errno)), 2;
  // Read as a stream: the document is never held, only the file it builds.
  BuiltFile built;
  std::string error;
  JsonText text(in);
  const bool accepted = BuildFromJson(text, names, &built, &error);
  if (in != stdin) std::fclose(in);
  if (text.failed()) return Say(err, json + ": cannot be read"), 2;
  if (!accepted) {
    return Say(err, (json == "-" ? std::string("standard input") : json) + ": " + error), 1;
  }
  if (outPath == "-") {
    const bool written = built.WriteTo([&](std::string_view piece) {
      return std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
    });
    if (!written || std::fflush(out) != 0) {
      return Say(err, std::string("cannot write the output: ") + std::strerror(errno)), 2;
    }
    return 0;
  }
  OutputFile file(SystemFiles(), outPath, DurableChanges());
  Status s = file.Open();
  if (s.ok()) {
    built.WriteTo([&](std::string_view piece) {
      s = file.Write(piece);
      return s.ok();
    });
  }
  if (s.ok()) s = file.Commit();
  if (!s.ok()) return Say(err, outPath + ": " + s.Message()), s.refused() ? 1 : 2;
  return 0;
}

}  // namespace atb
