#include "python/values.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace atbpy {

namespace {

PyObject* tableClass = nullptr;
PyObject* treeClass = nullptr;
PyObject* damagedError = nullptr;
PyObject* refusedError = nullptr;
PyObject* lockedError = nullptr;
PyObject* noSpaceError = nullptr;

PyObject* emptyBytes = nullptr;

PyObject* Empty() {
  Py_INCREF(emptyBytes);
  return emptyBytes;
}

PyObject* BytesOf(const void* p, int64_t n) {
  if (n == 0) return Empty();
  return PyBytes_FromStringAndSize(static_cast<const char*>(p), static_cast<Py_ssize_t>(n));
}

// A `trailing=` argument: bytes-like, or none given.
bool TrailingArg(PyObject* arg, PyObject** out) {
  if (arg == nullptr || arg == Py_None) {
    *out = Empty();
    return true;
  }
  *out = PyBytes_FromObject(arg);
  return *out != nullptr;
}

std::string_view View(PyObject* bytes) {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

bool IsTable(PyObject* v) { return PyObject_TypeCheck(v, &TableBaseType) != 0; }

// ---- Float ----

struct FloatObject {
  PyObject_HEAD uint32_t bits;
  PyObject* trailing;
};

PyObject* NewFloatBits(uint32_t bits, PyObject* trailing) {
  FloatObject* f = PyObject_New(FloatObject, &FloatType);
  if (f == nullptr) {
    Py_DECREF(trailing);
    return nullptr;
  }
  f->bits = bits;
  f->trailing = trailing;
  return reinterpret_cast<PyObject*>(f);
}

// A Python float or int rounded to the nearest float; refused beyond the float range, as set
// refuses a number that would become an infinity, or zero when it is not.
bool RoundToFloat(PyObject* value, uint32_t* bits) {
  // An int is rounded once, from its decimal digits, as set rounds the number it is given:
  // through a double it would be rounded twice. Neither an int's nor a float's own methods are
  // called, so that no code of a subclass runs while an entry is being changed.
  if (PyLong_Check(value)) {
    PyObject* digits = PyLong_Type.tp_repr(value);
    if (digits == nullptr) return false;
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(digits, &n);
    std::string why;
    const bool ok =
        text != nullptr &&
        atb::ParseFloatText(std::string_view(text, static_cast<std::size_t>(n)), bits, &why);
    Py_DECREF(digits);
    if (!ok && !PyErr_Occurred()) {
      PyErr_Format(PyExc_OverflowError, "%R is beyond the float range", value);
    }
    return ok;
  }
  const double d = PyFloat_AS_DOUBLE(value);
  const float f = static_cast<float>(d);
  if ((std::isinf(f) && !std::isinf(d)) || (f == 0 && d != 0)) {
    PyErr_Format(PyExc_OverflowError, "%R is beyond the float range", value);
    return false;
  }
  *bits = std::bit_cast<uint32_t>(f);
  return true;
}

// A key, a type or a float's bits: an int of 32 bits, never one taken modulo 2**64.
bool U32Arg(PyObject* arg, const char* what, uint32_t* out) {
  if (!PyLong_Check(arg) || PyBool_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "%s is an int, not %.100s", what, Py_TYPE(arg)->tp_name);
    return false;
  }
  const unsigned long long n = PyLong_AsUnsignedLongLong(arg);
  if ((n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || n > 0xFFFFFFFFull) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s takes 32 bits: %R", what, arg);
    return false;
  }
  *out = static_cast<uint32_t>(n);
  return true;
}

bool IsNumber(PyObject* v) { return PyFloat_Check(v) || (PyLong_Check(v) && !PyBool_Check(v)); }

PyObject* Float_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"value", "trailing", nullptr};
  PyObject* value = nullptr;
  PyObject* trailingArg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O$O", const_cast<char**>(kw), &value,
                                   &trailingArg)) {
    return nullptr;
  }
  uint32_t bits = 0;
  if (value != nullptr) {
    if (PyObject_TypeCheck(value, &FloatType)) {
      bits = reinterpret_cast<FloatObject*>(value)->bits;
    } else if (!IsNumber(value)) {
      return PyErr_Format(PyExc_TypeError, "Float takes a float or an int, not %.100s",
                          Py_TYPE(value)->tp_name);
    } else if (!RoundToFloat(value, &bits)) {
      return nullptr;
    }
  }
  PyObject* trailing;
  if (!TrailingArg(trailingArg, &trailing)) return nullptr;
  return NewFloatBits(bits, trailing);
}

PyObject* Float_from_bits(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"bits", "trailing", nullptr};
  PyObject* bitsArg;
  uint32_t bits;
  PyObject* trailingArg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$O", const_cast<char**>(kw), &bitsArg,
                                   &trailingArg) ||
      !U32Arg(bitsArg, "bits", &bits)) {
    return nullptr;
  }
  PyObject* trailing;
  if (!TrailingArg(trailingArg, &trailing)) return nullptr;
  return NewFloatBits(static_cast<uint32_t>(bits), trailing);
}

void Float_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<FloatObject*>(self)->trailing);
  PyObject_Free(self);
}

double FloatValue(PyObject* self) {
  return static_cast<double>(std::bit_cast<float>(reinterpret_cast<FloatObject*>(self)->bits));
}

PyObject* Float_float(PyObject* self) { return PyFloat_FromDouble(FloatValue(self)); }

int Float_bool(PyObject* self) { return FloatValue(self) != 0; }

PyObject* Float_repr(PyObject* self) {
  const FloatObject* f = reinterpret_cast<FloatObject*>(self);
  std::string text;
  if (std::isfinite(FloatValue(self))) {
    text = "Float(" + atb::FormatFloatBits(f->bits);
    if (text.find_first_of(".e", 6) == std::string::npos) text += ".0";
  } else {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", f->bits);
    text = std::string("Float.from_bits(") + hex;
  }
  if (PyBytes_GET_SIZE(f->trailing) == 0) return PyUnicode_FromFormat("%s)", text.c_str());
  return PyUnicode_FromFormat("%s, trailing=%R)", text.c_str(), f->trailing);
}

Py_hash_t Float_hash(PyObject* self) {
  const double d = FloatValue(self);
  if (std::isnan(d)) return static_cast<Py_hash_t>(reinterpret_cast<FloatObject*>(self)->bits);
  PyObject* py = PyFloat_FromDouble(d);
  if (py == nullptr) return -1;
  const Py_hash_t h = PyObject_Hash(py);
  Py_DECREF(py);
  return h;
}

PyObject* CompareBool(bool same, int op) {
  if (op == Py_EQ) return PyBool_FromLong(same);
  if (op == Py_NE) return PyBool_FromLong(!same);
  Py_RETURN_NOTIMPLEMENTED;
}

bool SameBytes(PyObject* a, PyObject* b) { return View(a) == View(b); }

// Against another Float: the same bits and bytes after them; against a number, as floats do.
PyObject* Float_richcompare(PyObject* self, PyObject* other, int op) {
  if (PyObject_TypeCheck(other, &FloatType) && (op == Py_EQ || op == Py_NE)) {
    const FloatObject* a = reinterpret_cast<FloatObject*>(self);
    const FloatObject* b = reinterpret_cast<FloatObject*>(other);
    return CompareBool(a->bits == b->bits && SameBytes(a->trailing, b->trailing), op);
  }
  PyObject* mine = Float_float(self);
  if (mine == nullptr) return nullptr;
  PyObject* theirs = nullptr;
  if (PyObject_TypeCheck(other, &FloatType)) {
    theirs = Float_float(other);
  } else if (IsNumber(other) || PyBool_Check(other)) {
    theirs = Py_NewRef(other);
  }
  if (theirs == nullptr) {
    Py_DECREF(mine);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NOTIMPLEMENTED;
  }
  PyObject* r = PyObject_RichCompare(mine, theirs, op);
  Py_DECREF(mine);
  Py_DECREF(theirs);
  return r;
}

