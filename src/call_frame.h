// The call frame: binds vectorcall arguments to parameters, converts them to
// native values in parameter order, runs the generator and turns every
// failure into exactly one pending Python exception.
#pragma once

#include "arrays.h"
#include "python.h"

#include <cstdint>
#include <exception>
#include <new>
#include <string_view>
#include <tuple>
#include <utility>

namespace ondulix {

// What binding needs to know of a function: its name for messages and its
// parameter names in order. Every parameter is positional-or-keyword and
// required.
struct Parameters {
    const char *function;
    const std::string_view *names;
    Py_ssize_t count;
};

inline constexpr Py_ssize_t max_parameters = 7;

// Fill slots[0..count) with borrowed references to the bound arguments.
void bind_arguments(const Parameters &parameters, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames, PyObject **slots);

double to_double(Handle object);
std::uint64_t to_uint64(Handle object);

// A conversion failure as the caller sees it: exactly TypeError gains the
// argument's name in front, anything else passes unchanged.
[[noreturn]] void raise_conversion_error(PythonError &&error,
                                         const char *parameter);

// Make a failure the pending exception.
void set_internal_failure_exception(const InternalFailure &failure);
[[noreturn]] void abort_uncaught_failure() noexcept;

// Run the body of an interpreter entry; whatever it throws becomes the
// pending exception and a NULL return.
template <typename Body>
PyObject *run_entry(Body &&body) noexcept {
    try {
        try {
            return body().release();
        } catch (PythonError &error) {
            error.restore();
        } catch (const InternalFailure &failure) {
            set_internal_failure_exception(failure);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
        }
        return nullptr;
    } catch (...) {
        abort_uncaught_failure();
    }
}

template <typename T> struct Converter;

template <> struct Converter<TimeArray> {
    static TimeArray convert(Handle object) { return extract_time_array(object); }
};
template <> struct Converter<double> {
    static double convert(Handle object) { return to_double(object); }
};
template <> struct Converter<std::uint64_t> {
    static std::uint64_t convert(Handle object) { return to_uint64(object); }
};

template <typename T>
T convert_argument(Handle object, const char *parameter) {
    try {
        return Converter<T>::convert(object);
    } catch (PythonError &error) {
        raise_conversion_error(std::move(error), parameter);
    }
}

template <typename Signature> struct Frame;

// The METH_FASTCALL | METH_KEYWORDS entry of one module function: Generator
// is called with the converted arguments, which a braced initialiser
// evaluates strictly in parameter order.
template <typename... Args> struct Frame<Object (*)(Args...)> {
    static_assert(sizeof...(Args) <= max_parameters);

    template <Object (*Generator)(Args...), const Parameters &Params,
              std::size_t... I>
    static Object call(PyObject *const *slots, std::index_sequence<I...>) {
        std::tuple<Args...> values{
            convert_argument<Args>(slots[I], Params.names[I].data())...};
        return std::apply(Generator, std::move(values));
    }

    template <Object (*Generator)(Args...), const Parameters &Params>
    static PyObject *entry(PyObject *, PyObject *const *args,
                           Py_ssize_t nargs, PyObject *kwnames) {
        return run_entry([&] {
            PyObject *slots[sizeof...(Args)];
            bind_arguments(Params, args, nargs, kwnames, slots);
            return call<Generator, Params>(
                slots, std::index_sequence_for<Args...>{});
        });
    }
};

// The entry for ml_meth of a function whose generator is Generator.
template <auto Generator, const Parameters &Params>
PyObject *entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames) {
    return Frame<decltype(Generator)>::template entry<Generator, Params>(
        self, args, nargs, kwnames);
}

} // namespace ondulix
