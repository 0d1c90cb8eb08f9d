#include "call_frame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ondulix {

// ---------------------------------------------------------------------------
// Python exceptions in flight

PythonError::PythonError(PyObject *type, const char *message) {
    PyObject *value =
        PyUnicode_DecodeUTF8(message, Py_ssize_t(std::strlen(message)), "replace");
    if (value == nullptr) {
        *this = fetch();
        return;
    }
    type_ = Object::borrow(type);
    value_ = Object::steal(value);
}

#if PY_VERSION_HEX >= 0x030C0000
PythonError PythonError::fetch() {
    Object value = Object::steal(PyErr_GetRaisedException());
    Object type = Object::borrow(value ? (PyObject *)Py_TYPE(value.ptr()) : nullptr);
    Object traceback =
        Object::steal(value ? PyException_GetTraceback(value.ptr()) : nullptr);
    return PythonError(std::move(type), std::move(value), std::move(traceback));
}

void PythonError::normalize() {
    PyObject *type = type_.ptr();
    if (type == nullptr || (value_ && PyObject_TypeCheck(value_.ptr(), (PyTypeObject *)type)))
        return;
    // Instantiate as the interpreter would: the pending value becomes the
    // argument of the exception type.
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    *this = fetch();
}
#else
PythonError PythonError::fetch() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    return PythonError(Object::steal(type), Object::steal(value),
                       Object::steal(traceback));
}

void PythonError::normalize() {
    PyObject *type = type_.release(), *value = value_.release(),
             *traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Object::steal(type);
    value_ = Object::steal(value);
    traceback_ = Object::steal(traceback);
}
#endif

void PythonError::restore() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

// ---------------------------------------------------------------------------
// Internal failures

namespace {

// Created on first need and kept for the life of the process. It is not an
// attribute of the module: only the module's own failures raise it.
PyObject *internal_failure_class = nullptr;

PyObject *get_internal_failure_class() {
    if (internal_failure_class != nullptr)
        return internal_failure_class;
    PyObject *cls = PyErr_NewExceptionWithDoc(
        "ondulix.InternalFailure",
        "Raised when ondulix's native code meets an unrecoverable internal "
        "failure.\n\nLike SystemExit it derives from BaseException, not "
        "Exception, so it typically propagates all the way through the stack "
        "and makes the interpreter exit.",
        PyExc_BaseException, nullptr);
    if (cls == nullptr)
        return nullptr;
    // Creating a class may run Python code and let another thread in; the
    // class stored first stays in use.
    if (internal_failure_class == nullptr)
        internal_failure_class = cls;
    else
        Py_DECREF(cls);
    return internal_failure_class;
}

const char *source_file(const char *path) {
    const char *src = std::strstr(path, "/src/");
    return src != nullptr ? src + 1 : path;
}

constexpr const char failure_without_text[] =
    "an internal failure occurred in ondulix's native code";
constexpr const char failure_from_python[] =
    "an internal failure came back from Python code";

// A fetched internal-failure exception resumes as a new internal failure
// with the same message, after its trace has been shown.
[[noreturn]] void resume_internal_failure(PythonError &&error) {
    std::fputs("ondulix: resuming an internal failure fetched from Python code\n"
               "ondulix: its Python stack trace follows:\n",
               stderr);
    std::fflush(stderr);
    Object value = Object::borrow(error.value().ptr());
    error.restore();
    PyErr_PrintEx(0);

    PyObject *text = value.ptr();
    // The message travels as the value itself, or as the one argument of an
    // instantiated exception.
    if (text != nullptr && !PyUnicode_Check(text) &&
        PyExceptionInstance_Check(text)) {
        Object args = Object::steal(PyObject_GetAttrString(text, "args"));
        text = args && PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 1
                   ? PyTuple_GET_ITEM(args.ptr(), 0)
                   : nullptr;
        PyErr_Clear();
        if (text != nullptr && PyUnicode_Check(text))
            throw InternalFailure(to_utf8(text));
    } else if (text != nullptr && PyUnicode_Check(text)) {
        throw InternalFailure(to_utf8(text));
    }
    throw InternalFailure(failure_from_python);
}

} // namespace