PyObject* Float_get_bits(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(reinterpret_cast<FloatObject*>(self)->bits);
}
PyObject* Float_get_trailing(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<FloatObject*>(self)->trailing);
}

PyGetSetDef Float_getset[] = {{"bits", Float_get_bits, nullptr,
                               "The 32 bits as stored (an IEEE single, little-endian).", nullptr},
                              {"trailing", Float_get_trailing, nullptr,
                               "Bytes after the four of the float, in its entry.", nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef Float_methods[] = {
    {"from_bits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Float_from_bits)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_bits(bits, *, trailing=b'')\n--\n\nThe float whose 32 bits are `bits`, NaN payloads "
     "included."},
    {nullptr, nullptr, 0, nullptr}};

PyNumberMethods Float_number = [] {
  PyNumberMethods m{};
  m.nb_float = Float_float;
  m.nb_bool = Float_bool;
  return m;
}();

// ---- Bool ----

struct BoolObject {
  PyObject_HEAD uint8_t byte;
  PyObject* trailing;
};

PyObject* NewBoolByte(uint8_t byte, PyObject* trailing) {
  BoolObject* b = PyObject_New(BoolObject, &BoolType);
  if (b == nullptr) {
    Py_DECREF(trailing);
    return nullptr;
  }
  b->byte = byte;
  b->trailing = trailing;
  return reinterpret_cast<PyObject*>(b);
}

bool ByteOf(PyObject* value, uint8_t* byte) {
  if (PyObject_TypeCheck(value, &BoolType)) {
    *byte = reinterpret_cast<BoolObject*>(value)->byte;
    return true;
  }
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "Bool takes True, False or a byte (0 to 255), not %.100s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0 || v > 255) {
    PyErr_Format(PyExc_ValueError, "a bool is one byte: 0 to 255, not %ld", v);
    return false;
  }
  *byte = static_cast<uint8_t>(v);
  return true;
}

PyObject* Bool_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"value", "trailing", nullptr};
  PyObject* value = nullptr;
  PyObject* trailingArg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O$O", const_cast<char**>(kw), &value,
                                   &trailingArg)) {
    return nullptr;
  }
  uint8_t byte = 0;
  if (value != nullptr && !ByteOf(value, &byte)) return nullptr;
  PyObject* trailing;
  if (!TrailingArg(trailingArg, &trailing)) return nullptr;
  return NewBoolByte(byte, trailing);
}

void Bool_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<BoolObject*>(self)->trailing);
  PyObject_Free(self);
}

int Bool_bool(PyObject* self) { return reinterpret_cast<BoolObject*>(self)->byte != 0; }
PyObject* Bool_int(PyObject* self) {
  return PyLong_FromLong(reinterpret_cast<BoolObject*>(self)->byte);
}

PyObject* Bool_repr(PyObject* self) {
  const BoolObject* b = reinterpret_cast<BoolObject*>(self);
  const char* word = b->byte == 0 ? "False" : b->byte == 1 ? "True" : nullptr;
  PyObject* head = word != nullptr ? PyUnicode_FromString(word) : PyLong_FromLong(b->byte);
  if (head == nullptr) return nullptr;
  PyObject* r = PyBytes_GET_SIZE(b->trailing) == 0
                    ? PyUnicode_FromFormat("Bool(%S)", head)
                    : PyUnicode_FromFormat("Bool(%S, trailing=%R)", head, b->trailing);
  Py_DECREF(head);
  return r;
}

Py_hash_t Bool_hash(PyObject* self) { return reinterpret_cast<BoolObject*>(self)->byte; }

// Against another Bool: the same byte and bytes after it; against True, False or an int, by the
// byte, so that a bool holding 7 equals 7 and not True.
PyObject* Bool_richcompare(PyObject* self, PyObject* other, int op) {
  const BoolObject* a = reinterpret_cast<BoolObject*>(self);
  if (PyObject_TypeCheck(other, &BoolType)) {
    const BoolObject* b = reinterpret_cast<BoolObject*>(other);
    return CompareBool(a->byte == b->byte && SameBytes(a->trailing, b->trailing), op);
  }
  if (!PyLong_Check(other)) Py_RETURN_NOTIMPLEMENTED;
  PyObject* mine = PyLong_FromLong(a->byte);
  if (mine == nullptr) return nullptr;
  PyObject* r = PyObject_RichCompare(mine, other, op);
  Py_DECREF(mine);
  return r;
}

PyObject* Bool_get_byte(PyObject* self, void*) { return Bool_int(self); }
PyObject* Bool_get_trailing(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<BoolObject*>(self)->trailing);
}

PyGetSetDef Bool_getset[] = {
    {"byte", Bool_get_byte, nullptr, "The byte as stored: 0 to 255.", nullptr},
    {"trailing", Bool_get_trailing, nullptr, "Bytes after the byte, in its entry.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyNumberMethods Bool_number = [] {
  PyNumberMethods m{};
  m.nb_bool = Bool_bool;
  m.nb_int = Bool_int;
  m.nb_index = Bool_int;
  return m;
}();

// ---- Text and Localized ----

struct TextObject {
  PyObject_HEAD PyObject* value;  // bytes, without the zero
  PyObject* trailing;
};

PyObject* NewText(PyTypeObject* type, PyObject* value, PyObject* trailing) {
  TextObject* t = PyObject_New(TextObject, type);
  if (t == nullptr) {
    Py_DECREF(value);
    Py_DECREF(trailing);
    return nullptr;
  }
  t->value = value;
  t->trailing = trailing;
  return reinterpret_cast<PyObject*>(t);
}

void Text_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<TextObject*>(self)->value);
  Py_XDECREF(reinterpret_cast<TextObject*>(self)->trailing);
  PyObject_Free(self);
}

// The bytes of an 8-bit text: bytes-like, or a str as UTF-8; a zero byte would end it.
PyObject* TextBytes(PyObject* value) {
  PyObject* bytes = PyUnicode_Check(value)        ? PyUnicode_AsUTF8String(value)
                    : PyObject_CheckBuffer(value) ? PyBytes_FromObject(value)
                                                  : nullptr;
  if (bytes == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_TypeError, "Text takes bytes, not %.100s", Py_TYPE(value)->tp_name);
    }
    return nullptr;
  }
  if (std::memchr(PyBytes_AS_STRING(bytes), 0, static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)))) {
    Py_DECREF(bytes);
    PyErr_SetString(PyExc_ValueError, "a text ends at its first zero byte: it cannot hold one");
    return nullptr;
  }
  return bytes;
}

// The UTF-16LE code units of a localized text: from a str (lone surrogates kept as units) or from
// a sequence of code units; a zero unit would end it.
PyObject* LocalizedUnits(PyObject* value) {
  PyObject* bytes = nullptr;
  if (PyUnicode_Check(value)) {
    bytes = PyUnicode_AsEncodedString(value, "utf-16-le", "surrogatepass");
  } else if (PyObject_TypeCheck(value, &LocalizedType)) {
    bytes = Py_NewRef(reinterpret_cast<TextObject*>(value)->value);
  } else {
    PyObject* seq = PySequence_Fast(value, "Localized takes a str or a sequence of code units");
    if (seq == nullptr) return nullptr;
    std::string units;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
      const long u = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq, i));
      if (u == -1 && PyErr_Occurred()) break;
      if (u < 0 || u > 0xFFFF) {
        PyErr_Format(PyExc_ValueError, "a code unit is 0 to 0xFFFF, not %ld", u);
        break;
      }
      units.push_back(static_cast<char>(u & 0xFF));
      units.push_back(static_cast<char>(u >> 8));
    }
    Py_DECREF(seq);
    if (PyErr_Occurred()) return nullptr;
    bytes = BytesOf(units.data(), static_cast<int64_t>(units.size()));
  }
  if (bytes == nullptr) return nullptr;
  const std::string_view v = View(bytes);
  for (std::size_t k = 0; k + 1 < v.size(); k += 2) {
    if (v[k] == 0 && v[k + 1] == 0) {
      Py_DECREF(bytes);
      PyErr_SetString(PyExc_ValueError,
                      "a localized text ends at its first zero unit: it cannot hold one");
      return nullptr;
    }
  }
  return bytes;
}

