// Array interchange with NumPy: its function table, the `time` argument, the
// read-only view recorded in the shared borrow registry, and the result.
#pragma once

#include "python.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ondulix {

// A one-dimensional float64 NumPy array, borrowed from the caller.
struct TimeArray {
    PyObject *array;
};

// Convert the `time` argument; raises TypeError when it cannot serve.
TimeArray extract_time_array(Handle object);

// The record of operations that the shared borrow registry publishes.
struct BorrowRecord;

// A read borrow of an array in the shared borrow registry, held for the
// lifetime of this object.
class ReadBorrow {
public:
    explicit ReadBorrow(PyObject *array);
    ReadBorrow(const ReadBorrow &) = delete;
    ReadBorrow &operator=(const ReadBorrow &) = delete;
    ~ReadBorrow();

private:
    PyObject *array_;
    const BorrowRecord *record_; // the registry the borrow was taken in
};

// The time array's contiguous doubles, read-only while the view is open.
class ReadOnlyView {
public:
    explicit ReadOnlyView(TimeArray time);
    const unsigned char *data() const { return data_; }
    std::uint64_t size() const { return size_; }

private:
    ReadBorrow borrow_;
    const unsigned char *data_;
    std::uint64_t size_;
};

// The buffer of n doubles that one call computes into. Its contents start
// undefined: the frame writes every element before anything reads it.
class ResultBuffer {
public:
    explicit ResultBuffer(std::uint64_t size);
    ResultBuffer(const ResultBuffer &) = delete;
    ResultBuffer &operator=(const ResultBuffer &) = delete;
    ~ResultBuffer();
    double *data() const { return data_; }

private:
    double *data_ = nullptr;
    std::size_t capacity_ = 0; // in bytes, at least 8 n
};

// A new plain, C-contiguous float64 array holding a copy of the buffer.
Object new_waveform_array(const ResultBuffer &buffer, std::uint64_t size);

// The per-call frame shared by every generator: sample i of the result is
// kernel(time[i]). The time array need not be aligned, so each element is
// read through memcpy.
template <typename Kernel>
Object generate(TimeArray time, const Kernel &kernel) {
    ReadOnlyView view(time);
    const std::uint64_t n = view.size();
    ResultBuffer buffer(n);
    const unsigned char *in = view.data();
    double *out = buffer.data();
    // A copy whose address nothing else knows: the compiler may then keep its
    // fields where they are across the library calls instead of reloading
    // them, which makes the loop measurably faster.
    const Kernel sample = kernel;
    for (std::uint64_t i = 0; i < n; ++i) {
        double t;
        std::memcpy(&t, in + i * sizeof(double), sizeof(double));
        out[i] = sample(t);
    }
    return new_waveform_array(buffer, n);
}

} // namespace ondulix
