// The extension behind the atbfile package: reading a file's bytes into tables, writing them
// back, changing a file in place through the change layer, paths and selectors, and patches. The
// package (atbfile/__init__.py) gives it its Python face.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "atb/change.h"
#include "atb/file.h"
#include "atb/system.h"
#include "atb/text.h"
#include "atb/tree.h"
#include "python/patches.h"
#include "python/values.h"

namespace py = pybind11;

namespace atbpy {

namespace {

// The bytes given to loads, held by the Python object that owns them.
class MemoryData : public Source {
 public:
  explicit MemoryData(PyObject* bytes)
      : bytes_(Py_NewRef(bytes)),
        source_(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)),
                static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))) {}
  ~MemoryData() override { Py_DECREF(bytes_); }
  atb::ByteSource& bytes() override { return source_; }
  int64_t length() const override { return PyBytes_GET_SIZE(bytes_); }
  const uint8_t* memory() const override {
    return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes_));
  }

 private:
  PyObject* bytes_;
  atb::MemorySource source_;
};

// What an edit's tables read once the block is over: nothing, since the descriptor they read
// through may by then be another file's.
class Ended : public atb::ByteSource {
 public:
  atb::Status ReadAt(int64_t, void*, std::size_t) override {
    return atb::Status::Invalid("the edit is over: what the block did not read is no longer there");
  }
};

// A file open for editing for the whole of an edit block: other editors are kept out, readers
// are not, and the file does not change but through the block's own change.
class EditedFile : public Source {
 public:
  EditedFile() : open_(atb::SystemFiles()) {}
  atb::Status Open(const std::string& path) {
    path_ = path;
    bool recovered = false;
    atb::Status s = open_.Open(path, atb::AttributeFile::kEditing, &recovered);
    if (!s.ok()) return s.In(path);
    length_ = open_.length();
    open_.file().ExpectLength(length_);
    return atb::Status::Ok();
  }
  atb::ByteSource& bytes() override {
    return closed ? static_cast<atb::ByteSource&>(over_) : open_.file();
  }
  int64_t length() const override { return length_; }
  atb::AttributeFile& file() { return open_; }
  const std::string& path() const { return path_; }
  bool closed = false;

 private:
  Ended over_;
  atb::AttributeFile open_;
  std::string path_;
  int64_t length_ = 0;
};

[[noreturn]] void Throw(const atb::Status& s) {
  RaiseStatus(s);
  throw py::error_already_set();
}

void Check(const atb::Status& s) {
  if (!s.ok()) Throw(s);
}

PyObject* Owned(PyObject* p) {
  if (p == nullptr) throw py::error_already_set();
  return p;
}

// What a path or selector runs over: a Source object, or bytes.
struct Searched {
  explicit Searched(py::handle what) {
    if (PyObject_TypeCheck(what.ptr(), &SourceType)) {
      source = SourceOf(what.ptr());
    } else {
      if (!PyBytes_Check(what.ptr())) throw py::type_error("bytes or a source");
      memory.emplace(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(what.ptr())),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(what.ptr())));
      length = PyBytes_GET_SIZE(what.ptr());
    }
  }
  atb::ByteSource& bytes() { return source != nullptr ? source->bytes() : *memory; }
  int64_t size() const { return source != nullptr ? source->length() : length; }
  Source* source = nullptr;
  std::optional<atb::MemorySource> memory;
  int64_t length = 0;
};

// Whether a whole file's bytes can be read as a tree: its length, no change in the middle, and
// a sound root table; the reasons are those atbutil gives.
atb::Status CheckWhole(atb::ByteSource& bytes, int64_t length) {
  atb::Status s = atb::CheckFileLength(length);
  if (!s.ok()) return s;
  uint8_t start[atb::kMarkBytes];
  if (!(s = bytes.ReadAt(0, start, sizeof start)).ok()) return s;
  const atb::FileMark mark = atb::MarkIn(start);
  if (mark.marked) {
    return atb::Status::Refused("a change to it was interrupted (change " +
                                atb::NonceText(mark.nonce) +
                                "): open the file by its path, beside its journal, to finish it");
  }
  atb::TableShape shape;
  s = atb::CheckTable(bytes, atb::ROOT_TABLE_OFFSET, length, &shape);
  if (s.damaged()) return atb::Status::Damaged("the table / is damaged: " + s.Message());
  return s;
}

// loads: the root of `data`, to be read when asked for, and the header.
py::tuple Loads(py::bytes data, const std::string& name) {
  PyObject* bytes = data.ptr();
  const int64_t length = PyBytes_GET_SIZE(bytes);
  atb::MemorySource check(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)),
                          static_cast<std::size_t>(length));
  Check(name.empty() ? CheckWhole(check, length) : CheckWhole(check, length).In(name));
  py::object source = py::reinterpret_steal<py::object>(Owned(NewSource(new MemoryData(bytes))));
  py::object root = py::reinterpret_steal<py::object>(
      Owned(NewBackedTable(TreeClass(), source.ptr(), atb::ROOT_TABLE_OFFSET, length)));
  return py::make_tuple(root, py::bytes(PyBytes_AS_STRING(bytes), atb::HEADER_SIZE));
}

