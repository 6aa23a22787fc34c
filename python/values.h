// The module's value types, written against Python's C API: a file of a million entries makes
// two million of them, and these cost a fraction of what a class written in Python or bound
// through pybind11 costs to make, read and free.
//
// Float, Bool, Text, Localized and Raw are immutable values; an Entry holds a key and a value; a
// table's core (_TableBase) holds its entries, read from its source only once they are asked for.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "atb/system.h"
#include "atb/text.h"
#include "atb/tree.h"

namespace atbpy {

// Where tables and values are read from: the bytes given to loads, or a file open for edit.
class Source {
 public:
  virtual ~Source() = default;
  virtual atb::ByteSource& bytes() = 0;
  virtual int64_t length() const = 0;
  // The bytes themselves, when they are in memory: values are then decoded when their table is
  // read. nullptr for a file, whose values are read when they are asked for.
  virtual const uint8_t* memory() const { return nullptr; }
};

struct SourceObject {
  PyObject_HEAD Source* source;
};

struct EntryObject {
  PyObject_HEAD uint32_t key;
  uint32_t type;
  PyObject* value;   // nullptr until read from `source`
  PyObject* source;  // a SourceObject, while the value is still to be read or was read from it
  int64_t start, end;
  int64_t index;  // its place in the table it was read from; -1 for a new entry
  bool changed;   // given a value since it was read
};

struct TableObject {
  PyObject_HEAD PyObject* entries;  // a list of Entry; nullptr until read from `source`
  PyObject* lead;                   // bytes; nullptr until read
  PyObject* source;                 // a SourceObject, or nullptr for a table made in Python
  int64_t start, end;
  PyObject* index;  // {key: [positions]}, made when first looked up in; nullptr when stale
  bool leadChanged;
  PyObject* weakrefs;
};

extern PyTypeObject FloatType, BoolType, TextType, LocalizedType, RawType, EntryPyType,
    TableBaseType, SourceType;

// Readies the types and adds them to `module`; false with an exception set.
bool AddTypes(PyObject* module);

// The Python classes that derive from _TableBase: nested tables are made as `table`, a root as
// `tree`. Set once by the package.
void SetTableClasses(PyObject* table, PyObject* tree);
PyObject* TreeClass();  // borrowed

// A new SourceObject owning `source`.
PyObject* NewSource(Source* source);
Source* SourceOf(PyObject* sourceObject);

// A table read from `source` at [start, end) when first asked for; `cls` is the class to make.
PyObject* NewBackedTable(PyObject* cls, PyObject* source, int64_t start, int64_t end);

// Reads the table's entries and lead if not yet read; false with an exception set.
bool LoadTable(TableObject* table);

// An entry's value, read from its source first if need be (borrowed); nullptr with an exception.
PyObject* EntryValue(EntryObject* entry);
PyObject* NewEntry(uint32_t key, PyObject* value);  // steals nothing; checks nothing

// What a Python value becomes as the value of an entry: `old` is the entry's value now (nullptr
// for a new entry). Typed values stand as they are; a float or int becomes a Float where `old`
// is one (keeping the bytes after it), bytes a Text, str a Localized, True and False a Bool; for
// a new entry float, bytes, str and bool become the type they say. Anything else: TypeError.
PyObject* Coerce(PyObject* old, PyObject* value);

// The entry type of a value (the module's types and tables).
bool TypeOfValue(PyObject* value, uint32_t* type);

// Appends a value's bytes, a whole table's included, to `out`; false with an exception set.
bool EncodeValue(PyObject* value, std::string* out);
// The bytes of a root table and a header in front, its sizes following the length unless it is
// `readLength`, the length the header was read with (-1 for none): a tree read and written
// unchanged keeps even sizes that did not follow.
PyObject* EncodeFile(PyObject* root, PyObject* header, int64_t readLength);

// Raises the exception that a status stands for (the package's kinds); returns nullptr.
PyObject* RaiseStatus(const atb::Status& s);
// Raises RefusedChange(message) whose .failures lists what was refused; returns nullptr.
PyObject* RaiseRefused(const std::string& message, const std::vector<std::string>& failures);
// The package's exception classes, by kind: set once by the package.
void SetErrorClasses(PyObject* damaged, PyObject* refused, PyObject* locked, PyObject* noSpace);

// The key names the module uses: the label table, ref_name, and names files added to it.
atb::KeyNames& Names();

}  // namespace atbpy