PyObject* TextLike_new(PyTypeObject* type, PyObject* args, PyObject* kwds, bool localized) {
  static const char* kw[] = {"value", "trailing", nullptr};
  PyObject* value = nullptr;
  PyObject* trailingArg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O$O", const_cast<char**>(kw), &value,
                                   &trailingArg)) {
    return nullptr;
  }
  PyObject* bytes = value == nullptr ? Empty()
                    : localized      ? LocalizedUnits(value)
                                     : TextBytes(value);
  if (bytes == nullptr) return nullptr;
  PyObject* trailing;
  if (!TrailingArg(trailingArg, &trailing)) {
    Py_DECREF(bytes);
    return nullptr;
  }
  return NewText(type, bytes, trailing);
}

PyObject* Text_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return TextLike_new(type, args, kwds, false);
}
PyObject* Localized_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return TextLike_new(type, args, kwds, true);
}

PyObject* Text_get_value(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<TextObject*>(self)->value);
}
PyObject* Text_get_trailing(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<TextObject*>(self)->trailing);
}
PyObject* Text_get_text(PyObject* self, void*) {
  const std::string_view v = View(reinterpret_cast<TextObject*>(self)->value);
  return PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "strict");
}
PyObject* Text_bytes(PyObject* self, PyObject*) { return Text_get_value(self, nullptr); }

PyObject* Localized_str(PyObject* self) {
  const std::string_view v = View(reinterpret_cast<TextObject*>(self)->value);
  return PyUnicode_DecodeUTF16(v.data(), static_cast<Py_ssize_t>(v.size()), "surrogatepass",
                               nullptr);
}
PyObject* Localized_get_text(PyObject* self, void*) { return Localized_str(self); }
PyObject* Localized_get_units(PyObject* self, void*) {
  const std::string_view v = View(reinterpret_cast<TextObject*>(self)->value);
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(v.size() / 2));
  if (t == nullptr) return nullptr;
  for (std::size_t k = 0; k < v.size() / 2; ++k) {
    const unsigned u = static_cast<uint8_t>(v[2 * k]) | static_cast<uint8_t>(v[2 * k + 1]) << 8;
    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(k), PyLong_FromUnsignedLong(u));
  }
  return t;
}

PyObject* TextLike_repr(PyObject* self, const char* name, PyObject* shown) {
  const TextObject* t = reinterpret_cast<TextObject*>(self);
  if (shown == nullptr) return nullptr;
  PyObject* r = PyBytes_GET_SIZE(t->trailing) == 0
                    ? PyUnicode_FromFormat("%s(%R)", name, shown)
                    : PyUnicode_FromFormat("%s(%R, trailing=%R)", name, shown, t->trailing);
  Py_DECREF(shown);
  return r;
}
PyObject* Text_repr(PyObject* self) {
  return TextLike_repr(self, "Text", Py_NewRef(reinterpret_cast<TextObject*>(self)->value));
}
PyObject* Localized_repr(PyObject* self) {
  return TextLike_repr(self, "Localized", Localized_str(self));
}

Py_hash_t Text_hash(PyObject* self) {
  return PyObject_Hash(reinterpret_cast<TextObject*>(self)->value);
}
Py_hash_t Localized_hash(PyObject* self) {
  PyObject* s = Localized_str(self);
  if (s == nullptr) return -1;
  const Py_hash_t h = PyObject_Hash(s);
  Py_DECREF(s);
  return h;
}

// Against the same type: the same units and bytes after them; a Text against bytes and a
// Localized against a str by what they hold.
PyObject* TextLike_richcompare(PyObject* self, PyObject* other, int op) {
  const TextObject* a = reinterpret_cast<TextObject*>(self);
  if (Py_TYPE(other) == Py_TYPE(self)) {
    const TextObject* b = reinterpret_cast<TextObject*>(other);
    return CompareBool(SameBytes(a->value, b->value) && SameBytes(a->trailing, b->trailing), op);
  }
  if (Py_TYPE(self) == &TextType && PyBytes_Check(other)) {
    return CompareBool(SameBytes(a->value, other), op);
  }
  if (Py_TYPE(self) == &LocalizedType && PyUnicode_Check(other)) {
    PyObject* s = Localized_str(self);
    if (s == nullptr) return nullptr;
    PyObject* r = PyObject_RichCompare(s, other, op);
    Py_DECREF(s);
    return r;
  }
  Py_RETURN_NOTIMPLEMENTED;
}

PyGetSetDef Text_getset[] = {
    {"value", Text_get_value, nullptr, "The text's bytes, up to its zero.", nullptr},
    {"text", Text_get_text, nullptr,
     "The bytes decoded as UTF-8; UnicodeDecodeError where they are not valid UTF-8.", nullptr},
    {"trailing", Text_get_trailing, nullptr, "Bytes after the text's zero, in its entry.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyMethodDef Text_methods[] = {
    {"__bytes__", Text_bytes, METH_NOARGS, "The text's bytes, up to its zero."},
    {nullptr, nullptr, 0, nullptr}};
PyGetSetDef Localized_getset[] = {
    {"units", Localized_get_units, nullptr, "The UTF-16 code units, up to the zero unit.", nullptr},
    {"text", Localized_get_text, nullptr, "The units as a str (unpaired surrogates kept).",
     nullptr},
    {"trailing", Text_get_trailing, nullptr, "Bytes after the zero unit, in its entry.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- Raw ----

struct RawObject {
  PyObject_HEAD uint32_t type;
  PyObject* data;
  PyObject* reason;  // str, for a damaged table; None otherwise
};

PyObject* NewRaw(uint32_t type, PyObject* data, PyObject* reason) {
  RawObject* r = PyObject_New(RawObject, &RawType);
  if (r == nullptr) {
    Py_DECREF(data);
    Py_DECREF(reason);
    return nullptr;
  }
  r->type = type;
  r->data = data;
  r->reason = reason;
  return reinterpret_cast<PyObject*>(r);
}

PyObject* Raw_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"type", "data", nullptr};
  PyObject* typeArg;
  uint32_t type;
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char**>(kw), &typeArg, &data) ||
      !U32Arg(typeArg, "a type", &type)) {
    return nullptr;
  }
  PyObject* bytes = data == nullptr ? Empty() : PyBytes_FromObject(data);
  if (bytes == nullptr) return nullptr;
  return NewRaw(static_cast<uint32_t>(type), bytes, Py_NewRef(Py_None));
}

void Raw_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<RawObject*>(self)->data);
  Py_XDECREF(reinterpret_cast<RawObject*>(self)->reason);
  PyObject_Free(self);
}

PyObject* Raw_repr(PyObject* self) {
  const RawObject* r = reinterpret_cast<RawObject*>(self);
  if (r->reason != Py_None) {
    return PyUnicode_FromFormat("Raw(%u, <%zd bytes: %U>)", r->type, PyBytes_GET_SIZE(r->data),
                                r->reason);
  }
  if (PyBytes_GET_SIZE(r->data) > 64) {
    return PyUnicode_FromFormat("Raw(%u, <%zd bytes>)", r->type, PyBytes_GET_SIZE(r->data));
  }
  return PyUnicode_FromFormat("Raw(%u, %R)", r->type, r->data);
}

Py_hash_t Raw_hash(PyObject* self) {
  const RawObject* r = reinterpret_cast<RawObject*>(self);
  const Py_hash_t h = PyObject_Hash(r->data);
  return h == -1 ? -1 : h ^ static_cast<Py_hash_t>(r->type);
}

PyObject* Raw_richcompare(PyObject* self, PyObject* other, int op) {
  if (!PyObject_TypeCheck(other, &RawType)) Py_RETURN_NOTIMPLEMENTED;
  const RawObject* a = reinterpret_cast<RawObject*>(self);
  const RawObject* b = reinterpret_cast<RawObject*>(other);
  return CompareBool(a->type == b->type && SameBytes(a->data, b->data), op);
}

