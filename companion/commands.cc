#include "companion/commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "change/open.h"
#include "companion/dump.h"
#include "companion/json_form.h"
#include "companion/open_file.h"
#include "companion/paths.h"
#include "platform/output_file.h"
#include "store/table.h"

namespace atb {

namespace {

void Say(std::FILE* err, const std::string& what) {
  std::fprintf(err, "atbutil: %s\n", what.c_str());
}

int Finish(Sink& sink, std::FILE* err) {
  sink.Flush();
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
  if (o.status != 0) return Say(err, o.message), 2;
  Sink sink(out);
  Status s = json ? DumpJson(f.file(), f.length(), names, sink)
                  : DumpText(f.file(), f.length(), names, sink);
  if (!s.ok()) {
    sink.Flush();
    return Say(err, path + ": " + s.Message()), 2;
  }
  return Finish(sink, err);
}

int CheckCommand(const std::vector<std::string>& paths, const KeyNames& names, std::FILE* out,
                 std::FILE* err) {
  int status = 0;
  for (const std::string& path : paths) {
    OpenFile f(SystemFiles());
    Outcome o = f.Open(path, OpenFile::kCheck, err);
    // A file whose change was cut short is not damaged: the next open finishes the change.
    if (o.status == 0 && f.interrupted()) {
      std::fprintf(out, "%s: an interrupted change, finished by the next open (atbutil recover)\n",
                   path.c_str());
      continue;
    }
    std::vector<TableDamage> damage;
    Status s;
    if (o.damaged) {
      damage.push_back({{}, o.message.substr(path.size() + 2)});
    } else if (o.status != 0) {
      Say(err, o.message);
      status = std::max(status, o.status);
      continue;
    } else {
      // Tables only: a window as large as a first table read, never a value.
      s = CheckTree(f.file(), ROOT_TABLE_OFFSET, f.length(), &damage);
    }
    if (s.ioError()) {
      Say(err, path + ": " + s.Message());
      status = 2;
      continue;
    }
    for (const TableDamage& d : damage) {
      const std::string where =
          d.trail.empty() ? "/" : CanonicalTablePath(f.file(), f.length(), d.trail, names);
      std::fprintf(out, "%s: %s: %s\n", path.c_str(), where.c_str(), d.reason.c_str());
    }
    if (!damage.empty() && status == 0) status = 1;
  }
  if (std::fflush(out) != 0) return Say(err, "cannot write the output"), 2;
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
  std::vector<PathStep> chain;
  bool ioError;
  if (!ResolvePath(f.file(), f.length(), elements, names, &chain, &error, &ioError)) {
    return Say(err, path + ": " + error), ioError ? 2 : 1;
  }
  const PathStep& last = chain.back();
  Sink sink(out);
  s = AppendEntryText(f.file(), last.list, last.entry, sink);
  if (s.ioError()) return Say(err, path + ": " + s.Message()), 2;
  sink.buf() += '\n';
  return Finish(sink, err);
}

int BuildCommand(const std::string& json, const std::string& outPath, const KeyNames& names,
                 std::FILE* err) {
  std::string text;
  std::FILE* in = json == "-" ? stdin : std::fopen(json.c_str(), "rb");
  if (in == nullptr) return Say(err, json + ": " + std::strerror(errno)), 2;
  char buf[1 << 16];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, n);
  const bool readFailed = std::ferror(in) != 0;
  if (in != stdin) std::fclose(in);
  if (readFailed) return Say(err, json + ": cannot be read"), 2;
  std::string bytes, error;
  if (!BuildFromJson(text, names, &bytes, &error)) {
    return Say(err, (json == "-" ? std::string("standard input") : json) + ": " + error), 2;
  }
  if (Status s = WriteWholeFile(SystemFiles(), outPath, bytes, DurableChanges()); !s.ok()) {
    return Say(err, outPath + ": " + s.Message()), s.refused() ? 1 : 2;
  }
  return 0;
}

}  // namespace atb
