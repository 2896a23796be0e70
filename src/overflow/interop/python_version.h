// The one place that tells the CPython versions apart. Each difference the module depends on is
// named here as a feature; the files that depend on one test its name, never a version number.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "zuvoda.overflow is written for CPython 3.11, 3.12 and 3.13"
#endif

// 3.11: every dict carries a version tag that each change renews (deprecated from 3.12 on), and
// the header of the dict's internal layout compiles as C++.
#define OVERFLOW_DICT_VERSION_TAGS (PY_VERSION_HEX < 0x030C0000)
#define OVERFLOW_DICT_LAYOUT_HEADER (PY_VERSION_HEX < 0x030C0000)

// 3.12 on: sys.monitoring delivers the events a tool asks for, and dicts and types can be
// watched for changes.
#define OVERFLOW_SYS_MONITORING (PY_VERSION_HEX >= 0x030C0000)
#define OVERFLOW_WATCHERS (PY_VERSION_HEX >= 0x030C0000)

// 3.13 on: PyObject_GetOptionalAttr is public, and its private forerunner gone.
#define OVERFLOW_GET_OPTIONAL_ATTR (PY_VERSION_HEX >= 0x030D0000)

// 3.13 on: Py_IsFinalizing is public, and its private forerunner gone.
#define OVERFLOW_PUBLIC_IS_FINALIZING (PY_VERSION_HEX >= 0x030D0000)

// Up to 3.12 a type's version tag is valid while a flag says so; from 3.13 on the flag is no
// longer kept, and a tag is valid when it is not 0.
#define OVERFLOW_TYPE_VERSION_FLAG (PY_VERSION_HEX < 0x030D0000)

// 3.13: an attribute stored into an object whose dict still shares the object's inline values is
// not reported to that dict's watchers.
#define OVERFLOW_INLINE_VALUES_UNWATCHED (PY_VERSION_HEX >= 0x030D0000)
