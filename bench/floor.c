/* The floor: the five waveforms as bare C loops over the C library's scalar
 * exp, sin, cos and fmod, in the order of operations and of library calls
 * that ondulix uses, each writing straight into a freshly allocated NumPy
 * array. No argument checks beyond what a crash would need, no borrow,
 * no buffer, no copy: what a call cannot do without.
 *
 * Also helpers for the shared borrow registry: a timer of acquire + release
 * of a read borrow with no Python call around it, and a way to hold many
 * read borrows as a peer module would.
 *
 * Built by the benchmark with the flags of the module itself:
 * -O2 -ffp-contract=off, no -ffast-math. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <math.h>
#include <stdint.h>
#include <time.h>

static const double four_over_pi = 1.2732395447351628;
static const double two_pi = 6.283185307179586;
static const double cycle_length = 6.283185297179586;

/* One call: the sample times, the new result's data, the scalar arguments
 * in order and, for the Fourier wave, the number of harmonics. */
typedef struct {
    const double *t;
    double *out;
    npy_intp n;
    double s[5];
    unsigned long long harmonics;
} Call;

typedef void (*Loop)(const Call *c);

/* Unpack `time`, `scalars` doubles and (with_harmonics) an unsigned count,
 * allocate the result and run the loop over it. */
static PyObject *run(PyObject *const *args, Py_ssize_t nargs, Py_ssize_t scalars,
                     int with_harmonics, Loop loop) {
    Call c = {0};
    if (nargs != 1 + scalars + with_harmonics) {
        PyErr_SetString(PyExc_TypeError, "wrong number of arguments");
        return NULL;
    }
    PyArrayObject *time = (PyArrayObject *)args[0];
    if (!PyArray_Check(args[0]) || PyArray_TYPE(time) != NPY_DOUBLE ||
        !PyArray_IS_C_CONTIGUOUS(time) || PyArray_NDIM(time) != 1) {
        PyErr_SetString(PyExc_TypeError, "time must be a contiguous 1-D float64 array");
        return NULL;
    }
    for (Py_ssize_t k = 0; k < scalars; ++k) {
        c.s[k] = PyFloat_AsDouble(args[1 + k]);
        if (c.s[k] == -1.0 && PyErr_Occurred())
            return NULL;
    }
    if (with_harmonics) {
        c.harmonics = PyLong_AsUnsignedLongLong(args[nargs - 1]);
        if (c.harmonics == (unsigned long long)-1 && PyErr_Occurred())
            return NULL;
    }
    c.n = PyArray_DIM(time, 0);
    c.t = (const double *)PyArray_DATA(time);
    PyObject *result = PyArray_SimpleNew(1, &c.n, NPY_DOUBLE);
    if (result == NULL)
        return NULL;
    c.out = (double *)PyArray_DATA((PyArrayObject *)result);
    loop(&c);
    return result;
}

static void harmonic_oscillator_loop(const Call *c) {
    const double amplitude = c->s[0], gamma = c->s[1], omega = c->s[2], phi = c->s[3], y = c->s[4];
    for (npy_intp i = 0; i < c->n; ++i) {
        const double envelope = exp(c->t[i] * gamma) * amplitude;
        c->out[i] = cos((c->t[i] + phi) * omega) * envelope + y;
    }
}

static void pseudo_square_wave_loop(const Call *c) {
    const double amplitude = c->s[0], gamma = c->s[1], omega = c->s[2], phi = c->s[3], y = c->s[4];
    for (npy_intp i = 0; i < c->n; ++i) {
        const double envelope = exp(c->t[i] * gamma) * amplitude;
        const double theta = (c->t[i] + phi) * omega;
        c->out[i] = (sin(theta) + sin(theta * 3.0) * 0.5) * envelope + y;
    }
}

static void fourier_square_wave_loop(const Call *c) {
    const double amplitude = c->s[0], gamma = c->s[1], omega = c->s[2], phi = c->s[3], y = c->s[4];
    for (npy_intp i = 0; i < c->n; ++i) {
        const double envelope = exp(c->t[i] * gamma) * amplitude;
        const double u = c->t[i] + phi;
        double sum = 0.0;
        for (unsigned long long k = 0; k < c->harmonics; ++k) {
            const double m = (double)(2 * k + 1);
            sum = sum + (sin((m * omega) * u) * four_over_pi) / m;
        }
        c->out[i] = envelope * (sum + 1.0) + y;
    }
}

static void pseudo_cycloid_wave_loop(const Call *c) {
    const double amplitude = c->s[0], gamma = c->s[1], omega = c->s[2], phi = c->s[3], y = c->s[4];
    const double doubled = omega + omega;
    for (npy_intp i = 0; i < c->n; ++i) {
        const double envelope = exp(c->t[i] * gamma) * amplitude;
        const double u = c->t[i] + phi;
        const double c2 = cos(doubled * u);
        const double c1 = cos(u * omega);
        c->out[i] = (c2 - (c1 + c1)) * envelope + y;
    }
}

