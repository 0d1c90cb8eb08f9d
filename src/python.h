// Reference handles and the two kinds of failure that travel through the
// module's native code until the call frame turns them into one pending
// Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <source_location>
#include <string>
#include <utility>

namespace ondulix {

// A borrowed reference: never touches the reference count.
class Handle {
public:
    Handle() = default;
    Handle(PyObject *ptr) : ptr_(ptr) {}
    PyObject *ptr() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

protected:
    PyObject *ptr_ = nullptr;
};

// An owning reference: holds exactly one reference and gives it up in its
// destructor, so every early return releases what was acquired.
class Object : public Handle {
public:
    Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    Object(Object &&other) noexcept : Handle(other.release()) {}
    Object &operator=(Object &&other) noexcept {
        if (this != &other) {
            Object old(std::move(*this));
            ptr_ = other.release();
        }
        return *this;
    }
    ~Object() { Py_XDECREF(ptr_); }

    // Take over a new reference.
    static Object steal(PyObject *ptr) { return Object(ptr); }
    // Add a reference of our own to a borrowed one.
    static Object borrow(PyObject *ptr) {
        Py_XINCREF(ptr);
        return Object(ptr);
    }
    // Hand the reference back to the caller.
    PyObject *release() { return std::exchange(ptr_, nullptr); }

private:
    explicit Object(PyObject *ptr) : Handle(ptr) {}
};

// A Python exception in flight: either a fetched (type, value, traceback)
// triple or an exception type with a message still to be instantiated.
class PythonError {
public:
    PythonError(PyObject *type, const char *message);
    PythonError(Object type, Object value, Object traceback)
        : type_(std::move(type)), value_(std::move(value)),
          traceback_(std::move(traceback)) {}

    // Take the pending exception as it stands; the indicator must be set.
    static PythonError fetch();
    // Make this the pending exception, consuming it.
    void restore();
    // Instantiate the value if it is still a type with a message.
    void normalize();

    Handle type() const { return type_; }
    Handle value() const { return value_; }
    Handle traceback() const { return traceback_; }

private:
    Object type_, value_, traceback_;
};

// A failure of native code that no argument choice can repair. It carries a
// UTF-8 message, or none, and reaches the caller as the internal-failure
// exception.
class InternalFailure {
public:
    explicit InternalFailure(std::string message, bool has_message = true)
        : message_(std::move(message)), has_message_(has_message) {}
    const std::string &message() const { return message_; }
    bool has_message() const { return has_message_; }

private:
    std::string message_;
    bool has_message_;
};

// Raise an internal failure, writing its diagnostic at the point of failure.
[[noreturn]] void fail_internal(
    std::string message,
    std::source_location where = std::source_location::current());

// The pending-exception fetch: called after an interpreter or NumPy call
// signalled failure by its return value.
[[noreturn]] void raise_pending();
// The same without the step that invents a SystemError: returns normally
// when nothing is pending, so a sentinel return value counts as a value.
void raise_if_pending();

// Wrap a new reference, or raise the pending exception if there is none.
inline Object check(PyObject *ptr) {
    if (ptr == nullptr)
        raise_pending();
    return Object::steal(ptr);
}

// str() of an object as UTF-8: lone surrogates are carried through
// "surrogatepass" and every byte that is then not valid UTF-8 becomes
// U+FFFD.
std::string to_utf8(Handle text);
std::string str_utf8(Handle object);

// "Type: value" of an error, followed by its traceback when it has one; for
// the messages of internal failures that a Python error caused.
std::string describe_error(PythonError &error);

// "'{type name}' object cannot be converted to '{target}'", the TypeError of
// an argument whose type cannot serve.
[[noreturn]] void fail_conversion(Handle object, const char *target);

} // namespace ondulix
