#include "python/patches.h"

#include <fcntl.h>
#include <pybind11/stl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "atb/change.h"
#include "atb/file.h"
#include "atb/patches.h"
#include "atb/system.h"
#include "atb/text.h"
#include "atb/tree.h"
#include "python/values.h"

namespace py = pybind11;

namespace atbpy {

namespace {

[[noreturn]] void Throw(const atb::Status& s) {
  RaiseStatus(s);
  throw py::error_already_set();
}

// A refusal that lists what was refused, as .failures.
[[noreturn]] void ThrowRefused(const std::string& message, const std::vector<std::string>& why) {
  RaiseRefused(message, why);
  throw py::error_already_set();
}

atb::Files& Files() { return atb::SystemFiles(); }

// As atbutil takes a folder: one, or a symlink to one.
bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

py::str Text(const std::string& text) {
  PyObject* s =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

// An attribute file opened for one call, named as the caller named it.
class Opened {
 public:
  Opened() : file_(Files()) {}
  void Open(const std::string& path, atb::AttributeFile::Use use) {
    path_ = path;
    bool recovered = false;
    atb::Status s;
    {
      py::gil_scoped_release unlocked;
      s = file_.Open(path, use, &recovered);
    }
    if (!s.ok()) Throw(s.In(path));
    file_.file().ExpectLength(file_.length());
  }
  void Close() {
    const atb::Status s = file_.Close();
    if (!s.ok()) Throw(s.In(path_));
  }
  atb::PositionedFile& file() { return file_.file(); }
  atb::ChangeTarget& target() { return file_.target(); }
  int64_t length() const { return file_.length(); }
  int fd() const { return file_.fd(); }

 private:
  atb::AttributeFile file_;
  std::string path_;
};

// One side of a diff: a file by its path, or a file's bytes.
struct Side {
  explicit Side(const py::object& what) {
    if (py::isinstance<py::bytes>(what)) {
      bytes = what.cast<std::string>();
      memory.emplace(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      name = "<bytes>";
    } else {
      name = what.cast<std::string>();
      opened.Open(name, atb::AttributeFile::kReading);
    }
  }
  atb::ByteSource& source() {
    return memory ? static_cast<atb::ByteSource&>(*memory) : opened.file();
  }
  int64_t length() const { return memory ? static_cast<int64_t>(bytes.size()) : opened.length(); }
  std::string name, bytes;
  std::optional<atb::MemorySource> memory;
  Opened opened;
};

py::str Diff(const py::object& a, const py::object& b, bool reversible, bool overlay) {
  const bool paths = py::isinstance<py::str>(a) && py::isinstance<py::str>(b);
  if (paths && (overlay || IsFolder(a.cast<std::string>()) || IsFolder(b.cast<std::string>()))) {
    const std::string pa = a.cast<std::string>(), pb = b.cast<std::string>();
    if (!IsFolder(pa) || !IsFolder(pb)) {
      Throw(atb::Status::Invalid("diff compares two files or two folders: " + pa + " and " + pb +
                                 " are one of each"));
    }
    atb::Sink sink(nullptr);
    atb::FolderDiffOutcome outcome;
    const atb::Status s =
        atb::WriteFolderPatch(Files(), pa, pb, overlay, Names(), sink, &outcome, reversible);
    if (!s.ok()) Throw(s);
    return Text(outcome.files == 0 ? std::string() : sink.buf());
  }
  Side sa(a), sb(b);
  atb::Sink sink(nullptr);
  int64_t changes = 0;
  bool stale = false;
  const atb::Status s = atb::WritePatch(sa.source(), sa.length(), sb.source(), sb.length(), Names(),
                                        sink, &changes, &stale, reversible);
  if (s.refused()) {
    Throw(atb::Status::Refused(sa.name + " -> " + sb.name +
                               ": no patch can describe this: " + s.Message()));
  }
  if (!s.ok()) Throw(s);
  return Text(changes == 0 && !stale ? std::string() : sink.buf());
}

// Each patch as (text, name).
using PatchTexts = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> ApplyToFolder(const std::string& root, const PatchTexts& texts,
                                       bool check) {
  std::vector<atb::FolderPatch> patches(texts.size());
  for (std::size_t p = 0; p < texts.size(); ++p) {
    const auto& [text, name] = texts[p];
    atb::Status read;
    atb::FolderPatch none;
    if (!atb::IsFolderPatchText(text) && !atb::ParseFolderPatch(text, Names(), &none).ok()) {
      read = atb::Status::Invalid("is a patch of one file, and " + root +
                                  " is a folder: apply it to the file it was made for");
    }
    patches[p].name = name;
    if (read.ok()) read = atb::ParseFolderPatch(text, Names(), &patches[p]);
    if (!read.ok()) Throw(read.In(name));
  }
  atb::PatchOutcome outcome;
  atb::Status s;
  {
    py::gil_scoped_release unlocked;
    s = atb::ApplyFolderPatches(Files(), root, patches, Names(), check, atb::DurableChanges(),
                                &outcome);
  }
  if (!s.ok()) Throw(s);
  if (!outcome.failures.empty()) {
    const std::size_t n = outcome.failures.size();
    ThrowRefused(root + ": " + std::to_string(n) + (n == 1 ? " change does" : " changes do") +
                     " not apply; nothing was changed",
                 outcome.failures);
  }
  return outcome.damaged;
}

std::vector<std::string> Apply(const std::string& target, const PatchTexts& texts, bool check) {
  if (IsFolder(target)) return ApplyToFolder(target, texts, check);
  std::vector<atb::Patch> patches(texts.size());
  for (std::size_t p = 0; p < texts.size(); ++p) {
    const auto& [text, name] = texts[p];
    atb::Status read;
    if (atb::IsFolderPatchText(text)) {
      read = atb::Status::Invalid("is a patch over a folder, and " + target +
                                  " is a file: apply it to the folder it was made for");
    }
    if (read.ok()) read = atb::ParsePatch(text, Names(), &patches[p]);
    if (!read.ok()) Throw(read.In(name));
    patches[p].name = name;
  }
  Opened f;
  f.Open(target, check ? atb::AttributeFile::kReading : atb::AttributeFile::kEditing);
  atb::PatchOutcome outcome;
  atb::Status s;
  {
    py::gil_scoped_release unlocked;
    s = atb::ApplyPatches(f.file(), f.length(), patches, Names(), check ? nullptr : &f.target(),
                          &outcome);
  }
  if (!s.ok()) Throw(s.In(target));
  if (!outcome.failures.empty()) {
    const std::size_t n = outcome.failures.size();
    ThrowRefused(target + ": " + std::to_string(n) + (n == 1 ? " change does" : " changes do") +
                     " not apply; nothing was changed",
                 outcome.failures);
  }
  f.Close();
  return outcome.damaged;
}

std::vector<std::string> Merge(const std::string& base, const std::string& ours,
                               const std::string& theirs, const std::string& side) {
  Opened fo, fb, ft;
  fo.Open(ours, atb::AttributeFile::kEditing);
  fb.Open(base, atb::AttributeFile::kReading);
  ft.Open(theirs, atb::AttributeFile::kReading);
  atb::Change change;
  std::vector<atb::MergeConflict> conflicts;
  std::vector<std::string> damaged;
  const atb::MergeSide settle = side == "ours"     ? atb::MergeSide::kOurs
                                : side == "theirs" ? atb::MergeSide::kTheirs
                                                   : atb::MergeSide::kNone;
  atb::Status s = atb::PlanMerge(fb.file(), fb.length(), fo.file(), fo.length(), ft.file(),
                                 ft.length(), Names(), settle, &change, &conflicts, &damaged);
  if (!s.ok()) Throw(s);
  fb.Close();
  ft.Close();
  {
    py::gil_scoped_release unlocked;
    s = change.Apply(fo.target());
  }
  if (s.ioError()) Throw(s.In(ours));
  if (!s.ok()) Throw(atb::Status::Refused("merge refused: " + s.Message()).In(ours));
  fo.Close();
  std::vector<std::string> lines;
  for (const atb::MergeConflict& c : conflicts) lines.push_back(c.line);
  return lines;
}

// A scratch copy in a private temporary folder, changed without flushes: where mods are
// installed before they are told.
class Scratch : public atb::Scratch {
 public:
  ~Scratch() override {
    if (open_) open_->Close();
    if (dir_.empty()) return;
    ::unlink(path_.c_str());
    std::vector<atb::DirectoryEntry> entries;
    if (Files().ListDirectory(dir_, &entries, nullptr) == 0) {
      for (const atb::DirectoryEntry& e : entries) ::unlink((dir_ + "/" + e.name).c_str());
    }
    ::rmdir(dir_.c_str());
  }

  atb::Status CopyOf(atb::ByteSource& from, int64_t length, atb::ChangeTarget** target) override {
    if (open_) {
      atb::Status s = open_->Close();
      open_.reset();
      if (!s.ok()) return s;
    }
    if (dir_.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      std::string pattern =
          std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/atbfile-XXXXXX";
      if (::mkdtemp(pattern.data()) == nullptr) {
        return atb::Status::FromErrno(errno).In("cannot make a temporary folder");
      }
      dir_ = pattern;
      path_ = dir_ + "/scratch.atb";
    }
    atb::Status s = Write(from, length);
    if (!s.ok()) return s;
    open_ = std::make_unique<atb::AttributeFile>(Files());
    bool recovered;
    if (!(s = open_->Open(path_, atb::AttributeFile::kEditing, &recovered)).ok()) {
      return s.In(path_);
    }
    open_->target().durable = false;
    *target = &open_->target();
    return atb::Status::Ok();
  }

 private:
  atb::Status Write(atb::ByteSource& from, int64_t length) {
    atb::OutputFile out(Files(), path_, false);
    atb::Status s = out.Open();
    std::string chunk;
    for (int64_t at = 0; s.ok() && at < length;) {
      chunk.resize(static_cast<std::size_t>(std::min<int64_t>(length - at, 1 << 20)));
      if ((s = from.ReadAt(at, chunk.data(), chunk.size())).ok()) s = out.Write(chunk);
      at += static_cast<int64_t>(chunk.size());
    }
    if (s.ok()) s = out.Commit();
    return s.In(path_);
  }

  std::string dir_, path_;
  std::unique_ptr<atb::AttributeFile> open_;
};

// A mod of one file: a patch when it is text that parses, an attribute file diffed against
// BASE otherwise, as atbutil reads one.
atb::Patch ReadMod(Opened& base, const std::string& path) {
  std::string text;
  {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) Throw(atb::Status::FromErrno(errno).In(path));
    char buf[1 << 16];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0) {
        const int err = errno;
        ::close(fd);
        Throw(atb::Status::FromErrno(err).In(path));
      }
      if (n == 0) break;
      text.append(buf, static_cast<std::size_t>(n));
      if (text.find('\0') != std::string::npos) break;
    }
    ::close(fd);
  }
  atb::Patch patch;
  std::string notPatch;
  if (text.find('\0') == std::string::npos) {
    const atb::Status s = atb::ParsePatch(text, Names(), &patch);
    if (s.ok()) {
      patch.name = path;
      return patch;
    }
    notPatch = s.Message();
  }
  Opened mod;
  mod.Open(path, atb::AttributeFile::kReading);
  const atb::Status s =
      atb::ModOfFile(base.file(), base.length(), mod.file(), mod.length(), Names(), &patch);
  if (!s.ok()) {
    if (notPatch.empty()) Throw(s.In(path));
    Throw(atb::Status::Invalid(path + ": neither a patch (" + notPatch +
                               ") nor an attribute file (" + s.Message() + ")"));
  }
  patch.name = path;
  return patch;
}

py::dict EntryDict(const std::string& file, const atb::ModEntry& e) {
  py::dict d;
  if (!file.empty()) d["file"] = Text(file);
  d["path"] = Text(e.path);
  d["kind"] = std::string(atb::ModKindWord(e.kind));
  d["winner"] = Text(e.winner);
  d["base"] = e.inBase ? py::object(Text(e.base)) : py::object(py::none());
  py::list mods;
  for (const atb::ModEntry::Touch& t : e.mods)
    mods.append(py::make_tuple(Text(t.mod), Text(t.value)));
  d["mods"] = mods;
  return d;
}

// Installs the mods on a scratch copy of BASE, a file or a folder; `done` is told what came of
// it while the scratch lives.
template <typename Done>
void Install(const std::string& base, const std::vector<std::string>& modPaths, bool all,
             bool combine, const Done& done) {
  Scratch scratch;
  if (IsFolder(base)) {
    std::vector<atb::FolderMod> mods(modPaths.size());
    std::vector<std::string> others;
    for (std::size_t m = 0; m < modPaths.size(); ++m) {
      const atb::Status s =
          atb::ReadFolderMod(Files(), base, modPaths[m], Names(), &mods[m], &others);
      if (!s.ok()) Throw(s);
    }
    atb::FolderModsOutcome outcome;
    atb::Status s;
    {
      py::gil_scoped_release unlocked;
      s = atb::InstallFolderMods(Files(), base, mods, Names(), all, combine, scratch, &outcome);
    }
    if (!s.ok()) Throw(s);
    if (!outcome.refused.empty()) {
      ThrowRefused(base + ": the mods are refused: " + std::to_string(outcome.refused.size()) +
                       (outcome.refused.size() == 1 ? " reason" : " reasons") +
                       "; nothing was done",
                   outcome.refused);
    }
    done(nullptr, &outcome, nullptr);
    return;
  }
  Opened b;
  b.Open(base, atb::AttributeFile::kReading);
  std::vector<atb::Mod> mods;
  for (const std::string& path : modPaths) mods.push_back({path, ReadMod(b, path)});
  atb::ModsOutcome outcome;
  atb::Status s;
  {
    py::gil_scoped_release unlocked;
    s = atb::InstallMods(b.file(), b.length(), mods, Names(), all, scratch, &outcome);
  }
  if (!s.ok()) Throw(s.In(base));
  if (!outcome.refused.empty()) {
    ThrowRefused(base + ": the mods are refused: " + std::to_string(outcome.refused.size()) +
                     (outcome.refused.size() == 1 ? " reason" : " reasons") + "; nothing was done",
                 outcome.refused);
  }
  done(&outcome, nullptr, &b);
}

py::list Conflicts(const std::string& base, const std::vector<std::string>& mods, bool all) {
  py::list out;
  Install(base, mods, all, false,
          [&](const atb::ModsOutcome* one, const atb::FolderModsOutcome* folder, Opened*) {
            if (one != nullptr) {
              for (const atb::ModEntry& e : one->entries) out.append(EntryDict({}, e));
            } else {
              for (const auto& [file, e] : folder->entries) out.append(EntryDict(file, e));
            }
          });
  return out;
}

py::str Combine(const std::string& base, const std::vector<std::string>& mods) {
  std::string patch;
  Install(base, mods, false, true,
          [&](const atb::ModsOutcome* one, const atb::FolderModsOutcome* folder, Opened* b) {
            if (folder != nullptr) {
              patch = folder->combined;
              return;
            }
            atb::Sink sink(nullptr);
            int64_t changes = 0;
            const atb::Status s = atb::WritePatch(b->file(), b->length(), one->result->file,
                                                  one->resultLength, Names(), sink, &changes);
            if (!s.ok()) Throw(s.In(base));
            patch = changes == 0 ? std::string() : sink.buf();
          });
  return Text(patch);
}

}  // namespace

void AddPatchFunctions(py::module_& m) {
  m.def("diff", &Diff);
  m.def("apply", &Apply);
  m.def("merge", &Merge);
  m.def("conflicts", &Conflicts);
  m.def("combine", &Combine);
}

}  // namespace atbpy