PyObject* Raw_get_type(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(reinterpret_cast<RawObject*>(self)->type);
}
PyObject* Raw_get_data(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<RawObject*>(self)->data);
}
PyObject* Raw_get_reason(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<RawObject*>(self)->reason);
}

PyGetSetDef Raw_getset[] = {
    {"type", Raw_get_type, nullptr, "The entry's type code.", nullptr},
    {"data", Raw_get_data, nullptr, "The entry's bytes, its whole extent.", nullptr},
    {"reason", Raw_get_reason, nullptr,
     "For a damaged table, what is wrong with it (as atbutil check says); None otherwise.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- Entry ----

EntryObject* AllocEntry() {
  EntryObject* e = PyObject_New(EntryObject, &EntryPyType);
  if (e == nullptr) return nullptr;
  e->key = 0;
  e->type = 0;
  e->value = nullptr;
  e->source = nullptr;
  e->start = e->end = 0;
  e->index = -1;
  e->changed = false;
  return e;
}

void Entry_dealloc(PyObject* self) {
  EntryObject* e = reinterpret_cast<EntryObject*>(self);
  Py_XDECREF(e->value);
  Py_XDECREF(e->source);
  PyObject_Free(self);
}

PyObject* Entry_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"key", "value", nullptr};
  PyObject* keyArg;
  uint32_t key;
  PyObject* value;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO", const_cast<char**>(kw), &keyArg, &value) ||
      !U32Arg(keyArg, "a key", &key)) {
    return nullptr;
  }
  PyObject* typed = Coerce(nullptr, value);
  if (typed == nullptr) return nullptr;
  PyObject* e = NewEntry(static_cast<uint32_t>(key), typed);
  Py_DECREF(typed);
  return e;
}

