// Keyword parsing driven by a table of option names: the names, their
// defaults and the slots they land in are listed once, and
// PyArg_ParseTupleAndKeywords (with CPython's own messages) fills the slots.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "py.h"

namespace kp {

// The default an option has when not given.
enum class Default { kNone, kFalse, kTrue, kZero, kOne, kRequired };

struct OptionRow {
  const char* name;
  Default fallback;
};

// The truth of an option's value. Returns 0, or -1 with an error set.
inline int bool_option(PyObject* value, bool* out) {
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return -1;
  *out = truth != 0;
  return 0;
}

// A `progress=` callback: None or a callable (TypeError otherwise), kept
// borrowed in `out` as given. Returns 0, or -1 with an error set.
inline int progress_option(PyObject* value, Ref* out) {
  if (value != Py_None && !PyCallable_Check(value)) {
    PyErr_Format(PyExc_TypeError, "jxl: progress must be callable or None, not %.200s",
                 Py_TYPE(value)->tp_name);
    return -1;
  }
  *out = Ref::borrow(value);
  return 0;
}

// A PyArg_ParseTupleAndKeywords format: `head` (say "O|$"), one "O" per
// further keyword, then ":" and the callable's name for its messages.
constexpr std::array<char, 64> keyword_format(std::string_view head, size_t further,
                                              std::string_view name) {
  std::array<char, 64> out{};
  size_t i = 0;
  for (char c : head) out[i++] = c;
  for (size_t k = 0; k < further; ++k) out[i++] = 'O';
  out[i++] = ':';
  for (char c : name) out[i++] = c;
  return out;
}

// The borrowed values of N keywords, after parsing; the small integers used
// as defaults are held here.
template <size_t N>
class ParsedArgs {
 public:
  // Parses `args`/`kwargs` against `rows` (their names in order, null
  // ended in `kwlist`). Returns 0, or -1 with CPython's TypeError set.
  int parse(PyObject* args, PyObject* kwargs, const char* format, const char* const* kwlist,
            const OptionRow* rows) {
    for (size_t i = 0; i < N; ++i) {
      switch (rows[i].fallback) {
        case Default::kNone: values_[i] = Py_None; break;
        case Default::kFalse: values_[i] = Py_False; break;
        case Default::kTrue: values_[i] = Py_True; break;
        case Default::kZero: values_[i] = small(0); break;
        case Default::kOne: values_[i] = small(1); break;
        case Default::kRequired: values_[i] = nullptr; break;
      }
      if (!values_[i] && rows[i].fallback != Default::kRequired) return -1;
    }
    return run(args, kwargs, format, kwlist, std::make_index_sequence<N>{});
  }
  PyObject* operator[](size_t i) const noexcept { return values_[i]; }
  PyObject*& operator[](size_t i) noexcept { return values_[i]; }
  PyObject* const* data() const noexcept { return values_.data(); }

 private:
  PyObject* small(long v) {
    Ref& held = v == 0 ? zero_ : one_;
    if (!held) held = Ref::steal(PyLong_FromLong(v));
    return held.get();
  }
  template <size_t... I>
  int run(PyObject* args, PyObject* kwargs, const char* format, const char* const* kwlist,
          std::index_sequence<I...>) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist),
                                       &values_[I]...)
               ? 0
               : -1;
  }

  std::array<PyObject*, N> values_{};
  Ref zero_, one_;
};

}  // namespace kp
