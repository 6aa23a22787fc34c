#include "atbutil/commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "atb/file.h"
#include "atb/system.h"
#include "atb/text.h"
#include "atb/tree.h"
#include "atbutil/file_jobs.h"
#include "atbutil/open_file.h"
#include "atbutil/progress.h"

namespace atb {

namespace {

Status OutputFailed() { return Status::FromErrno(errno).In("cannot write the output"); }

Status Dump(const std::string& path, bool json, const KeyNames& names, std::FILE* out,
            std::FILE* err, Files& files) {
  OpenFile f(files);
  Status s = f.Open(path, OpenFile::kRead, err);
  if (!s.ok()) return s;
  Sink sink(out);
  s = json ? DumpJson(f.file(), f.length(), names, sink)
           : DumpText(f.file(), f.length(), names, sink);
  if (!s.ok()) {
    sink.Flush();
    return s.In(ShownName(path));
  }
  return FinishOutput(sink);
}

Status Textconv(const std::string& path, const KeyNames& names, std::FILE* out, std::FILE* err,
                Files& files) {
  // Read beside a change, never during one, and once an interrupted change is finished; a file
  // whose change cannot be finished is shown by its hash, as is one that is not an attribute
  // file, so that a diff still shows a change to it.
  OpenFile f(files);
  const Status opened = f.Open(path, OpenFile::kRead, err);
  // A failing disk is no content to show: only a file that is refused, damaged or held by a
  // stalled process is shown as bytes.
  const bool atFault = opened.damaged() || opened.refused() || opened.tooLarge();
  if (f.fd() == -1 && atFault) {
    // Refused before a byte was read (a folder, a pipe): said as what it is.
    Sink sink(out);
    sink.buf().append("/ = " + Printable(opened.Reason()) + "\n");
    return FinishOutput(sink);
  }
  if (f.fd() == -1 || (!opened.ok() && !atFault && !opened.stalled())) return opened;
  PositionedFile& file = f.file();
  Sink sink(out);
  int64_t length = 0;
  Status s = file.Length(&length);
  const Status shape = CheckFileLength(length);
  FileMark mark;
  if (s.ok() && !opened.ok() && !opened.stalled()) s = ReadFileMark(file, &mark);
  if (s.ok() && (f.interrupted() || (!opened.ok() && !opened.damaged()) || !shape.ok())) {
    // Said by the file's bytes alone: git shows it from a copy under a name of its own.
    const std::string why = f.interrupted() ? "an interrupted change, finished by the next open"
                            : mark.marked
                                ? "a change to it was interrupted (change " +
                                      NonceText(mark.nonce) + ") and cannot be finished here"
                            : !shape.ok() ? "not an attribute file: " + shape.Message()
                                          : Printable(opened.Reason());
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
    return s.In(ShownName(path));
  }
  return FinishOutput(sink);
}

}  // namespace

int DumpCommand(const std::string& path, bool json, const KeyNames& names, std::FILE* out,
                std::FILE* err, Files& files) {
  return RunReported(ShownName(path), err,
                     [&] { return Dump(path, json, names, out, err, files); });
}

int TextconvCommand(const std::string& path, const KeyNames& names, std::FILE* out, std::FILE* err,
                    Files& files) {
  // It fails only when the file cannot be read, whatever kept it from being read.
  return RunReported(ShownName(path), err, ExitRule::kAnyFailureIs2,
                     [&] { return Textconv(path, names, out, err, files); });
}

namespace {

// What checking one file prints, and what kept it from being checked.
struct CheckResult {
  std::string out;
  Status error;
  bool damaged = false;
};

CheckResult CheckFile(const std::string& named, const KeyNames& names, Files& files) {
  const std::string path = ShownName(named);
  CheckResult r;
  OpenFile f(files);
  // Checking never finishes an interrupted change, so the open says nothing on its own.
  Status s = f.Open(named, OpenFile::kCheck, stderr);
  // A file whose change was cut short is not sound until the next open finishes the change.
  if (s.ok() && f.interrupted()) {
    r.out =
        QuotedName(path) + ": an interrupted change, finished by the next open (atbutil recover)\n";
    r.damaged = true;
    return r;
  }
  std::vector<TableDamage> damage;
  if (s.damaged()) {
    damage.push_back({{}, s.Reason(), {}, {}});
    s = Status::Ok();
  } else if (!s.ok()) {
    r.error = s;
    return r;
  } else {
    // Tables only: a window as large as a first table read, never a value.
    s = CheckTree(f.file(), ROOT_TABLE_OFFSET, f.length(), &damage);
  }
  if (s.ioError()) {
    r.error = s.In(path);
    return r;
  }
  for (const TableDamage& d : damage) {
    r.out +=
        QuotedName(path) + ": " + Printable(DamagedTablePath(names, d) + ": " + d.reason) + "\n";
  }
  r.damaged = !damage.empty();
  return r;
}

CheckResult RunCheckJob(const FileJob& job, const KeyNames& names, Files& files) {
  if (!job.folderError.ok()) return {"", job.folderError.In(job.path)};
  // On a worker thread, where nothing above would catch it.
  try {
    return CheckFile(job.path, names, files);
  } catch (const std::bad_alloc&) {
    return {"", OutOfMemory().In(ShownName(job.path))};
  }
}

}  // namespace

int CheckCommand(const std::vector<std::string>& paths, const KeyNames& names, std::FILE* out,
                 std::FILE* err, Files& files) {
  if (std::count(paths.begin(), paths.end(), "-") > 1) {
    return Report(Status::Invalid("standard input (-) can be read only once"), err);
  }
  const std::vector<FileJob> jobs = ListFileJobs(files, paths);
  // Files are checked on every core; their results are printed in order, each as soon as it and
  // all before it are done, so the output is that of one file after another, the progress line
  // cleared before each.
  std::vector<CheckResult> results(jobs.size());
  Progress progress(err, "files");
  int status = 0;
  RunInOrder(
      jobs.size(),
      [&](std::size_t i, const auto&) { results[i] = RunCheckJob(jobs[i], names, files); },
      [&](std::size_t i) {
        const CheckResult r = std::move(results[i]);
        if (!r.out.empty()) progress.ClearBefore(out);
        if (!r.error.ok()) progress.Clear();
        // Standard output first: the two streams may be one terminal.
        if (!r.error.ok()) std::fflush(out);
        std::fputs(r.out.c_str(), out);
        status = std::max({status, ExitStatus(r.damaged ? Status::Damaged({}) : Status::Ok()),
                           Report(r.error, err)});
        progress.Update(static_cast<int64_t>(i + 1), static_cast<int64_t>(jobs.size()));
      });
  progress.Clear();
  if (std::fflush(out) != 0 || std::ferror(out) != 0) return Report(OutputFailed(), err);
  return status;
}

namespace {

// Every path is resolved, and every raw text read, before a byte is printed: a shell that reads
// the values into variables in order gets all of them or none, never one in another's place.
Status Get(const std::string& path, const std::vector<std::string>& entryPaths, GetForm form,
           const KeyNames& names, std::FILE* out, std::FILE* err, Files& files, bool* missed) {
  const std::string shown = ShownName(path);
  std::vector<std::vector<PathElement>> parsed(entryPaths.size());
  for (std::size_t k = 0; k < entryPaths.size(); ++k) {
    Status s = ParsePath(entryPaths[k], &parsed[k]);
    if (!s.ok()) return s;
    if (parsed[k].empty()) return Status::Invalid("get needs the path of an entry, not the root");
  }
  OpenFile f(files);
  Status s = f.Open(path, OpenFile::kRead, err);
  if (!s.ok()) return s;
  std::vector<FoundEntry> found(entryPaths.size());
  Status worst;
  for (std::size_t k = 0; k < entryPaths.size(); ++k) {
    s = FindEntry(f.file(), f.length(), parsed[k], names, &found[k]);
    if (s.ok() && form.raw) {
      std::string ignored;
      bool isText;
      const CursorEntry& e = found[k].entry;
      s = AppendRawText(f.file(), e.Type, e.start, e.end, &ignored, &isText).In(entryPaths[k]);
    }
    if (s.ioError()) return s.In(shown);
    if (!s.ok()) {
      Say(err, shown, s.Message());
      if (worst.ok() || ExitStatus(s) > ExitStatus(worst)) worst = s;
    }
  }
  if (!worst.ok()) {
    *missed = true;
    return worst;
  }
  Sink sink(out);
  for (const FoundEntry& one : found) {
    const CursorEntry& e = one.entry;
    bool isText = false;
    if (form.raw) s = AppendRawText(f.file(), e.Type, e.start, e.end, &sink.buf(), &isText);
    if (s.ok() && !isText) s = AppendEntryText(f.file(), e.Type, e.start, e.end, sink);
    if (!s.ok()) return s.In(shown);
    sink.buf() += form.end;
    sink.Spill();
  }
  return FinishOutput(sink);
}

Status Build(const std::string& json, const std::string& outPath, const KeyNames& names,
             std::FILE* out, Files& files) {
  // Checked first, so that a refusal comes before the input is awaited.
  if (outPath == "-" && isatty(fileno(out)) == 1) {
    return Status::Invalid(
        "standard output is a terminal; name OUT, or send it into a file or pipe");
  }
  const bool fromIn = json == "-";
  const int in = fromIn ? STDIN_FILENO : files.Open(json, O_RDONLY | O_CLOEXEC, 0);
  if (in == -1) return Status::FromErrno(errno).In(json);
  // Read as a stream: the document is never held, only the file it builds.
  BuiltFile built;
  JsonText text(files, in);
  const Status accepted = BuildFromJson(text, names, &built);
  if (!fromIn) files.Close(in);
  if (text.failed()) {
    return Status::IoError(text.error(),
                           json + ": cannot be read: " + Status::IoError(text.error()).Reason());
  }
  if (!accepted.ok()) return accepted.In(json == "-" ? std::string("standard input") : json);
  if (outPath == "-") {
    const bool written = built.WriteTo([&](std::string_view piece) {
      return std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
    });
    if (!written || std::fflush(out) != 0) return OutputFailed();
    return Status::Ok();
  }
  OutputFile file(files, outPath, DurableChanges());
  Status s = file.Open();
  if (s.ok()) {
    built.WriteTo([&](std::string_view piece) {
      s = file.Write(piece);
      return s.ok();
    });
  }
  if (s.ok()) s = file.Commit();
  return s.In(outPath);
}

}  // namespace

int GetCommand(const std::string& path, const std::vector<std::string>& entryPaths, GetForm form,
               const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  bool missed = false;
  Status s;
  try {
    s = Get(path, entryPaths, form, names, out, err, files, &missed);
  } catch (const std::bad_alloc&) {
    s = OutOfMemory().In(ShownName(path));
  }
  // Each path that matched nothing was said as it was met.
  return missed ? ExitStatus(s) : Report(s, err);
}

int GetCommand(const std::string& path, const std::string& entryPath, const KeyNames& names,
               std::FILE* out, std::FILE* err, Files& files) {
  return GetCommand(path, std::vector<std::string>{entryPath}, GetForm{}, names, out, err, files);
}

int BuildCommand(const std::string& json, const std::string& outPath, const KeyNames& names,
                 std::FILE* out, std::FILE* err, Files& files) {
  return RunReported(json == "-" ? std::string("standard input") : json, err,
                     [&] { return Build(json, outPath, names, out, files); });
}

}  // namespace atb