PyObject* Entry_get_key(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(reinterpret_cast<EntryObject*>(self)->key);
}
PyObject* Entry_get_type(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(reinterpret_cast<EntryObject*>(self)->type);
}
PyObject* Entry_get_value(PyObject* self, void*) {
  PyObject* v = EntryValue(reinterpret_cast<EntryObject*>(self));
  return v == nullptr ? nullptr : Py_NewRef(v);
}
int Entry_set_value(PyObject* self, PyObject* value, void*) {
  EntryObject* e = reinterpret_cast<EntryObject*>(self);
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "an entry's value cannot be deleted: delete the entry");
    return -1;
  }
  PyObject* old = nullptr;
  // The old value is read only where the new one takes something of it: its trailing bytes.
  // It is held while the new one is made, whatever that runs.
  uint32_t type = 0;
  const bool plain = !TypeOfValue(value, &type);
  if (plain && (old = EntryValue(e)) == nullptr) return -1;
  Py_XINCREF(old);
  PyObject* typed = Coerce(old, value);
  Py_XDECREF(old);
  if (typed == nullptr) return -1;
  TypeOfValue(typed, &type);
  Py_XSETREF(e->value, typed);
  e->type = type;
  e->changed = true;
  return 0;
}
PyObject* Entry_get_name(PyObject* self, void*) {
  const std::string_view name = Names().PathNameOf(reinterpret_cast<EntryObject*>(self)->key);
  if (name.empty()) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* Entry_repr(PyObject* self) {
  EntryObject* e = reinterpret_cast<EntryObject*>(self);
  PyObject* value = EntryValue(e);
  if (value == nullptr) return nullptr;
  PyObject* name = Entry_get_name(self, nullptr);
  if (name == nullptr) return nullptr;
  PyObject* r = name == Py_None ? PyUnicode_FromFormat("Entry(%u, %R)", e->key, value)
                                : PyUnicode_FromFormat("Entry(%R, %R)", name, value);
  Py_DECREF(name);
  return r;
}

PyObject* Entry_richcompare(PyObject* self, PyObject* other, int op) {
  if (!PyObject_TypeCheck(other, &EntryPyType) || (op != Py_EQ && op != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  EntryObject* a = reinterpret_cast<EntryObject*>(self);
  EntryObject* b = reinterpret_cast<EntryObject*>(other);
  if (a->key != b->key || a->type != b->type) return CompareBool(false, op);
  PyObject* va = EntryValue(a);
  PyObject* vb = va == nullptr ? nullptr : EntryValue(b);
  if (vb == nullptr) return nullptr;
  return PyObject_RichCompare(va, vb, op);
}

PyGetSetDef Entry_getset[] = {
    {"key", Entry_get_key, nullptr, "The key hash.", nullptr},
    {"type", Entry_get_type, nullptr,
     "The type code: 0 float, 2 bool, 3 text, 4 localized, 100 table, or another.", nullptr},
    {"value", Entry_get_value, Entry_set_value,
     "The value: Float, Bool, Text, Localized, a Table, or Raw. Assigning a float or an int to a "
     "float entry rounds it to the nearest float, bytes to a text, str to a localized text and "
     "True or False to a bool, keeping the bytes after the old value; a typed value stands as it "
     "is, bytes after it included.",
     nullptr},
    {"name", Entry_get_name, nullptr,
     "The key's label or known name, as a path writes it; None when it has none.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- _TableBase ----

int Table_traverse(PyObject* self, visitproc visit, void* arg) {
  TableObject* t = reinterpret_cast<TableObject*>(self);
  Py_VISIT(t->entries);
  Py_VISIT(t->lead);
  Py_VISIT(t->source);
  Py_VISIT(t->index);
  return 0;
}

int Table_clear(PyObject* self) {
  TableObject* t = reinterpret_cast<TableObject*>(self);
  Py_CLEAR(t->entries);
  Py_CLEAR(t->lead);
  Py_CLEAR(t->source);
  Py_CLEAR(t->index);
  return 0;
}

void Table_dealloc(PyObject* self) {
  // A subclass's dealloc, which calls this one, lets go of its heap type itself.
  PyObject_GC_UnTrack(self);
  if (reinterpret_cast<TableObject*>(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  Table_clear(self);
  Py_TYPE(self)->tp_free(self);
}

void InitTable(TableObject* t) {
  t->entries = nullptr;
  t->lead = nullptr;
  t->source = nullptr;
  t->start = t->end = 0;
  t->index = nullptr;
  t->leadChanged = false;
  t->weakrefs = nullptr;
}

PyObject* Table_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  TableObject* t = reinterpret_cast<TableObject*>(self);
  InitTable(t);
  t->entries = PyList_New(0);
  t->lead = Empty();
  if (t->entries == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

PyObject* Table_get_entries(PyObject* self, void*) {
  TableObject* t = reinterpret_cast<TableObject*>(self);
  if (!LoadTable(t)) return nullptr;
  return Py_NewRef(t->entries);
}
PyObject* Table_get_lead(PyObject* self, void*) {
  TableObject* t = reinterpret_cast<TableObject*>(self);
  if (!LoadTable(t)) return nullptr;
  return Py_NewRef(t->lead);
}
int Table_set_lead(PyObject* self, PyObject* value, void*) {
  TableObject* t = reinterpret_cast<TableObject*>(self);
  if (value == nullptr || !PyObject_CheckBuffer(value)) {
    PyErr_SetString(PyExc_TypeError, "a table's lead is bytes");
    return -1;
  }
  if (!LoadTable(t)) return -1;
  PyObject* bytes = PyBytes_FromObject(value);
  if (bytes == nullptr) return -1;
  Py_XSETREF(t->lead, bytes);
  t->leadChanged = true;
  return 0;
}
PyObject* Table_get_index(PyObject* self, void*) {
  TableObject* t = reinterpret_cast<TableObject*>(self);
  return Py_NewRef(t->index == nullptr ? Py_None : t->index);
}
int Table_set_index(PyObject* self, PyObject* value, void*) {
  TableObject* t = reinterpret_cast<TableObject*>(self);
  Py_CLEAR(t->index);
  if (value != nullptr && value != Py_None) t->index = Py_NewRef(value);
  return 0;
}
PyObject* Table_get_loaded(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<TableObject*>(self)->entries != nullptr);
}

PyGetSetDef Table_getset[] = {
    {"_entries", Table_get_entries, nullptr, "The list of entries itself, read first.", nullptr},
    {"lead", Table_get_lead, Table_set_lead,
     "The bytes in front of the table's first value, which belong to no entry.", nullptr},
    {"_index", Table_get_index, Table_set_index, "Positions by key, while they hold.", nullptr},
    {"_loaded", Table_get_loaded, nullptr, "Whether the entries were read.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- Source ----

void Source_dealloc(PyObject* self) {
  delete reinterpret_cast<SourceObject*>(self)->source;
  PyObject_Free(self);
}

// ---- decoding ----

// The value of an entry of `type` whose extent is [start, end) of the source.
PyObject* DecodeValue(Source& s, PyObject* sourceObject, uint32_t type, int64_t start,
                      int64_t end) {
  const int64_t n = end - start;
  if (type == static_cast<uint32_t>(atb::EntryType::Reference)) {
    atb::TableShape shape;
    const atb::Status checked = atb::CheckTable(s.bytes(), start, end, &shape);
    if (checked.ok()) return NewBackedTable(tableClass, sourceObject, start, end);
    if (checked.ioError()) return RaiseStatus(checked);
    PyObject* reason = PyUnicode_FromString(checked.Message().c_str());
    if (reason == nullptr) return nullptr;
    std::string bytes;
    const uint8_t* p = s.memory();
    if (p == nullptr) {
      bytes.resize(static_cast<std::size_t>(n));
      const atb::Status read = s.bytes().ReadAt(start, bytes.data(), bytes.size());
      if (!read.ok()) {
        Py_DECREF(reason);
        return RaiseStatus(read);
      }
    }
    PyObject* data = p != nullptr ? BytesOf(p + start, n) : BytesOf(bytes.data(), n);
    if (data == nullptr) {
      Py_DECREF(reason);
      return nullptr;
    }
    return NewRaw(type, data, reason);
  }
  std::string buffer;
  const uint8_t* p = s.memory();
  if (p != nullptr) {
    p += start;
  } else {
    buffer.resize(static_cast<std::size_t>(n));
    const atb::Status read = s.bytes().ReadAt(start, buffer.data(), buffer.size());
    if (!read.ok()) return RaiseStatus(read);
    p = reinterpret_cast<const uint8_t*>(buffer.data());
  }
  switch (static_cast<atb::EntryType>(type)) {
    case atb::EntryType::Float:
      if (n >= 4) {
        PyObject* trailing = BytesOf(p + 4, n - 4);
        return trailing == nullptr ? nullptr : NewFloatBits(atb::DecodeFixed32(p), trailing);
      }
      break;
    case atb::EntryType::Bool:
      if (n >= 1) {
        PyObject* trailing = BytesOf(p + 1, n - 1);
        return trailing == nullptr ? nullptr : NewBoolByte(p[0], trailing);
      }
      break;
    case atb::EntryType::Text: {
      const void* zero = std::memchr(p, 0, static_cast<std::size_t>(n));
      if (zero == nullptr) break;
      const int64_t z = static_cast<const uint8_t*>(zero) - p;
      PyObject* value = BytesOf(p, z);
      PyObject* trailing = value == nullptr ? nullptr : BytesOf(p + z + 1, n - z - 1);
      if (trailing == nullptr) {
        Py_XDECREF(value);
        return nullptr;
      }
      return NewText(&TextType, value, trailing);
    }
    case atb::EntryType::LocalizedText:
      for (int64_t z = 0; z + 1 < n; z += 2) {
        if (p[z] != 0 || p[z + 1] != 0) continue;
        PyObject* value = BytesOf(p, z);
        PyObject* trailing = value == nullptr ? nullptr : BytesOf(p + z + 2, n - z - 2);
        if (trailing == nullptr) {
          Py_XDECREF(value);
          return nullptr;
        }
        return NewText(&LocalizedType, value, trailing);
      }
      break;
    default:
      break;
  }
  PyObject* data = BytesOf(p, n);
  return data == nullptr ? nullptr : NewRaw(type, data, Py_NewRef(Py_None));
}

// ---- encoding ----

bool IsUnreadTable(const TableObject* t) { return t->entries == nullptr && t->source != nullptr; }

// The size of a value that is no table read into memory; -1 with an exception for no value.
int64_t LeafSize(PyObject* v) {
  PyTypeObject* type = Py_TYPE(v);
  if (type == &FloatType) return 4 + PyBytes_GET_SIZE(reinterpret_cast<FloatObject*>(v)->trailing);
  if (type == &BoolType) return 1 + PyBytes_GET_SIZE(reinterpret_cast<BoolObject*>(v)->trailing);
  if (type == &TextType) {
    const TextObject* t = reinterpret_cast<TextObject*>(v);
    return PyBytes_GET_SIZE(t->value) + 1 + PyBytes_GET_SIZE(t->trailing);
  }
  if (type == &LocalizedType) {
    const TextObject* t = reinterpret_cast<TextObject*>(v);
    return PyBytes_GET_SIZE(t->value) + 2 + PyBytes_GET_SIZE(t->trailing);
  }
  if (type == &RawType) return PyBytes_GET_SIZE(reinterpret_cast<RawObject*>(v)->data);
  if (IsTable(v)) {
    const TableObject* t = reinterpret_cast<TableObject*>(v);
    return t->end - t->start;
  }
  PyErr_Format(PyExc_TypeError, "%.100s is no value of an entry", type->tp_name);
  return -1;
}

void Put(std::string* out, std::string_view bytes) { out->append(bytes); }
void PutU32(std::string* out, uint32_t v) {
  uint8_t b[4];
  atb::EncodeFixed32(b, v);
  out->append(reinterpret_cast<char*>(b), 4);
}

bool CopyExtent(PyObject* sourceObject, int64_t start, int64_t end, std::string* out) {
  const std::size_t at = out->size();
  out->resize(at + static_cast<std::size_t>(end - start));
  const atb::Status s = SourceOf(sourceObject)
                            ->bytes()
                            .ReadAt(start, out->data() + at, static_cast<std::size_t>(end - start));
  if (!s.ok()) {
    RaiseStatus(s);
    return false;
  }
  return true;
}

bool WriteLeaf(PyObject* v, std::string* out) {
  PyTypeObject* type = Py_TYPE(v);
  if (type == &FloatType) {
    PutU32(out, reinterpret_cast<FloatObject*>(v)->bits);
    Put(out, View(reinterpret_cast<FloatObject*>(v)->trailing));
  } else if (type == &BoolType) {
    out->push_back(static_cast<char>(reinterpret_cast<BoolObject*>(v)->byte));
    Put(out, View(reinterpret_cast<BoolObject*>(v)->trailing));
  } else if (type == &TextType || type == &LocalizedType) {
    const TextObject* t = reinterpret_cast<TextObject*>(v);
    Put(out, View(t->value));
    out->append(type == &TextType ? 1 : 2, '\0');
    Put(out, View(t->trailing));
  } else if (type == &RawType) {
    Put(out, View(reinterpret_cast<RawObject*>(v)->data));
  } else {
    const TableObject* t = reinterpret_cast<TableObject*>(v);
    return CopyExtent(t->source, t->start, t->end, out);
  }
  return true;
}

using Sizes = std::unordered_map<PyObject*, int64_t>;

// The size of an entry's extent, its table measured already.
int64_t ExtentSize(EntryObject* e, const Sizes& sizes) {
  if (e->value == nullptr) return e->end - e->start;
  if (IsTable(e->value)) {
    auto it = sizes.find(e->value);
    if (it != sizes.end()) return it->second;
  }
  return LeafSize(e->value);
}

// Measures every table read into memory below `top` (itself included) into *sizes, without
// recursion: tables may nest deeper than the stack reaches. A table inside itself is refused.
bool Measure(TableObject* top, Sizes* sizes) {
  struct Frame {
    TableObject* table;
    Py_ssize_t next;
    int64_t size;
  };
  std::vector<Frame> stack;
  std::unordered_set<PyObject*> open;
  auto push = [&](TableObject* t) {
    stack.push_back({t, 0, 4 + 12 * PyList_GET_SIZE(t->entries) + PyBytes_GET_SIZE(t->lead)});
    open.insert(reinterpret_cast<PyObject*>(t));
  };
  push(top);
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == PyList_GET_SIZE(f.table->entries)) {
      const int64_t size = f.size;
      PyObject* done = reinterpret_cast<PyObject*>(f.table);
      (*sizes)[done] = size;
      open.erase(done);
      stack.pop_back();
      if (!stack.empty()) stack.back().size += size;
      continue;
    }
    PyObject* item = PyList_GET_ITEM(f.table->entries, f.next++);
    // The list is a table's own, but Python code can reach it: what is no entry has no bytes.
    if (!PyObject_TypeCheck(item, &EntryPyType)) {
      PyErr_Format(PyExc_TypeError, "a table holds a %.100s, which is no Entry",
                   Py_TYPE(item)->tp_name);
      return false;
    }
    EntryObject* e = reinterpret_cast<EntryObject*>(item);
    PyObject* v = e->value;
    if (v != nullptr && IsTable(v) && !IsUnreadTable(reinterpret_cast<TableObject*>(v)) &&
        sizes->find(v) == sizes->end()) {
      if (open.count(v) != 0) {
        PyErr_SetString(PyExc_ValueError, "a table holds itself: it has no bytes");
        return false;
      }
      push(reinterpret_cast<TableObject*>(v));
      continue;
    }
    const int64_t n = ExtentSize(e, *sizes);
    if (n < 0) return false;
    f.size += n;
    if (f.size > atb::MAX_FILE_LENGTH) {
      PyErr_SetString(refusedError, "file too large");
      return false;
    }
  }
  return true;
}

void WriteHead(TableObject* t, const Sizes& sizes, std::string* out) {
  const Py_ssize_t count = PyList_GET_SIZE(t->entries);
  PutU32(out, static_cast<uint32_t>(count));
  int64_t off = PyBytes_GET_SIZE(t->lead);
  for (Py_ssize_t i = 0; i < count; ++i) {
    EntryObject* e = reinterpret_cast<EntryObject*>(PyList_GET_ITEM(t->entries, i));
    PutU32(out, e->key);
    PutU32(out, e->type);
    PutU32(out, static_cast<uint32_t>(off));
    off += ExtentSize(e, sizes);
  }
  Put(out, View(t->lead));
}

bool WriteTable(TableObject* top, const Sizes& sizes, std::string* out) {
  std::vector<std::pair<TableObject*, Py_ssize_t>> stack;
  WriteHead(top, sizes, out);
  stack.emplace_back(top, 0);
  while (!stack.empty()) {
    auto& [t, next] = stack.back();
    if (next == PyList_GET_SIZE(t->entries)) {
      stack.pop_back();
      continue;
    }
    EntryObject* e = reinterpret_cast<EntryObject*>(PyList_GET_ITEM(t->entries, next++));
    PyObject* v = e->value;
    if (v == nullptr) {
      if (!CopyExtent(e->source, e->start, e->end, out)) return false;
    } else if (IsTable(v) && !IsUnreadTable(reinterpret_cast<TableObject*>(v))) {
      TableObject* nested = reinterpret_cast<TableObject*>(v);
      WriteHead(nested, sizes, out);
      stack.emplace_back(nested, 0);
    } else if (!WriteLeaf(v, out)) {
      return false;
    }
  }
  return true;
}

}  // namespace

// ---- types ----

PyTypeObject FloatType{};
PyTypeObject BoolType{};
PyTypeObject TextType{};
PyTypeObject LocalizedType{};
PyTypeObject RawType{};
PyTypeObject EntryPyType{};
PyTypeObject TableBaseType{};
PyTypeObject SourceType{};

namespace {

// A static type as PyVarObject_HEAD_INIT would begin it, the rest set below.
void Begin(PyTypeObject* type, const char* name) {
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(type), 1);
  Py_SET_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type);
  type->tp_name = name;
}

}  // namespace

// The value types: how each is made, shown, compared and converted.
void SetUpValueTypes() {
  FloatType.tp_basicsize = sizeof(FloatObject);
  FloatType.tp_flags = Py_TPFLAGS_DEFAULT;
  FloatType.tp_doc =
      "Float(value=0.0, *, trailing=b'')\n--\n\n"
      "A float entry's value: its 32 bits, kept as stored (NaN payloads included), and the bytes "
      "after them in its entry. float(v) gives its value; a float or an int given is rounded to "
      "the nearest float, and one beyond the float range refused (OverflowError).";
  FloatType.tp_new = Float_new;
  FloatType.tp_dealloc = Float_dealloc;
  FloatType.tp_repr = Float_repr;
  FloatType.tp_hash = Float_hash;
  FloatType.tp_richcompare = Float_richcompare;
  FloatType.tp_as_number = &Float_number;
  FloatType.tp_getset = Float_getset;
  FloatType.tp_methods = Float_methods;

  BoolType.tp_basicsize = sizeof(BoolObject);
  BoolType.tp_flags = Py_TPFLAGS_DEFAULT;
  BoolType.tp_doc =
      "Bool(value=False, *, trailing=b'')\n--\n\n"
      "A bool entry's value: its byte as stored (a bool holding 7 stays 7) and the bytes after "
      "it. bool(v) is whether the byte is not zero, int(v) the byte; True and False give 1 and 0.";
  BoolType.tp_new = Bool_new;
  BoolType.tp_dealloc = Bool_dealloc;
  BoolType.tp_repr = Bool_repr;
  BoolType.tp_hash = Bool_hash;
  BoolType.tp_richcompare = Bool_richcompare;
  BoolType.tp_as_number = &Bool_number;
  BoolType.tp_getset = Bool_getset;

  TextType.tp_basicsize = sizeof(TextObject);
  TextType.tp_flags = Py_TPFLAGS_DEFAULT;
  TextType.tp_doc =
      "Text(value=b'', *, trailing=b'')\n--\n\n"
      "An 8-bit text: its bytes up to the zero (bytes(v)), and the bytes after the zero. .text "
      "decodes them as UTF-8. A str given is encoded as UTF-8.";
  TextType.tp_new = Text_new;
  TextType.tp_dealloc = Text_dealloc;
  TextType.tp_repr = Text_repr;
  TextType.tp_hash = Text_hash;
  TextType.tp_richcompare = TextLike_richcompare;
  TextType.tp_getset = Text_getset;
  TextType.tp_methods = Text_methods;

  LocalizedType.tp_basicsize = sizeof(TextObject);
  LocalizedType.tp_flags = Py_TPFLAGS_DEFAULT;
  LocalizedType.tp_doc =
      "Localized(value='', *, trailing=b'')\n--\n\n"
      "A localized (UTF-16) text: its code units as stored, up to the zero unit, and the bytes "
      "after it. str(v) gives the text, unpaired surrogates kept; value may be a str or a "
      "sequence of code units.";
  LocalizedType.tp_new = Localized_new;
  LocalizedType.tp_dealloc = Text_dealloc;
  LocalizedType.tp_repr = Localized_repr;
  LocalizedType.tp_str = Localized_str;
  LocalizedType.tp_hash = Localized_hash;
  LocalizedType.tp_richcompare = TextLike_richcompare;
  LocalizedType.tp_getset = Localized_getset;

  RawType.tp_basicsize = sizeof(RawObject);
  RawType.tp_flags = Py_TPFLAGS_DEFAULT;
  RawType.tp_doc =
      "Raw(type, data=b'')\n--\n\n"
      "An entry's bytes as they are, with its type: an unknown type, a value its extent cannot "
      "hold (a float of two bytes, a text without its zero), or a damaged table (type 100, with "
      "the .reason it is damaged).";
  RawType.tp_new = Raw_new;
  RawType.tp_dealloc = Raw_dealloc;
  RawType.tp_repr = Raw_repr;
  RawType.tp_hash = Raw_hash;
  RawType.tp_richcompare = Raw_richcompare;
  RawType.tp_getset = Raw_getset;
}

// The entry, the table base and the source a table's bytes are read from.
void SetUpTreeTypes() {
  EntryPyType.tp_basicsize = sizeof(EntryObject);
  EntryPyType.tp_flags = Py_TPFLAGS_DEFAULT;
  EntryPyType.tp_doc =
      "Entry(key, value)\n--\n\n"
      "One entry of a table: its key hash and its value. Tables make their entries; assigning "
      "to .value changes the entry in its table.";
  EntryPyType.tp_new = Entry_new;
  EntryPyType.tp_dealloc = Entry_dealloc;
  EntryPyType.tp_repr = Entry_repr;
  EntryPyType.tp_richcompare = Entry_richcompare;
  EntryPyType.tp_getset = Entry_getset;
  EntryPyType.tp_hash = PyObject_HashNotImplemented;

  TableBaseType.tp_basicsize = sizeof(TableObject);
  TableBaseType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  TableBaseType.tp_doc = "The core of a table, read from its file only once asked for.";
  TableBaseType.tp_new = Table_new;
  TableBaseType.tp_dealloc = Table_dealloc;
  TableBaseType.tp_traverse = Table_traverse;
  TableBaseType.tp_clear = Table_clear;
  TableBaseType.tp_getset = Table_getset;
  TableBaseType.tp_hash = PyObject_HashNotImplemented;
  TableBaseType.tp_weaklistoffset = offsetof(TableObject, weakrefs);

  SourceType.tp_basicsize = sizeof(SourceObject);
  SourceType.tp_flags = Py_TPFLAGS_DEFAULT;
  SourceType.tp_doc = "Where tables are read from.";
  SourceType.tp_dealloc = Source_dealloc;
}

bool AddTypes(PyObject* module) {
  Begin(&FloatType, "atbfile.Float");
  Begin(&BoolType, "atbfile.Bool");
  Begin(&TextType, "atbfile.Text");
  Begin(&LocalizedType, "atbfile.Localized");
  Begin(&RawType, "atbfile.Raw");
  Begin(&EntryPyType, "atbfile.Entry");
  Begin(&TableBaseType, "atbfile._TableBase");
  Begin(&SourceType, "atbfile._Source");
  emptyBytes = PyBytes_FromStringAndSize(nullptr, 0);
  if (emptyBytes == nullptr) return false;
  SetUpValueTypes();
  SetUpTreeTypes();

  struct Named {
    const char* name;
    PyTypeObject* type;
  };
  for (const Named& n :
       {Named{"Float", &FloatType}, Named{"Bool", &BoolType}, Named{"Text", &TextType},
        Named{"Localized", &LocalizedType}, Named{"Raw", &RawType}, Named{"Entry", &EntryPyType},
        Named{"_TableBase", &TableBaseType}, Named{"_Source", &SourceType}}) {
    if (PyType_Ready(n.type) < 0) return false;
    Py_INCREF(n.type);
    if (PyModule_AddObject(module, n.name, reinterpret_cast<PyObject*>(n.type)) < 0) return false;
  }
  return true;
}

void SetTableClasses(PyObject* table, PyObject* tree) {
  Py_XSETREF(tableClass, Py_NewRef(table));
  Py_XSETREF(treeClass, Py_NewRef(tree));
}

PyObject* TreeClass() { return treeClass; }

void SetErrorClasses(PyObject* damaged, PyObject* refused, PyObject* locked, PyObject* noSpace) {
  Py_XSETREF(damagedError, Py_NewRef(damaged));
  Py_XSETREF(refusedError, Py_NewRef(refused));
  Py_XSETREF(lockedError, Py_NewRef(locked));
  Py_XSETREF(noSpaceError, Py_NewRef(noSpace));
}

PyObject* NewSource(Source* source) {
  SourceObject* s = PyObject_New(SourceObject, &SourceType);
  if (s == nullptr) {
    delete source;
    return nullptr;
  }
  s->source = source;
  return reinterpret_cast<PyObject*>(s);
}

Source* SourceOf(PyObject* sourceObject) {
  return reinterpret_cast<SourceObject*>(sourceObject)->source;
}

PyObject* NewBackedTable(PyObject* cls, PyObject* source, int64_t start, int64_t end) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  TableObject* t = reinterpret_cast<TableObject*>(self);
  InitTable(t);
  t->source = Py_NewRef(source);
  t->start = start;
  t->end = end;
  return self;
}

namespace {

// The entries of a table in memory, which was checked when its holder was read (or, for the
// root, by loads): read from the bytes themselves, its values with them.
bool LoadFromMemory(TableObject* t, Source& s, const uint8_t* p) {
  const uint32_t count = atb::DecodeFixed32(p + t->start);
  const int64_t data = atb::DataStart(t->start, count);
  auto offOf = [&](uint32_t i) {
    return i == count ? t->end : data + atb::DecodeFixed32(p + atb::OffFieldPos(t->start, i));
  };
  const int64_t leadEnd = offOf(0);
  PyObject* lead = BytesOf(p + data, leadEnd - data);
  PyObject* entries = lead == nullptr ? nullptr : PyList_New(count);
  if (entries == nullptr) {
    Py_XDECREF(lead);
    return false;
  }
  int64_t start = leadEnd;
  for (uint32_t i = 0; i < count; ++i) {
    EntryObject* e = AllocEntry();
    if (e == nullptr) break;
    const uint8_t* record = p + atb::EntryPos(t->start, i);
    e->key = atb::DecodeFixed32(record);
    e->type = atb::DecodeFixed32(record + 4);
    e->start = start;
    e->end = start = offOf(i + 1);
    e->index = i;
    PyList_SET_ITEM(entries, i, reinterpret_cast<PyObject*>(e));
    if ((e->value = DecodeValue(s, t->source, e->type, e->start, e->end)) == nullptr) break;
  }
  if (PyErr_Occurred()) {
    Py_DECREF(lead);
    Py_DECREF(entries);
    return false;
  }
  t->entries = entries;
  t->lead = lead;
  return true;
}

}  // namespace

bool LoadTable(TableObject* t) {
  if (t->entries != nullptr) return true;
  Source& s = *SourceOf(t->source);
  if (const uint8_t* p = s.memory(); p != nullptr) return LoadFromMemory(t, s, p);
  // A file's values are read when they are asked for.
  atb::EntryList list;
  atb::Status st = atb::ReadTable(s.bytes(), t->start, t->end, &list);
  if (!st.ok()) {
    RaiseStatus(st);
    return false;
  }
  const int64_t leadStart = atb::DataStart(t->start, list.count);
  const int64_t leadEnd = list.count > 0 ? list.Off[0] : t->end;
  std::string lead(static_cast<std::size_t>(leadEnd - leadStart), '\0');
  st = s.bytes().ReadAt(leadStart, lead.data(), lead.size());
  if (!st.ok()) {
    RaiseStatus(st);
    return false;
  }
  PyObject* leadBytes = BytesOf(lead.data(), static_cast<int64_t>(lead.size()));
  PyObject* entries = leadBytes == nullptr ? nullptr : PyList_New(list.count);
  if (entries == nullptr) {
    Py_XDECREF(leadBytes);
    return false;
  }
  for (uint32_t i = 0; i < list.count; ++i) {
    EntryObject* e = AllocEntry();
    if (e == nullptr) {
      Py_DECREF(leadBytes);
      Py_DECREF(entries);
      return false;
    }
    e->key = list.ID[i];
    e->type = list.Type[i];
    e->start = list.Off[i];
    e->end = list.Off[i + 1];
    e->index = i;
    e->source = Py_NewRef(t->source);
    PyList_SET_ITEM(entries, i, reinterpret_cast<PyObject*>(e));
  }
  t->entries = entries;
  t->lead = leadBytes;
  return true;
}

PyObject* EntryValue(EntryObject* e) {
  if (e->value == nullptr) {
    e->value = DecodeValue(*SourceOf(e->source), e->source, e->type, e->start, e->end);
  }
  return e->value;
}

PyObject* NewEntry(uint32_t key, PyObject* value) {
  EntryObject* e = AllocEntry();
  if (e == nullptr) return nullptr;
  e->key = key;
  TypeOfValue(value, &e->type);
  e->value = Py_NewRef(value);
  e->changed = true;
  return reinterpret_cast<PyObject*>(e);
}

bool TypeOfValue(PyObject* v, uint32_t* type) {
  PyTypeObject* t = Py_TYPE(v);
  using atb::EntryType;
  if (t == &FloatType) {
    *type = static_cast<uint32_t>(EntryType::Float);
  } else if (t == &BoolType) {
    *type = static_cast<uint32_t>(EntryType::Bool);
  } else if (t == &TextType) {
    *type = static_cast<uint32_t>(EntryType::Text);
  } else if (t == &LocalizedType) {
    *type = static_cast<uint32_t>(EntryType::LocalizedText);
  } else if (t == &RawType) {
    *type = reinterpret_cast<RawObject*>(v)->type;
  } else if (IsTable(v)) {
    *type = static_cast<uint32_t>(EntryType::Reference);
  } else {
    return false;
  }
  return true;
}

PyObject* Coerce(PyObject* old, PyObject* value) {
  uint32_t type;
  if (TypeOfValue(value, &type)) return Py_NewRef(value);
  PyTypeObject* was = old == nullptr ? nullptr : Py_TYPE(old);
  if ((was == nullptr || was == &BoolType) && PyBool_Check(value)) {
    return NewBoolByte(
        value == Py_True ? 1 : 0,
        was == nullptr ? Empty() : Py_NewRef(reinterpret_cast<BoolObject*>(old)->trailing));
  }
  if ((was == nullptr ? PyFloat_Check(value) : was == &FloatType && IsNumber(value))) {
    uint32_t bits;
    if (!RoundToFloat(value, &bits)) return nullptr;
    return NewFloatBits(
        bits, was == nullptr ? Empty() : Py_NewRef(reinterpret_cast<FloatObject*>(old)->trailing));
  }
  const bool bytes = PyBytes_Check(value) || PyByteArray_Check(value);
  const bool str = PyUnicode_Check(value);
  if ((was == nullptr || was == &TextType) && bytes) {
    PyObject* v = TextBytes(value);
    if (v == nullptr) return nullptr;
    return NewText(
        &TextType, v,
        was == nullptr ? Empty() : Py_NewRef(reinterpret_cast<TextObject*>(old)->trailing));
  }
  if ((was == nullptr || was == &LocalizedType) && str) {
    PyObject* v = LocalizedUnits(value);
    if (v == nullptr) return nullptr;
    return NewText(
        &LocalizedType, v,
        was == nullptr ? Empty() : Py_NewRef(reinterpret_cast<TextObject*>(old)->trailing));
  }
  const char* takes = was == nullptr          ? nullptr
                      : was == &FloatType     ? "a float or an int"
                      : was == &BoolType      ? "True or False"
                      : was == &TextType      ? "bytes"
                      : was == &LocalizedType ? "a str"
                                              : "only a typed value";
  if (takes == nullptr) {
    if (PyLong_Check(value)) {
      return PyErr_Format(PyExc_TypeError,
                          "an int could be a float or a bool: give Float(%R) or Bool(%R)", value,
                          value);
    }
    return PyErr_Format(
        PyExc_TypeError,
        "a new entry takes a float, True or False, bytes, a str, a Table or a typed "
        "value (Float, Bool, Text, Localized, Raw), not %.100s",
        Py_TYPE(value)->tp_name);
  }
  const char* kind = was == &FloatType       ? "a float"
                     : was == &BoolType      ? "a bool"
                     : was == &TextType      ? "a text"
                     : was == &LocalizedType ? "a localized text"
                     : IsTable(old)          ? "a table"
                                             : "a raw";
  return PyErr_Format(PyExc_TypeError,
                      "%s entry takes %s, or a typed value (Float, Bool, Text, Localized, Raw, "
                      "Table), not %.100s",
                      kind, takes, Py_TYPE(value)->tp_name);
}

bool EncodeValue(PyObject* value, std::string* out) {
  if (!IsTable(value) || IsUnreadTable(reinterpret_cast<TableObject*>(value))) {
    if (LeafSize(value) < 0) return false;
    return WriteLeaf(value, out);
  }
  TableObject* t = reinterpret_cast<TableObject*>(value);
  Sizes sizes;
  if (!Measure(t, &sizes)) return false;
  out->reserve(out->size() + static_cast<std::size_t>(sizes[value]));
  return WriteTable(t, sizes, out);
}

PyObject* EncodeFile(PyObject* root, PyObject* header, int64_t readLength) {
  if (!IsTable(root)) return PyErr_Format(PyExc_TypeError, "a tree is a table");
  if (!PyBytes_Check(header) || PyBytes_GET_SIZE(header) != atb::HEADER_SIZE) {
    return PyErr_Format(PyExc_ValueError, "a header is %d bytes", int(atb::HEADER_SIZE));
  }
  std::string out(View(header));
  if (!EncodeValue(root, &out)) return nullptr;
  if (static_cast<int64_t>(out.size()) > atb::MAX_FILE_LENGTH) {
    PyErr_SetString(refusedError, "file too large");
    return nullptr;
  }
  const auto length = static_cast<int64_t>(out.size());
  if (length != readLength) atb::SetHeaderSizes(&out, length);
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* RaiseRefused(const std::string& message, const std::vector<std::string>& failures) {
  PyObject* error = PyObject_CallFunction(refusedError, "s", message.c_str());
  PyObject* list = error == nullptr ? nullptr : PyList_New(0);
  if (list == nullptr) {
    Py_XDECREF(error);
    return nullptr;
  }
  for (const std::string& f : failures) {
    PyObject* line =
        PyUnicode_DecodeUTF8(f.data(), static_cast<Py_ssize_t>(f.size()), "surrogateescape");
    if (line == nullptr || PyList_Append(list, line) < 0) {
      Py_XDECREF(line);
      Py_DECREF(list);
      Py_DECREF(error);
      return nullptr;
    }
    Py_DECREF(line);
  }
  const int set = PyObject_SetAttrString(error, "failures", list);
  Py_DECREF(list);
  if (set == 0) PyErr_SetObject(refusedError, error);
  Py_DECREF(error);
  return nullptr;
}

PyObject* RaiseStatus(const atb::Status& s) {
  const std::string message = s.Message();
  PyObject* kind = nullptr;
  switch (s.code()) {
    case atb::Status::kOk:
      PyErr_SetString(PyExc_SystemError, "no error");
      return nullptr;
    case atb::Status::kDamaged:
      kind = damagedError;
      break;
    case atb::Status::kRefused:
      kind = message.find("locked by") != std::string::npos ? lockedError : refusedError;
      break;
    case atb::Status::kTooLarge:
      kind = refusedError;
      break;
    case atb::Status::kStalled:
      kind = lockedError;
      break;
    case atb::Status::kInvalid:
      kind = PyExc_ValueError;
      break;
    case atb::Status::kNoSpace:
    case atb::Status::kIoError: {
      PyObject* args = Py_BuildValue("(is)", s.err(), message.c_str());
      if (args == nullptr) return nullptr;
      PyErr_SetObject(s.noSpace() ? noSpaceError : PyExc_OSError, args);
      Py_DECREF(args);
      return nullptr;
    }
  }
  PyErr_SetString(kind, message.c_str());
  return nullptr;
}

atb::KeyNames& Names() {
  static atb::KeyNames* names = [] {
    auto* n = new atb::KeyNames;
    n->AddLabel(atb::REF_NAME_KEY, atb::kReferenceNameLabel);
    return n;
  }();
  return *names;
}

}  // namespace atbpy
