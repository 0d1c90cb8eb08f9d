// Deliberate faults, compiled with the module's sanitizer flags, that show
// the sanitizer run can see a fault at all: each must produce a report that
// the run detects, or the run itself is broken.
#include <cstdlib>
#include <cstring>

extern "C" {

// Reads one byte past the end of a heap block of the given size: an
// AddressSanitizer report (the size is not known at compile time, so UBSan's
// object-size check cannot take the report first).
int canary_heap_overflow(int size) {
    volatile char *block = static_cast<char *>(std::malloc(std::size_t(size)));
    std::memset(const_cast<char *>(block), 0, std::size_t(size));
    int value = block[size];
    std::free(const_cast<char *>(block));
    return value;
}

// Signed overflow: an UndefinedBehaviorSanitizer report.
int canary_signed_overflow(int value) {
    return value + 2147483647;
}

// Allocates a block and forgets it: one leak per call.
void canary_leak() {
    volatile char *block = static_cast<char *>(std::malloc(24));
    block[0] = 1;
}

}