// read: the whole file at `path`, read while changes are kept out (an interrupted change
// finished first).
py::bytes ReadFile(const std::string& path) {
  std::string bytes;
  {
    py::gil_scoped_release unlocked;
    atb::AttributeFile f(atb::SystemFiles());
    bool recovered = false;
    atb::Status s = f.Open(path, atb::AttributeFile::kReading, &recovered);
    if (s.ok()) {
      bytes.resize(static_cast<std::size_t>(f.length()));
      f.file().ExpectLength(f.length());
      s = f.file().ReadAt(0, bytes.data(), bytes.size());
    }
    if (s.ok()) s = f.Close();
    if (!s.ok()) {
      py::gil_scoped_acquire locked;
      Throw(s.In(path));
    }
  }
  return py::bytes(bytes);
}

// edit: the file open for editing, its root and its header.
py::tuple OpenEdit(const std::string& path) {
  auto file = std::make_unique<EditedFile>();
  atb::Status s;
  {
    py::gil_scoped_release unlocked;
    s = file->Open(path);
  }
  Check(s);
  std::string header(atb::HEADER_SIZE, '\0');
  EditedFile* f = file.get();
  Check(f->bytes().ReadAt(0, header.data(), header.size()).In(path));
  Check(CheckWhole(f->bytes(), f->length()).In(path));
  py::object source = py::reinterpret_steal<py::object>(Owned(NewSource(file.release())));
  py::object root = py::reinterpret_steal<py::object>(
      Owned(NewBackedTable(TreeClass(), source.ptr(), atb::ROOT_TABLE_OFFSET, f->length())));
  return py::make_tuple(source, root, py::bytes(header));
}

EditedFile& EditOf(py::handle source) {
  if (!PyObject_TypeCheck(source.ptr(), &SourceType)) throw py::type_error("an edit's source");
  auto* f = dynamic_cast<EditedFile*>(SourceOf(source.ptr()));
  if (f == nullptr) throw py::type_error("an edit's source");
  if (f->closed) throw py::value_error("the edit is over: its file is closed");
  return *f;
}

std::string Encoded(PyObject* value) {
  std::string out;
  if (!EncodeValue(value, &out)) throw py::error_already_set();
  return out;
}