void fail_internal(std::string message, std::source_location where) {
    std::fprintf(stderr, "ondulix: internal failure: %s\n    at %s:%u in %s\n",
                 message.c_str(), source_file(where.file_name()),
                 unsigned(where.line()), where.function_name());
    std::fflush(stderr);
    throw InternalFailure(std::move(message));
}

void set_internal_failure_exception(const InternalFailure &failure) {
    // Whatever was pending is superseded by the failure.
    PyErr_Clear();
    PyObject *cls = get_internal_failure_class();
    if (cls == nullptr)
        return;
    const std::string &text =
        failure.has_message() ? failure.message() : std::string(failure_without_text);
    Object message = Object::steal(
        PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
    if (!message)
        return;
    Object exception = Object::steal(PyObject_CallOneArg(cls, message.ptr()));
    if (!exception)
        return;
    Py_INCREF(cls);
    PyErr_Restore(cls, exception.release(), nullptr);
}

void abort_uncaught_failure() noexcept {
    std::fputs("ondulix: fatal: an uncaught failure reached the boundary to "
               "the interpreter\n",
               stderr);
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------------------
// The pending-exception fetch

void raise_if_pending() {
    if (!PyErr_Occurred())
        return;
    PythonError error = PythonError::fetch();
    if (internal_failure_class != nullptr && error.type().ptr() == internal_failure_class)
        resume_internal_failure(std::move(error));
    throw std::move(error);
}

void raise_pending() {
    raise_if_pending();
    throw PythonError(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
}

// ---------------------------------------------------------------------------
// Text

std::string to_utf8(Handle text) {
    Py_ssize_t size;
    if (const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
        return std::string(utf8, std::size_t(size));
    PyErr_Clear();
    // Lone surrogates: encode them anyway, then show each byte that is not
    // valid UTF-8 as U+FFFD.
    Object bytes = check(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    Object decoded = check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.ptr()),
                                                PyBytes_GET_SIZE(bytes.ptr()), "replace"));
    const char *utf8 = PyUnicode_AsUTF8AndSize(decoded.ptr(), &size);
    if (utf8 == nullptr)
        raise_pending();
    return std::string(utf8, std::size_t(size));
}

std::string str_utf8(Handle object) {
    Object text = check(PyObject_Str(object.ptr()));
    return to_utf8(text);
}

// "Type: value", followed by the traceback when there is one.
std::string describe_error(PythonError &error) {
    error.normalize();
    std::string description;
    try {
        Object qualname = check(PyObject_GetAttrString(error.type().ptr(), "__qualname__"));
        description = to_utf8(qualname) + ": " + str_utf8(error.value());
        if (error.traceback()) {
            Object traceback = check(PyImport_ImportModule("traceback"));
            Object lines = check(PyObject_CallMethod(traceback.ptr(), "format_tb", "O",
                                                     error.traceback().ptr()));
            Object empty = check(PyUnicode_FromString(""));
            Object joined = check(PyUnicode_Join(empty.ptr(), lines.ptr()));
            description += "\nTraceback (most recent call last):\n" + to_utf8(joined);
        }
    } catch (const PythonError &) {
        PyErr_Clear();
        if (description.empty())
            description = "<error could not be described>";
    }
    return description;
}

void fail_conversion(Handle object, const char *target) {
    std::string type_name = "<failed to extract type name>";
    Object qualname = Object::steal(
        PyObject_GetAttrString((PyObject *)Py_TYPE(object.ptr()), "__qualname__"));
    Py_ssize_t size;
    const char *utf8 = qualname && PyUnicode_Check(qualname.ptr())
                           ? PyUnicode_AsUTF8AndSize(qualname.ptr(), &size)
                           : nullptr;
    if (utf8 != nullptr)
        type_name.assign(utf8, std::size_t(size));
    PyErr_Clear();
    std::string message =
        "'" + type_name + "' object cannot be converted to '" + target + "'";
    throw PythonError(PyExc_TypeError, message.c_str());
}

// ---------------------------------------------------------------------------
// Binding

namespace {

std::string function_name(const Parameters &parameters) {
    return std::string(parameters.function) + "()";
}

[[noreturn]] void fail_too_many_positional(const Parameters &parameters,
                                           Py_ssize_t nargs) {
    std::string message = function_name(parameters) + " takes " +
                          std::to_string(parameters.count) +
                          " positional arguments but " + std::to_string(nargs) +
                          " were given";
    throw PythonError(PyExc_TypeError, message.c_str());
}

[[noreturn]] void fail_keyword(const Parameters &parameters, const char *what,
                               Handle keyword) {
    // The name as str() shows it, as the interpreter names it in its own
    // binding errors (a str subclass may show itself differently).
    std::string message =
        function_name(parameters) + what + "'" + str_utf8(keyword) + "'";
    throw PythonError(PyExc_TypeError, message.c_str());
}

[[noreturn]] void fail_missing(const Parameters &parameters, PyObject *const *slots,
                               Py_ssize_t first, Py_ssize_t missing) {
    std::string message = function_name(parameters) + " missing " +
                          std::to_string(missing) + " required positional argument" +
                          (missing == 1 ? "" : "s") + ": ";
    Py_ssize_t listed = 0;
    for (Py_ssize_t k = first; k < parameters.count; ++k) {
        if (slots[k] != nullptr)
            continue;
        ++listed;
        message += "'";
        message += parameters.names[k];
        message += "'";
        if (listed < missing)
            message += missing == 2 ? " and " : (listed == missing - 1 ? ", and " : ", ");
    }
    throw PythonError(PyExc_TypeError, message.c_str());
}

Py_ssize_t find_parameter(const Parameters &parameters, std::string_view name) {
    for (Py_ssize_t k = 0; k < parameters.count; ++k) {
        const std::string_view candidate = parameters.names[k];
        if (candidate.size() == name.size() &&
            std::memcmp(candidate.data(), name.data(), name.size()) == 0)
            return k;
    }
    return -1;
}

} // namespace

void bind_arguments(const Parameters &parameters, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames, PyObject **slots) {
    const Py_ssize_t count = parameters.count;
    for (Py_ssize_t k = 0; k < count; ++k)
        slots[k] = nullptr;
    if (args != nullptr)
        for (Py_ssize_t k = 0; k < count && k < nargs; ++k)
            slots[k] = args[k];
    if (nargs > count)
        fail_too_many_positional(parameters, nargs);

    if (kwnames != nullptr && args != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject *keyword = PyTuple_GET_ITEM(kwnames, i);
            if (!PyUnicode_Check(keyword))
                fail_conversion(keyword, "str");
            Py_ssize_t size;
            const char *text = PyUnicode_AsUTF8AndSize(keyword, &size);
            Py_ssize_t k = -1;
            if (text != nullptr)
                k = find_parameter(parameters, std::string_view(text, std::size_t(size)));
            else
                PyErr_Clear();
            if (k < 0)
                fail_keyword(parameters, " got an unexpected keyword argument ", keyword);
            if (slots[k] != nullptr)
                fail_keyword(parameters, " got multiple values for argument ", keyword);
            slots[k] = args[nargs + i];
        }
    }

    if (nargs < count) {
        Py_ssize_t missing = 0;
        for (Py_ssize_t k = nargs; k < count; ++k)
            missing += slots[k] == nullptr;
        if (missing > 0)
            fail_missing(parameters, slots, nargs, missing);
    }
}

// ---------------------------------------------------------------------------
// Conversion

double to_double(Handle object) {
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0)
        raise_if_pending();
    return value;
}

std::uint64_t to_uint64(Handle object) {
    Object index = check(PyNumber_Index(object.ptr()));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.ptr());
    if (value == static_cast<unsigned long long>(-1))
        raise_if_pending();
    return value;
}

void raise_conversion_error(PythonError &&error, const char *parameter) {
    error.normalize();
    if (error.type().ptr() != PyExc_TypeError)
        throw std::move(error);

    std::string message =
        std::string("argument '") + parameter + "': " + str_utf8(error.value());
    Object text = check(
        PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
    Object replacement = check(PyObject_CallOneArg(PyExc_TypeError, text.ptr()));
    // The new error keeps the old one's cause, and hides the old one itself.
    PyException_SetCause(replacement.ptr(), PyException_GetCause(error.value().ptr()));
    throw PythonError(Object::borrow(PyExc_TypeError), std::move(replacement), Object());
}

} // namespace ondulix
