// Text built the way Python code of the module builds it: format(), str.join and +.
#pragma once

#include "interop/python.h"

namespace overflow::interop {

// `format(value, format_code)`: f"{value}" by default.
inline py::object text_of(PyObject* value, const char* format_code = "") {
    py::str code(format_code);
    return steal_or_throw(PyObject_Format(value, code.ptr()));
}

// `separator.join(parts)`
inline py::object join(const char* separator, const py::list& parts) {
    py::str glue(separator);
    return steal_or_throw(PyUnicode_Join(glue.ptr(), parts.ptr()));
}

// `left + right` for two str.
inline py::object concat(const py::handle& left, const py::handle& right) {
    return steal_or_throw(PyUnicode_Concat(left.ptr(), right.ptr()));
}

}  // namespace overflow::interop
