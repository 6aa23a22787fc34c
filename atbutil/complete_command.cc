// atbutil __complete-path, for the bash completion: what can follow a path typed so far.
#include <cerrno>
#include <string>
#include <vector>

#include "atb/file.h"
#include "atb/text.h"
#include "atb/tree.h"
#include "atbutil/commands.h"
#include "atbutil/open_file.h"

namespace atb {

namespace {

Status CompletePath(const std::string& path, const std::string& prefix, const KeyNames& names,
                    std::FILE* out, std::FILE* err, Files& files) {
  // What lies up to the last "/" names the table; it stays as typed, so that every candidate
  // goes on from what the shell has. Nothing typed yet starts at the root, as dump writes it.
  const std::size_t slash = prefix.rfind('/');
  const std::string typed = slash != std::string::npos ? prefix.substr(0, slash + 1)
                            : prefix.empty()           ? std::string("/")
                                                       : std::string();
  // Parsed as the path of an entry in that table, so that "a//" or "@" names none.
  std::vector<PathElement> elements;
  Status s = ParsePath(typed + "x", &elements);
  if (!s.ok()) return s;
  elements.pop_back();

  OpenFile f(files);
  if (!(s = f.Open(path, OpenFile::kPeek, err)).ok()) return s;
  PathResolver resolver(f.file(), f.length(), names);
  int64_t table = ROOT_TABLE_OFFSET, end = f.length();
  if (!elements.empty()) {
    std::vector<PathStep> chain;
    if (!(s = resolver.Resolve(elements, &chain)).ok()) return s;
    const PathStep& last = chain.back();
    if (!last.list->Is(last.entry, EntryType::Reference)) return Status::Refused("not a table");
    table = last.list->ExtentStart(last.entry);
    end = last.list->ExtentEnd(last.entry);
  }
  const EntryList* list;
  if (!(s = resolver.Read(table, end, &list)).ok()) return s;

  const ElementNamer namer(names, *list);
  std::string lines, candidate;
  int offered = 0;
  for (uint32_t i = 0; i < list->count && offered < kMostCandidates; ++i) {
    candidate = typed;
    namer.AppendElement(*list, i, &candidate);
    if (list->Is(i, EntryType::Reference)) candidate.push_back('/');
    if (candidate.compare(0, prefix.size(), prefix) != 0) continue;
    lines += candidate;
    lines.push_back('\n');
    ++offered;
  }
  // A change begun while the tables were read may have shown them half moved.
  if (!(s = f.Unchanging()).ok()) return s;
  errno = 0;
  if (std::fputs(lines.c_str(), out) < 0 || std::fflush(out) != 0) {
    return Status::FromErrno(errno).In("cannot write the output");
  }
  return Status::Ok();
}

}  // namespace

int CompletePathCommand(const std::string& path, const std::string& prefix, const KeyNames& names,
                        std::FILE* out, std::FILE* err, Files& files) {
  return RunReported(ShownName(path), err,
                     [&] { return CompletePath(path, prefix, names, out, err, files); });
}

}  // namespace atb
