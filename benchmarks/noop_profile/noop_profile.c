/* Profile functions that do nothing, the floors for the module's hook. `noop`, installed with
 * sys.setprofile, costs what the interpreter spends delivering one event to any Python-level hook
 * (its trampoline included); `install_direct()` installs a C function with PyEval_SetProfile,
 * which costs only what the interpreter spends on any profiler at all. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *noop(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    (void)args;
    (void)nargs;
    Py_RETURN_NONE;
}

static int noop_direct(PyObject *object, PyFrameObject *frame, int what, PyObject *arg) {
    (void)object;
    (void)frame;
    (void)what;
    (void)arg;
    return 0;
}

static PyObject *install_direct(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    PyEval_SetProfile(noop_direct, NULL);
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"noop", (PyCFunction)(void (*)(void))noop, METH_FASTCALL, NULL},
    {"install_direct", install_direct, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "noop_profile", NULL, -1, methods};

PyMODINIT_FUNC PyInit_noop_profile(void) { return PyModule_Create(&module); }
