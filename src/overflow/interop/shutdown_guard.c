// Plain C on purpose: here pthread_cleanup_push registers a cancellation buffer that glibc's
// unwinder jumps back to as soon as the unwinding reaches this frame, before any frame of ours
// further out runs a cleanup. (In C++ the macro becomes a destructor, which would run too late.)
#include "interop/shutdown_guard.h"

#include <pthread.h>
#include <unistd.h>

static void park_forever(void* unused) {
    (void)unused;
    for (;;) pause();
}

PyObject* overflow_call_parking_at_exit(PyObject* callable, PyObject* const* args, size_t nargsf,
                                        PyObject* kwnames) {
    PyObject* result;
    pthread_cleanup_push(park_forever, NULL);
    result = PyObject_Vectorcall(callable, args, nargsf, kwnames);
    pthread_cleanup_pop(0);
    return result;
}