// Plans, as one change, what turns the file as it was read into the tree as it stands: only the
// tables read are compared; an entry given a new value is written whole, new entries go in
// front of the entry that follows them among those kept, and entries gone are taken out.
void Plan(EditedFile& f, PyObject* root, py::bytes header, atb::Change* change) {
  atb::PositionedFile& file = f.file().file();
  struct Pending {
    TableObject* table;
    atb::TableChain chain;  // to the table; its own link's entry is not used
  };
  std::vector<Pending> pending{
      {reinterpret_cast<TableObject*>(root), {{atb::ROOT_TABLE_OFFSET, f.length(), 0}}}};
  while (!pending.empty()) {
    Pending p = std::move(pending.back());
    pending.pop_back();
    TableObject* t = p.table;
    if (t->entries == nullptr) continue;
    atb::EntryList list;
    Check(atb::ReadTable(file, t->start, t->end, &list).In(f.path()));
    if (t->leadChanged) {
      const int64_t leadStart = atb::DataStart(t->start, list.count);
      const int64_t leadEnd = list.count > 0 ? list.Off[0] : t->end;
      std::string lead(static_cast<std::size_t>(leadEnd - leadStart), '\0');
      Check(file.ReadAt(leadStart, lead.data(), lead.size()).In(f.path()));
      const std::string_view now(PyBytes_AS_STRING(t->lead),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(t->lead)));
      if (now != lead) change->ReplaceLead(p.chain, std::string(now));
    }
    const Py_ssize_t n = PyList_GET_SIZE(t->entries);
    std::vector<uint32_t> before(static_cast<std::size_t>(n));
    uint32_t next = list.count;
    int64_t last = list.count;
    for (Py_ssize_t k = n; k-- > 0;) {
      // The list is a table's own, but Python code can reach it.
      if (!PyObject_TypeCheck(PyList_GET_ITEM(t->entries, k), &EntryPyType)) {
        throw py::type_error("a table holds something that is no Entry");
      }
      auto* e = reinterpret_cast<EntryObject*>(PyList_GET_ITEM(t->entries, k));
      if (e->index >= 0) {
        // Only the table's own methods put entries into it, in the order they were read.
        if (e->index >= last || e->source != t->source) {
          throw py::value_error("a table's entries are out of the order they were read in");
        }
        last = e->index;
        next = static_cast<uint32_t>(e->index);
      }
      before[static_cast<std::size_t>(k)] = next;
    }
    std::vector<bool> kept(list.count, false);
    for (Py_ssize_t k = 0; k < n; ++k) {
      auto* e = reinterpret_cast<EntryObject*>(PyList_GET_ITEM(t->entries, k));
      if (e->index < 0) {
        change->InsertAt(p.chain, before[static_cast<std::size_t>(k)], e->key, e->type,
                         Encoded(e->value));
        continue;
      }
      const auto i = static_cast<uint32_t>(e->index);
      kept[i] = true;
      atb::TableChain chain = p.chain;
      chain.back().entry = i;
      const int64_t start = list.Off[i], end = list.Off[i + 1];
      if (e->changed) {
        std::string bytes = Encoded(e->value);
        if (e->type == list.Type[i] && static_cast<int64_t>(bytes.size()) == end - start &&
            bytes.size() <= 4096) {
          std::string was(bytes.size(), '\0');
          Check(file.ReadAt(start, was.data(), was.size()).In(f.path()));
          if (was == bytes) continue;
        }
        if (e->type != list.Type[i]) change->SetType(chain, e->type);
        change->Replace(chain, start, end - start, std::move(bytes));
        continue;
      }
      if (e->value == nullptr || !PyObject_TypeCheck(e->value, &TableBaseType)) continue;
      auto* nested = reinterpret_cast<TableObject*>(e->value);
      if (nested->source != t->source || nested->start != start || nested->end != end) continue;
      chain.push_back({start, end, 0});
      pending.push_back({nested, std::move(chain)});
    }
    for (uint32_t i = 0; i < list.count; ++i) {
      if (kept[i]) continue;
      atb::TableChain chain = p.chain;
      chain.back().entry = i;
      change->Remove(std::move(chain));
    }
  }
  std::string was(atb::HEADER_SIZE, '\0');
  Check(file.ReadAt(0, was.data(), was.size()).In(f.path()));
  const std::string now = header;
  if (now.size() != was.size()) throw py::value_error("a header is 52 bytes");
  // The sizes follow the length whatever the header says: only the rest is the tree's.
  std::string a = was, b = now;
  atb::SetHeaderSizes(&a, 0);
  atb::SetHeaderSizes(&b, 0);
  if (a != b) change->SetHeader(now);
}

// Whether the block changed anything.
bool Changed(py::handle source, py::handle root, py::bytes header) {
  atb::Change change;
  Plan(EditOf(source), root.ptr(), header, &change);
  return !change.empty();
}

// Makes the block's change, as atbutil's commands make theirs: whatever the change layer
// declines is a refused change, said as atbutil says it.
void Commit(py::handle source, py::handle root, py::bytes header) {
  EditedFile& f = EditOf(source);
  atb::Change change;
  Plan(f, root.ptr(), header, &change);
  if (change.empty()) return;
  atb::Status s;
  {
    py::gil_scoped_release unlocked;
    s = change.Apply(f.file().target());
  }
  if (s.ioError()) Throw(s.In(f.path()));
  if (s.noSpace()) Throw(s.In("change refused").In(f.path()));
  if (!s.ok()) Throw(atb::Status::Refused("change refused: " + s.Message()).In(f.path()));
}

void CloseEdit(py::handle source) {
  EditedFile& f = EditOf(source);
  f.closed = true;
  Check(f.file().Close().In(f.path()));
}

// The entry numbers from the root to the entry `path` names (empty for the root).
std::vector<uint32_t> Resolve(py::handle over, const std::string& path) {
  Searched o(over);
  std::vector<atb::PathElement> elements;
  Check(atb::ParsePath(path, &elements));
  atb::PathResolver resolver(o.bytes(), o.size(), Names());
  std::vector<atb::PathStep> chain;
  Check(resolver.Resolve(elements, &chain));
  std::vector<uint32_t> trail;
  if (elements.empty()) return trail;
  for (const atb::PathStep& step : chain) trail.push_back(step.entry);
  return trail;
}

// Finds the entries numbered `numbers` (ascending, as dump numbers them) and the way to each.
class Trails : public atb::TreeVisitor {
 public:
  explicit Trails(const std::vector<uint64_t>& numbers) : numbers_(numbers) {}
  atb::Status Entry(atb::TreeWalk& walk, const atb::CursorEntry&) override {
    if (next_ == numbers_.size()) return atb::Status::Refused("done");
    if (walk.walked() != numbers_[next_]) return atb::Status::Ok();
    std::vector<uint32_t> trail;
    for (std::size_t l = 0; l < walk.depth(); ++l) trail.push_back(walk.entry(l).index);
    while (next_ < numbers_.size() && numbers_[next_] == walk.walked()) {
      trails.push_back(trail);
      ++next_;
    }
    return atb::Status::Ok();
  }
  atb::Status Damaged(atb::TreeWalk&, const atb::CursorEntry*, const atb::Status&) override {
    return atb::Status::Ok();
  }
  std::vector<std::vector<uint32_t>> trails;

