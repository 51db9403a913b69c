// Aligned allocation, bounds messages and storage release of the array classes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fftwrap.h"

#if defined(__SANITIZE_ADDRESS__)
#define FYRNOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FYRNOL_ASAN 1
#endif
#endif

namespace {

// Regex for exactly the fatal exit's text on stderr.
std::string fatal(const std::string &text)
{
    std::string re = "^";
    for (const char c : "\nERROR: " + text + ".\n")
        re += (std::strchr(".[]{}()\\*+?^$|", c) ? "\\" : "") + std::string(1, c);
    return re + "$";
}

TEST(ArrayAlign, BlocksAreAlignedAndZeroed)
{
    for (const size_t align : {16, 64, 4096})
        for (const size_t len : {0, 1, 7, 1000}) {
            // Dirty a block first so that a reused one would show stale values.
            Complex *v = nullptr;
            Array::newAlign(v, len, align);
            std::fill(v, v + len, Complex(1.5, -2.5));
            Array::deleteAlign(v, len);
            Array::newAlign(v, len, align);
            if (len) {
                EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v) % align, 0u) << align;
            }
            for (size_t i = 0; i < len; ++i) ASSERT_EQ(v[i], Complex(0.0, 0.0)) << i;
            Array::deleteAlign(v, len);
        }
}

TEST(ArrayDeathTest, AllocationFailuresExit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Complex *v = nullptr;
    // A byte count that would wrap around is refused before the system is asked.
    EXPECT_EXIT(Array::newAlign(v, SIZE_MAX / 8, 16), testing::ExitedWithCode(1),
                fatal("Memory limits exceeded"));
#ifdef FYRNOL_ASAN
    GTEST_SKIP() << "the sanitizer's allocator aborts on these requests itself";
#else
    EXPECT_EXIT(Array::newAlign(v, 4, 24), testing::ExitedWithCode(1),
                fatal("Invalid alignment requested"));
    EXPECT_EXIT(Array::newAlign(v, 4, 4), testing::ExitedWithCode(1),
                fatal("Invalid alignment requested"));
    EXPECT_EXIT(Array::newAlign(v, size_t(1) << 58, 16), testing::ExitedWithCode(1),
                fatal("Memory limits exceeded"));
#endif
}

TEST(ArrayDeathTest, CheckBoundsAndTexts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Array::array1<Complex> a;
    a.Check(0, 1, 1, 0, 0);
    a.Check(4, 5, 3, 2, 1);
    const auto exits = testing::ExitedWithCode(1);
    EXPECT_EXIT(a.Check(10, 10, 1, 0, 0), exits, fatal("Array1 index is out of bounds (10 > 9)"));
    EXPECT_EXIT(a.Check(-1, 5, 1, 0, 0), exits, fatal("Array1 index is out of bounds (-1 < 0)"));
    EXPECT_EXIT(a.Check(3, 0, 2, 1, 0), exits,
                fatal("Array2 index 1 is out of bounds (3 index given to empty array)"));
    // The offset shifts both the index shown and the bounds.
    EXPECT_EXIT(a.Check(5, 5, 3, 2, 1), exits, fatal("Array3 index 2 is out of bounds (6 > 5)"));
    EXPECT_EXIT(a.Check(-3, 4, 1, 0, -2), exits, fatal("Array1 index is out of bounds (-5 < -2)"));
}

// Hands an array storage directly, as an owner of the class would.
template <class A>
struct Holder : A {
    Holder(Complex *p, unsigned int n, int s)
    {
        this->v = p;
        this->size = n;
        this->state = s;
    }
};

// Wrong releases show up as crashes or, in the sanitizer build, as errors and leaks.
template <class A>
void checkRelease()
{
    Complex borrowed[2] = {Complex(1, 2), Complex(3, 4)};
    { Holder<A> h(borrowed, 2, Array::temporary); }
    EXPECT_EQ(borrowed[1], Complex(3, 4));
    { Holder<A> h(new Complex[5], 5, Array::allocated); }
    { Holder<A> h(fftwrap::ComplexAlign(6), 6, Array::allocated | Array::aligned); }
    { Holder<A> h(nullptr, 0, Array::allocated); }
}

TEST(ArrayClasses, EmptyArraysAndRelease)
{
    EXPECT_EQ(Array::NULL1.Size(), 0u);
    EXPECT_EQ(Array::NULL2.Size(), 0u);
    EXPECT_EQ(Array::NULL3.Size(), 0u);
    Array::array1<Complex> a;
    a.Dimension(7);
    EXPECT_EQ(a.Size(), 7u);
    checkRelease<Array::array1<Complex>>();
    checkRelease<Array::array2<Complex>>();
    checkRelease<Array::array3<Complex>>();
}

} // namespace
