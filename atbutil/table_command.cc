// table: the tables a selector matches as a sheet, and an edited sheet back as a patch
// (patches/sheet.h). Files are read on every core; the sheet is the same on every run.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "atb/file.h"
#include "atb/patches.h"
#include "atb/text.h"
#include "atbutil/commands.h"
#include "atbutil/file_jobs.h"
#include "atbutil/folder_commands.h"
#include "atbutil/open_file.h"
#include "atbutil/progress.h"

namespace atb {

namespace {

constexpr ExitRule kRule = ExitRule::kAnyFailureIs2;

// What reading one file came to.
struct FileRows {
  SheetFile sheet;
  std::string said;  // what opening the file said
  std::vector<std::string> damaged;
  Status error;
  bool read = false;
};

// The name a sheet gives a file: as a patch over the folder names it, or the file's own name.
std::string SheetName(const Target& t) {
  if (!t.relative.empty()) return t.relative;
  const std::size_t slash = t.path.find_last_of('/');
  return slash == std::string::npos ? t.path : t.path.substr(slash + 1);
}

void ReadRows(Files& files, const Target& t, const Selector& selector, bool root,
              const std::set<std::string>* wanted, const KeyNames& names, FileRows* r) {
  r->sheet.relative = SheetName(t);
  r->read = true;
  try {
    OpenFile f(files);
    char* said = nullptr;
    std::size_t saidLength = 0;
    std::FILE* notes = open_memstream(&said, &saidLength);
    Status s = f.Open(t.path, OpenFile::kRead, notes != nullptr ? notes : stderr);
    if (notes != nullptr) {
      std::fclose(notes);
      r->said.assign(said, saidLength);
      std::free(said);
    }
    std::function<bool(const std::string&)> take;
    if (wanted != nullptr) take = [wanted](const std::string& p) { return wanted->count(p) != 0; };
    if (s.ok()) {
      s = ReadSheetRows(f.file(), f.length(), selector, root, take, names, &r->sheet.rows,
                        &r->damaged);
    }
    r->error = s.ok() ? s : s.In(t.path);
  } catch (const std::bad_alloc&) {
    r->error = OutOfMemory().In(t.path);
  }
}

// Reads the rows of every target on every core, saying in order what went wrong; true when
// something did.
bool ReadAll(Files& files, const std::vector<Target>& targets, const Selector& selector,
             const std::function<const std::set<std::string>*(const Target&)>& wanted,
             const KeyNames& names, std::FILE* err, std::vector<SheetFile>* sheets) {
  std::vector<FileRows> results(targets.size());
  Progress progress(err, "files");
  bool trouble = false;
  RunInOrder(
      targets.size(),
      [&](std::size_t i, const auto&) {
        const std::set<std::string>* paths = wanted ? wanted(targets[i]) : nullptr;
        if (wanted && paths == nullptr) return;
        ReadRows(files, targets[i], selector, paths != nullptr ? paths->count("/") != 0 : false,
                 paths, names, &results[i]);
      },
      [&](std::size_t i) {
        FileRows& r = results[i];
        if (!r.said.empty() || !r.damaged.empty() || !r.error.ok()) progress.Clear();
        std::fputs(r.said.c_str(), err);
        for (const std::string& why : r.damaged) Say(err, targets[i].path, why);
        Report(r.error, err, kRule);
        trouble = trouble || !r.error.ok() || !r.damaged.empty();
        if (r.read && r.error.ok()) sheets->push_back(std::move(r.sheet));
        r = FileRows();
        progress.Update(static_cast<int64_t>(i + 1), static_cast<int64_t>(targets.size()));
      });
  return trouble;
}

int Table(const std::string& selectorText, const std::vector<std::string>& roots,
          const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  // "/" is no selector (it matches no entry) but names the root table of each file.
  const bool root = selectorText == "/";
  Selector selector;
  Status s = root ? Status::Ok() : ParseSelector(selectorText, names, &selector);
  if (!s.ok()) return Report(s.In("the selector"), err, kRule);
  std::vector<Target> targets;
  std::string folder;
  std::vector<std::string> others;
  if (roots.empty()) s = Status::Invalid("table needs a FILE or DIR");
  if (s.ok()) s = ListTargets(files, roots, &targets, &folder, &others);
  if (!s.ok()) return Report(s, err, kRule);
  bool leftOut = false;
  auto leaveOut = [&](const std::string& name) {
    Say(err, name, "not in the sheet: a sheet or a patch over a folder cannot name this file");
    leftOut = true;
  };
  for (const std::string& other : others) {
    if (other.size() > 4 && other.compare(other.size() - 4, 4, ".atb") == 0) leaveOut(other);
  }
  // A sheet is UTF-8: a name that is not stays out of it.
  targets.erase(std::remove_if(targets.begin(), targets.end(),
                               [&](const Target& t) {
                                 if (IsValidUtf8(SheetName(t))) return false;
                                 leaveOut(t.path);
                                 return true;
                               }),
                targets.end());
  std::vector<SheetFile> sheets;
  // Every table the selector matches; the root's row comes first where it names the root.
  std::set<std::string> rootOnly{"/"};
  const bool trouble = ReadAll(files, targets, selector,
                               root ? std::function<const std::set<std::string>*(const Target&)>(
                                          [&](const Target&) { return &rootOnly; })
                                    : nullptr,
                               names, err, &sheets);
  std::size_t rows = 0;
  for (const SheetFile& f : sheets) rows += f.rows.size();
  const bool troubled = trouble || leftOut;
  if (!(s = WriteOutput(WriteSheet(sheets, names), out)).ok()) return Report(s, err, kRule);
  if (rows == 0 && !troubled) Say(err, selectorText + ": matches no table");
  return troubled ? 2 : rows == 0 ? 1 : 0;
}

int TablePatch(const std::string& sheetPath, const std::vector<std::string>& roots,
               const KeyNames& names, std::FILE* in, std::FILE* out, std::FILE* err, Files& files) {
  if (sheetPath == "-" && std::count(roots.begin(), roots.end(), "-") > 0) {
    return Report(Status::Invalid("standard input (-) can be read only once"), err, kRule);
  }
  std::string text;
  Status s = ReadPatchText(files, sheetPath, in, &text);
  if (!s.ok()) return Report(s.In(ShownName(sheetPath)), err, kRule);
  std::vector<Target> targets;
  std::string folder;
  std::vector<std::string> others;
  if (roots.empty())
    s = Status::Invalid("table --patch needs the FILE or DIR the sheet was made of");
  if (s.ok()) s = ListTargets(files, roots, &targets, &folder, &others);
  if (!s.ok()) return Report(s, err, kRule);
  std::vector<std::string> refusals;
  const SheetReader reader(text, names, &refusals);
  Selector everyTable;
  if (!(s = ParseSelector("/**/*[?type=table]", names, &everyTable)).ok()) {
    return Report(s, err, kRule);
  }
  std::vector<SheetFile> sheets;
  const bool trouble = ReadAll(
      files, targets, everyTable,
      [&](const Target& t) -> const std::set<std::string>* {
        auto it = reader.wanted().find(SheetName(t));
        return it == reader.wanted().end() ? nullptr : &it->second;
      },
      names, err, &sheets);
  int64_t changes = 0;
  const std::string patch = reader.Patch(sheets, !folder.empty(), &refusals, &changes);
  const std::string shown = ShownName(sheetPath);
  // A hostile sheet could be refused a million times over: the first ones tell what is wrong.
  constexpr std::size_t kRefusalsSaid = 100;
  for (std::size_t k = 0; k < refusals.size() && k < kRefusalsSaid; ++k) {
    Say(err, shown, refusals[k]);
  }
  if (refusals.size() > kRefusalsSaid) {
    Say(err, shown, "and " + std::to_string(refusals.size() - kRefusalsSaid) + " more");
  }
  if (!refusals.empty() || trouble) {
    Say(err, shown + ": no patch written: " + std::to_string(refusals.size()) +
                 (refusals.size() == 1 ? " cell" : " cells") + " refused" +
                 (trouble ? ", and files above could not be read" : ""));
    return 2;
  }
  if (!(s = WriteOutput(patch, out)).ok()) return Report(s, err, kRule);
  return changes > 0 ? 1 : 0;
}

}  // namespace

int TableCommand(const std::string& selector, const std::vector<std::string>& roots,
                 const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  return RunGuarded("table", err, kRule,
                    [&] { return Table(selector, roots, names, out, err, files); });
}

int TablePatchCommand(const std::string& sheet, const std::vector<std::string>& roots,
                      const KeyNames& names, std::FILE* in, std::FILE* out, std::FILE* err,
                      Files& files) {
  return RunGuarded(sheet, err, kRule,
                    [&] { return TablePatch(sheet, roots, names, in, out, err, files); });
}

}  // namespace atb
