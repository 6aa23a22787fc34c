// set, extract and insert (the dialogue's changes, addressed by path), and add and remove, all
// made through the same change layer.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "atb/change.h"
#include "atb/system.h"
#include "atb/text.h"
#include "atb/tree.h"
#include "atbutil/commands.h"
#include "atbutil/folder_commands.h"
#include "atbutil/open_file.h"

namespace atb {

namespace {

// A read that fails, whatever its kind: the command cannot go on.
Status ReadFailure(const Status& s) {
  return s.ioError() ? s : Status::IoError(s.err(), s.Message());
}

// Resolves a path to its chain of tables.
Status Resolve(PathResolver& resolver, const std::string& file, const std::string& path,
               std::vector<PathStep>* chain) {
  std::vector<PathElement> elements;
  Status s = ParsePath(path, &elements);
  if (!s.ok()) return s;
  if (!(s = resolver.Resolve(elements, chain)).ok()) return s.In(file);
  if (elements.empty()) chain->back().entry = static_cast<uint32_t>(-1);
  return Status::Ok();
}

TableChain ChainOf(const std::vector<PathStep>& steps) {
  TableChain chain;
  for (const PathStep& step : steps) chain.push_back({step.table, step.end, step.entry});
  return chain;
}

// Whatever the change layer declines (damaged tables, too large, no space), the command reports
// as its change refused: nothing was written. A disk, a size limit or memory without space for it
// keeps its own exit status.
Status ApplyChange(OpenFile& f, const std::string& path, const Change& change) {
  Status s = change.Apply(f.target());
  if (s.ioError()) return s.In(path);
  if (s.noSpace()) return s.In("change refused").In(path);
  if (!s.ok()) return Status::Refused("change refused: " + s.Message()).In(path);
  return f.Close();
}

// Whether `text` is the entry's value as dump prints it, but for blanks around it.
Status ShowsAs(PositionedFile& file, const EntryList& list, uint32_t i, std::string_view text,
               bool* same) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  Sink shown(nullptr);
  Status s = AppendEntryText(file, list, i, shown);
  if (!s.ok()) return ReadFailure(s);
  *same = shown.buf() == text;
  return Status::Ok();
}

Status Set(const std::string& path, const std::vector<std::string>& pairs, const KeyNames& names,
           Files& files, std::FILE* err) {
  if (pairs.empty() || pairs.size() % 2 != 0) return Status::Invalid("set needs PATH VALUE pairs");
  OpenFile f(files);
  Status o = f.Open(path, OpenFile::kEdit, err);
  if (!o.ok()) return o;
  PathResolver resolver(f.file(), f.length(), names);
  Change change;
  std::map<std::pair<int64_t, uint32_t>, std::string> seen;
  std::vector<PathStep> steps;
  for (std::size_t p = 0; p < pairs.size(); p += 2) {
    const std::string& entryPath = pairs[p];
    o = Resolve(resolver, path, entryPath, &steps);
    if (!o.ok()) return o;
    if (steps.size() == 1 && steps[0].entry == static_cast<uint32_t>(-1)) {
      return Status::Invalid("set needs the path of an entry, not the root");
    }
    const PathStep& last = steps.back();
    auto [it, fresh] = seen.try_emplace({last.table, last.entry}, entryPath);
    if (!fresh)
      return Status::Refused(entryPath + " and " + it->second + " are one entry").In(path);
    int64_t pos = 0, removed = 0;
    std::string bytes;
    o = PlanSetValue(f.file(), *last.list, last.entry, pairs[p + 1], path + ": " + entryPath, &pos,
                     &removed, &bytes);
    if (!o.ok()) {
      // A form that cannot be written (a reference, a hash) is still taken back as it stands.
      bool same = false;
      Status c = ShowsAs(f.file(), *last.list, last.entry, pairs[p + 1], &same);
      if (!c.ok()) return c;
      if (same) continue;
      return o;
    }
    change.Replace(ChainOf(steps), pos, removed, std::move(bytes));
  }
  return ApplyChange(f, path, change);
}

Status Extract(const std::string& path, const std::string& entryPath, const std::string& outPath,
               const KeyNames& names, Files& files, std::FILE* err) {
  OpenFile f(files);
  Status o = f.Open(path, OpenFile::kRead, err);
  if (!o.ok()) return o;
  PathResolver resolver(f.file(), f.length(), names);
  std::vector<PathStep> steps;
  o = Resolve(resolver, path, entryPath, &steps);
  if (!o.ok()) return o;
  if (steps.size() == 1 && steps[0].entry == static_cast<uint32_t>(-1)) {
    return Status::Invalid("extract needs the path of an entry, not the root");
  }
  const EntryList& list = *steps.back().list;
  bool readFailed;
  Status s = CopyOut(f.file(), list.ExtentStart(steps.back().entry),
                     list.ExtentEnd(steps.back().entry), outPath, &readFailed);
  if (s.ok()) return s;
  if (readFailed) return ReadFailure(s).In(path);
  return s.In(outPath);
}

Status Insert(const std::string& path, const std::string& tablePath, const std::string& keyText,
              const std::string& sidePath, const KeyNames& names, Files& files, std::FILE* err) {
  uint32_t key;
  if (!ParseKey(keyText, names, &key)) {
    return Status::Invalid("\"" + keyText + "\" is not a key (a number, a label or a name)");
  }
  OpenFile f(files);
  Status o = f.Open(path, OpenFile::kEdit, err);
  if (!o.ok()) return o;
  PathResolver resolver(f.file(), f.length(), names);
  std::vector<PathStep> steps;
  o = Resolve(resolver, path, tablePath, &steps);
  if (!o.ok()) return o;
  TableChain chain = ChainOf(steps);
  if (steps.back().entry != static_cast<uint32_t>(-1)) {
    const EntryList& list = *steps.back().list;
    const uint32_t i = steps.back().entry;
    if (!list.Is(i, EntryType::Reference)) {
      return Status::Refused(tablePath + " is not a reference").In(path);
    }
    chain.push_back({list.ExtentStart(i), list.ExtentEnd(i), 0});
  }

  // The side file is checked before the attribute file is touched, and read while it is.
  SideTable side(files);
  Status s = side.Open(sidePath, f.length(), f.fd());
  if (s.damaged()) return Status::Damaged("bad side file: " + s.Message()).In(sidePath);
  if (!s.ok()) return s.In(sidePath);

  Change change;
  change.Insert(std::move(chain), key, static_cast<uint32_t>(EntryType::Reference), side.source(),
                side.size(), true);
  return ApplyChange(f, path, change);
}

// The entry type a TYPE word of `add` names.
bool AddTypeOfWord(const std::string& word, EntryType* type) {
  uint32_t code;
  if (!TypeOfWord(word, TypeSpelling::kPatch, &code)) return false;
  *type = static_cast<EntryType>(code);
  return true;
}

// A new entry's extent: the value alone, or for a table, a table holding only its name (or
// nothing, for `empty`).
Status NewValue(EntryType type, const std::string& text, const std::string& where,
                std::string* bytes) {
  ParsedValue value;
  if (type == EntryType::Reference) {
    const std::size_t start = text.find_first_not_of(' ');
    const std::size_t end = text.find_last_not_of(' ');
    if (start != std::string::npos && text.substr(start, end + 1 - start) == "empty") {
      *bytes = TableBuilder().Finish();
      return Status::Ok();
    }
    if (start == std::string::npos || text[start] != '"') {
      return Status::Refused("a table takes its name as a quoted text, or empty").In(where);
    }
  }
  const EntryType parsedAs = type == EntryType::Reference ? EntryType::Text : type;
  if (Status s = ParseValue(text, static_cast<uint32_t>(parsedAs), &value); !s.ok()) {
    return s.In(where);
  }
  if (value.whole) {
    return Status::Refused(
               "a new entry holds its value alone: no trailing, empty, short or unterminated form")
        .In(where);
  }
  if (type != EntryType::Reference) {
    *bytes = std::move(value.bytes);
    return Status::Ok();
  }
  TableBuilder table;
  table.Add(REF_NAME_KEY, static_cast<uint32_t>(EntryType::Text), value.bytes);
  *bytes = table.Finish();
  return Status::Ok();
}

Status Add(const std::string& path, const std::vector<std::string>& args, const KeyNames& names,
           Files& files, std::FILE* err) {
  if (args.empty() || args.size() % 3 != 0) {
    return Status::Invalid("add needs PATH TYPE VALUE triples");
  }
  // What can be told without the file is told first.
  std::vector<std::vector<PathElement>> parsed(args.size() / 3);
  std::vector<EntryType> types(args.size() / 3);
  for (std::size_t t = 0; t < parsed.size(); ++t) {
    const std::string& entryPath = args[3 * t];
    Status s = ParsePath(entryPath, &parsed[t]);
    if (!s.ok()) return s;
    if (parsed[t].empty()) {
      return Status::Invalid("add needs the table's path and the new entry's key, not the root");
    }
    const PathElement& key = parsed[t].back();
    if (!IsKeyElement(key)) {
      return Status::Invalid("a new entry's key is a label, a name or a number, not \"" + key.text +
                             "\"")
          .In(entryPath);
    }
    if (!AddTypeOfWord(args[3 * t + 1], &types[t])) {
      return Status::Invalid("\"" + args[3 * t + 1] +
                             "\" is not a type: float, bool, text, localized or table");
    }
  }
  OpenFile f(files);
  Status o = f.Open(path, OpenFile::kEdit, err);
  if (!o.ok()) return o;
  PathResolver resolver(f.file(), f.length(), names);
  Change change;
  std::map<std::pair<int64_t, uint32_t>, std::string> adding;
  std::vector<PathStep> steps;
  for (std::size_t t = 0; t < parsed.size(); ++t) {
    const std::string& entryPath = args[3 * t];
    const std::string where = path + ": " + entryPath;
    const PathElement keyElement = parsed[t].back();
    parsed[t].pop_back();
    o = resolver.Resolve(parsed[t], &steps);
    if (!o.ok()) return o.In(path);
    TableChain chain = ChainOf(steps);
    const EntryList* table = steps.back().list;
    if (!parsed[t].empty()) {
      const EntryList& list = *steps.back().list;
      const uint32_t i = steps.back().entry;
      if (!list.Is(i, EntryType::Reference)) {
        return Status::Refused("\"" + parsed[t].back().text + "\" is not a reference").In(where);
      }
      chain.push_back({list.ExtentStart(i), list.ExtentEnd(i), 0});
      Status s = resolver.Read(list.ExtentStart(i), list.ExtentEnd(i), &table);
      if (s.ioError()) return s.In(where);
      if (!s.ok()) return Status::Damaged("the table is damaged: " + s.Message()).In(where);
    }
    const uint32_t key = KeyOfElement(keyElement, names);
    for (uint32_t i = 0; i < table->count; ++i) {
      if (table->ID[i] == key) {
        return Status::Refused("the table already holds " + keyElement.text + ": use set")
            .In(where);
      }
    }
    auto [it, fresh] = adding.try_emplace({chain.back().table, key}, entryPath);
    if (!fresh) {
      return Status::Refused(where + " and " + it->second + " add one key to one table");
    }
    std::string bytes;
    o = NewValue(types[t], args[3 * t + 2], where, &bytes);
    if (!o.ok()) return o;
    change.Insert(std::move(chain), key, static_cast<uint32_t>(types[t]), std::move(bytes));
  }
  return ApplyChange(f, path, change);
}

Status Remove(const std::string& path, const std::vector<std::string>& entryPaths,
              const KeyNames& names, Files& files, std::FILE* err) {
  if (entryPaths.empty()) return Status::Invalid("remove needs the paths of entries");
  OpenFile f(files);
  Status o = f.Open(path, OpenFile::kEdit, err);
  if (!o.ok()) return o;
  PathResolver resolver(f.file(), f.length(), names);
  Change change;
  // Every entry taken out, and every reference that a path goes through, by the path that
  // named it first.
  std::map<std::pair<int64_t, uint32_t>, std::string> targets, through;
  std::vector<PathStep> steps;
  for (const std::string& entryPath : entryPaths) {
    o = Resolve(resolver, path, entryPath, &steps);
    if (!o.ok()) return o;
    if (steps.size() == 1 && steps[0].entry == static_cast<uint32_t>(-1)) {
      return Status::Invalid("remove needs the path of an entry, not the root");
    }
    const std::pair<int64_t, uint32_t> target{steps.back().table, steps.back().entry};
    if (auto it = targets.find(target); it != targets.end()) {
      return Status::Refused(entryPath + " and " + it->second + " are one entry").In(path);
    }
    if (auto it = through.find(target); it != through.end()) {
      return Status::Refused(it->second + " lies inside " + entryPath + ": remove one of them")
          .In(path);
    }
    for (std::size_t l = 0; l + 1 < steps.size(); ++l) {
      const std::pair<int64_t, uint32_t> link{steps[l].table, steps[l].entry};
      if (auto it = targets.find(link); it != targets.end()) {
        return Status::Refused(entryPath + " lies inside " + it->second + ": remove one of them")
            .In(path);
      }
      through.try_emplace(link, entryPath);
    }
    targets.emplace(target, entryPath);
    change.Remove(ChainOf(steps));
  }
  return ApplyChange(f, path, change);
}

}  // namespace