static void transient_impulse_loop(const Call *c) {
    const double amplitude = c->s[0], period = c->s[1], width = c->s[2], equilibrium = c->s[3];
    const double onset = (period / 24.0) * two_pi;
    for (npy_intp i = 0; i < c->n; ++i) {
        const double lag = fmod(c->t[i], cycle_length) - onset;
        double pulse = 0.0;
        if (lag >= 0.0) {
            const double q = lag / width;
            pulse = exp((q * q) * -0.5);
        }
        c->out[i] = pulse * amplitude + equilibrium;
    }
}

static PyObject *harmonic_oscillator(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return run(args, nargs, 5, 0, harmonic_oscillator_loop);
}

static PyObject *pseudo_square_wave(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return run(args, nargs, 5, 0, pseudo_square_wave_loop);
}

static PyObject *fourier_square_wave(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return run(args, nargs, 5, 1, fourier_square_wave_loop);
}

static PyObject *pseudo_cycloid_wave(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return run(args, nargs, 5, 0, pseudo_cycloid_wave_loop);
}

static PyObject *transient_impulse(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return run(args, nargs, 4, 0, transient_impulse_loop);
}

/* The record every cooperating module finds on numpy.core.multiarray. */
typedef struct {
    uint64_t version;
    void *state;
    int32_t (*acquire_read)(void *, PyObject *);
    int32_t (*acquire_write)(void *, PyObject *);
    void (*release_read)(void *, PyObject *);
    void (*release_write)(void *, PyObject *);
} BorrowRecord;

static double now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

/* read_borrow_ns(capsule, array, iterations): the best of 7 runs of
 * `iterations` acquire_read + release_read pairs, in ns per pair. */
static PyObject *read_borrow_ns(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyCapsule_CheckExact(args[0]) || !PyArray_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "read_borrow_ns(capsule, array, iterations)");
        return NULL;
    }
    const long iterations = PyLong_AsLong(args[2]);
    if (iterations <= 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "iterations must be positive");
        return NULL;
    }
    const BorrowRecord *record =
        PyCapsule_GetPointer(args[0], PyCapsule_GetName(args[0]));
    if (record == NULL)
        return NULL;
    double best = INFINITY;
    for (int run = 0; run < 7; ++run) {
        const double start = now_ns();
        for (long i = 0; i < iterations; ++i) {
            if (record->acquire_read(record->state, args[1]) != 0) {
                PyErr_SetString(PyExc_RuntimeError, "read borrow refused");
                return NULL;
            }
            record->release_read(record->state, args[1]);
        }
        const double elapsed = (now_ns() - start) / (double)iterations;
        if (elapsed < best)
            best = elapsed;
    }
    return PyFloat_FromDouble(best);
}

/* read_borrows(capsule, arrays, take): take (true) or give back (false) a
 * read borrow of every array in the list, as a peer module would. */
static PyObject *read_borrows(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyCapsule_CheckExact(args[0]) || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "read_borrows(capsule, arrays, take)");
        return NULL;
    }
    const int take = PyObject_IsTrue(args[2]);
    if (take < 0)
        return NULL;
    const BorrowRecord *record =
        PyCapsule_GetPointer(args[0], PyCapsule_GetName(args[0]));
    if (record == NULL)
        return NULL;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[1]); ++i) {
        PyObject *array = PyList_GET_ITEM(args[1], i);
        if (!PyArray_Check(array)) {
            PyErr_SetString(PyExc_TypeError, "arrays must hold NumPy arrays");
            return NULL;
        }
        if (!take) {
            record->release_read(record->state, array);
        } else if (record->acquire_read(record->state, array) != 0) {
            PyErr_SetString(PyExc_RuntimeError, "read borrow refused");
            return NULL;
        }
    }
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"harmonic_oscillator", (PyCFunction)(void (*)(void))harmonic_oscillator, METH_FASTCALL, NULL},
    {"pseudo_square_wave", (PyCFunction)(void (*)(void))pseudo_square_wave, METH_FASTCALL, NULL},
    {"fourier_square_wave", (PyCFunction)(void (*)(void))fourier_square_wave, METH_FASTCALL, NULL},
    {"pseudo_cycloid_wave", (PyCFunction)(void (*)(void))pseudo_cycloid_wave, METH_FASTCALL, NULL},
    {"transient_impulse", (PyCFunction)(void (*)(void))transient_impulse, METH_FASTCALL, NULL},
    {"read_borrow_ns", (PyCFunction)(void (*)(void))read_borrow_ns, METH_FASTCALL, NULL},
    {"read_borrows", (PyCFunction)(void (*)(void))read_borrows, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_floor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__floor(void) {
    import_array();
    return PyModule_Create(&module);
}
