// Aligned allocation, a fatal exit and one-, two- and three-dimensional array
// classes for the FFT wrapper.
#ifndef FYRNOL_ARRAY_H
#define FYRNOL_ARRAY_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <new>
#include <sstream>
#include <string>

namespace Array {

// Storage state of an array, a set of bit flags.
enum alloc_state { unallocated = 0, allocated = 1, temporary = 2, aligned = 4 };

// Every failure of the array support ends here: message on stderr, status 1.
[[noreturn]] inline void ArrayExit(const char *x)
{
    std::cerr << '\n' << "ERROR: " << x << '.' << std::endl;
    std::exit(1);
}

// len value-initialised elements in a block aligned to align bytes
// (a power of two and a multiple of sizeof(void *)).
template <class T>
void newAlign(T *&v, size_t len, size_t align)
{
    // A byte count that wraps around would hand back a block too small for len.
    if (len > SIZE_MAX / sizeof(T)) ArrayExit("Memory limits exceeded");
    void *mem = nullptr;
    const int rc = posix_memalign(&mem, align, len * sizeof(T));
    if (rc == EINVAL) ArrayExit("Invalid alignment requested");
    if (rc == ENOMEM) ArrayExit("Memory limits exceeded");
    v = static_cast<T *>(mem);
    for (size_t i = 0; i < len; ++i) new (v + i) T();
}

// Releases what newAlign gave for len elements.
template <class T>
void deleteAlign(T *v, size_t len)
{
    for (size_t i = len; i-- > 0;) v[i].~T();
    free(v);
}

template <class T>
class array1 {
protected:
    T *v;
    unsigned int size;
    int state;

public:
    array1() : v(nullptr), size(0), state(unallocated) {}
    array1(const array1 &) = delete;
    array1 &operator=(const array1 &) = delete;

    virtual unsigned int Size() const { return size; }
    virtual void Dimension(unsigned int nx0) { size = nx0; }
    virtual ~array1() { Release(); }

    // Ends the process unless 0 <= i < n; o is the index offset shown in the
    // bounds, m the position of the index in a multi-index access (0: only one).
    virtual void Check(int i, int n, unsigned int dim, unsigned int m, int o) const
    {
        if (i >= 0 && i < n) return;
        std::ostringstream text;
        text << "Array" << dim << " index ";
        if (m != 0) text << m << " ";
        text << "is out of bounds (" << static_cast<long long>(i) + o;
        if (n == 0)
            text << " index given to empty array";
        else if (i < 0)
            text << " < " << o;
        else
            text << " > " << static_cast<long long>(n) + o - 1;
        text << ")";
        ArrayExit(text.str().c_str());
    }

protected:
    // Frees owned storage only; borrowed (temporary) storage is left alone.
    void Release()
    {
        if (!(state & allocated)) return;
        if (state & aligned)
            deleteAlign(v, size);
        else if (v)
            delete[] v;
        v = nullptr;
        state = unallocated;
    }
};

template <class T>
class array2 : public array1<T> {
protected:
    unsigned int nx;
    unsigned int ny;

public:
    array2() : nx(0), ny(0) {}
    ~array2() override { this->Release(); }
};

template <class T>
class array3 : public array1<T> {
protected:
    unsigned int nx;
    unsigned int ny;
    unsigned int nz;
    unsigned int nyz;

public:
    array3() : nx(0), ny(0), nz(0), nyz(0) {}
    ~array3() override { this->Release(); }
};

} // namespace Array

#endif