int SetCommand(const std::string& path, const std::vector<std::string>& pairs,
               const KeyNames& names, std::FILE* err, Files& files) {
  return RunReported(path, err, [&] { return Set(path, pairs, names, files, err); });
}

int ExtractCommand(const std::string& path, const std::string& entryPath,
                   const std::string& outPath, const KeyNames& names, std::FILE* err,
                   Files& files) {
  return RunReported(path, err,
                     [&] { return Extract(path, entryPath, outPath, names, files, err); });
}

int InsertCommand(const std::string& path, const std::string& tablePath, const std::string& key,
                  const std::string& sidePath, const KeyNames& names, std::FILE* err,
                  Files& files) {
  return RunReported(path, err,
                     [&] { return Insert(path, tablePath, key, sidePath, names, files, err); });
}

int AddCommand(const std::string& path, const std::vector<std::string>& args, const KeyNames& names,
               std::FILE* err, Files& files) {
  return RunReported(path, err, [&] { return Add(path, args, names, files, err); });
}

int RemoveCommand(const std::string& path, const std::vector<std::string>& entryPaths,
                  const KeyNames& names, std::FILE* err, Files& files) {
  return RunReported(path, err, [&] { return Remove(path, entryPaths, names, files, err); });
}

int RecoverCommand(const std::string& path, bool discard, const std::string& journal,
                   std::FILE* err, Files& files) {
  if (!discard && journal.empty() && IsFolder(files, path)) return RecoverFolder(path, err, files);
  if (discard) {
    std::string summary, lost;
    Status s = DiscardInterruptedChange(files, path, &summary, &lost);
    if (!s.ok()) return Report(s.In(path), err);
    Say(err, path,
        "discarded an interrupted change" + (summary.empty() ? "" : ": " + summary) +
            (lost.empty() ? ""
                          : "; " + lost + "; atbutil check says whether its tables are sound"));
    return 0;
  }
  if (!journal.empty()) {
    bool finished = false;
    Status s = RecoverFromJournalAt(files, path, journal, &finished);
    if (s.ok() && finished) {
      Say(err, path, "recovered an interrupted change from " + QuotedName(journal));
    }
    return Report(s.In(path), err);
  }
  OpenFile f(files);
  Status s = f.Open(path, OpenFile::kEdit, err);
  if (s.ok()) {
    s = f.Close();
    if (s.ok() && !f.recovered()) {
      Say(err, path, "no interrupted change");
    }
  }
  return Report(s, err);
}

}  // namespace atb
