/* A profile function that does nothing: installed with sys.setprofile, it measures what the
 * interpreter itself spends delivering one event to any hook, the floor for the module's hook. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *noop(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    (void)args;
    (void)nargs;
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"noop", (PyCFunction)(void (*)(void))noop, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "noop_profile", NULL, -1, methods};

PyMODINIT_FUNC PyInit_noop_profile(void) { return PyModule_Create(&module); }