 private:
  const std::vector<uint64_t>& numbers_;
  std::size_t next_ = 0;
};

// Every entry `selector` matches: its path as dump prints it, and the way to it.
std::vector<std::pair<std::string, std::vector<uint32_t>>> Select(py::handle over,
                                                                  const std::string& text) {
  Searched o(over);
  atb::Selector selector;
  atb::Status s = atb::ParseSelector(text, Names(), &selector);
  if (!s.ok()) Throw(s.In("the selector"));
  std::vector<std::string> paths;
  std::vector<uint64_t> numbers;
  Check(
      atb::SelectEntries(o.bytes(), o.size(), selector, Names(), [&](const atb::SelectedEntry& e) {
        paths.push_back(e.path);
        numbers.push_back(e.number);
        return atb::Status::Ok();
      }));
  Trails trails(numbers);
  atb::TreeWalk walk(o.bytes());
  s = walk.Run(atb::ROOT_TABLE_OFFSET, o.size(), trails);
  if (!s.ok() && trails.trails.size() != numbers.size()) Check(s);
  std::vector<std::pair<std::string, std::vector<uint32_t>>> out;
  for (std::size_t k = 0; k < paths.size() && k < trails.trails.size(); ++k) {
    out.emplace_back(std::move(paths[k]), std::move(trails.trails[k]));
  }
  return out;
}

// The key a table is indexed by: a label, a name or a number written alone; and whether it was
// a word, which may also name a reference by the name it lists.
std::pair<uint32_t, bool> KeyOf(const std::string& text) {
  atb::PathElement element;
  if (!atb::ParseLoneElement(text, &element) || !atb::IsKeyElement(element)) {
    throw py::key_error("\"" + text + "\" is not a key: a label, a name or a number");
  }
  return {atb::KeyOfElement(element, Names()), element.kind == atb::PathElement::kWord};
}

py::object NameOf(uint32_t key) {
  const std::string_view name = Names().PathNameOf(key);
  if (name.empty()) return py::none();
  return py::str(std::string(name));
}

}  // namespace

}  // namespace atbpy

PYBIND11_MODULE(_atbfile, m) {
  using namespace atbpy;
  m.doc() = "The engines behind atbfile; use the atbfile package.";
  if (!AddTypes(m.ptr())) throw py::error_already_set();
  const char* sync = std::getenv("ATB_SYNC");
  atb::SetDurableChanges(sync == nullptr || std::strcmp(sync, "0") != 0);
  atb::WaitPolicy wait;
  if (const auto bound = atb::StallBoundOf(std::getenv("ATB_WAIT"))) wait.stallMs = *bound;
  atb::SetWaitPolicy(wait);

  m.def("_setup", [](py::object table, py::object tree, py::object damaged, py::object refused,
                     py::object locked, py::object noSpace) {
    SetTableClasses(table.ptr(), tree.ptr());
    SetErrorClasses(damaged.ptr(), refused.ptr(), locked.ptr(), noSpace.ptr());
  });
  m.def("loads", &Loads, py::arg("data"), py::arg("name") = "");
  m.def("read", &ReadFile);
  m.def("encode_file", [](py::handle root, py::bytes header, int64_t readLength) {
    return py::reinterpret_steal<py::object>(
        Owned(EncodeFile(root.ptr(), header.ptr(), readLength)));
  });
  m.def("encode_value", [](py::handle value) { return py::bytes(Encoded(value.ptr())); });
  m.def("coerce", [](py::handle old, py::handle value) {
    return py::reinterpret_steal<py::object>(
        Owned(Coerce(old.is_none() ? nullptr : old.ptr(), value.ptr())));
  });
  m.def("new_entry", [](uint32_t key, py::handle value) {
    py::object typed = py::reinterpret_steal<py::object>(Owned(Coerce(nullptr, value.ptr())));
    return py::reinterpret_steal<py::object>(Owned(NewEntry(key, typed.ptr())));
  });
  m.def("open_edit", &OpenEdit);
  m.def("changed", &Changed);
  m.def("commit", &Commit);
  m.def("close_edit", &CloseEdit);
  m.def("resolve", &Resolve);
  m.def("select", &Select);
  m.def("key_of", &KeyOf);
  m.def("name_of", &NameOf);
  m.def("add_names", [](const std::string& path) { Check(Names().AddNamesFile(path).In(path)); });
  AddPatchFunctions(m);
}
