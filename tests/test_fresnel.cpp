// Transmission quantisation and the TE / TM Fresnel factors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "wpm.h"

namespace {

// Expected quantised value: the double product of a whole-number floor and 1e-4.
double steps(double m) { return m * 1e-4; }

cpx trimmed(cpx c)
{
    trim(c);
    return c;
}

// Complex quotient by Smith's method, written out.
cpx smithDivide(const cpx &num, const cpx &den)
{
    const double a = num.real(), b = num.imag(), c = den.real(), d = den.imag();
    if (std::fabs(c) >= std::fabs(d)) {
        const double r = d / c;
        const double s = d * r + c;
        return cpx((b * r + a) / s, (b - a * r) / s);
    }
    const double r = c / d;
    const double s = c * r + d;
    return cpx((a * r + b) / s, (b * r - a) / s);
}

cpx mul(const cpx &x, const cpx &y)
{
    return cpx(x.real() * y.real() - x.imag() * y.imag(),
               x.real() * y.imag() + x.imag() * y.real());
}

} // namespace

TEST(Trim, FloorsEachPartToMultiplesOfTenThousandths)
{
    struct Case { double value; double floor; };
    const Case cases[] = {
        {0.99999, 9999}, {1.0, 10000}, {0.5, 5000},     {0.3, 2999},       {-0.3, -3000},
        {0.0003, 2},     {0.12345, 1234}, {-0.12345, -1235}, {-1e-9, -1}, {1e-300, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(trimmed(cpx(c.value, 0.0)).real(), steps(c.floor)) << c.value;
        EXPECT_EQ(trimmed(cpx(0.0, c.value)).imag(), steps(c.floor)) << c.value;
    }
    // Decimal multiples that survive exactly, and one that falls a step.
    EXPECT_EQ(trimmed(cpx(1.0, 0.5)), cpx(1.0, 0.5));
    EXPECT_EQ(trimmed(cpx(0.3, -0.3)), cpx(0.2999, -0.3));
}

TEST(Trim, PartsAreIndependentAndNonFiniteValuesPass)
{
    const cpx c = trimmed(cpx(0.12345, -0.12345));
    EXPECT_EQ(c.real(), steps(1234));
    EXPECT_EQ(c.imag(), steps(-1235));

    const double inf = std::numeric_limits<double>::infinity();
    const cpx n = trimmed(cpx(std::nan(""), -inf));
    EXPECT_TRUE(std::isnan(n.real()));
    EXPECT_EQ(n.imag(), -inf);
}

TEST(FresnelTTE, TabledFactors)
{
    EXPECT_EQ(fresnelTTE(cpx(1, 0), cpx(1.5, 0)), cpx(steps(8000), 0.0));
    // 2 * (1.5 / 2.5) lies just below 1.2.
    EXPECT_EQ(fresnelTTE(cpx(1.5, 0), cpx(1, 0)), cpx(steps(11999), 0.0));
    EXPECT_EQ(fresnelTTE(cpx(1, 0), cpx(2, 0)), cpx(steps(6666), 0.0));
    // Evanescent incident side: 2i / (0.5 + i) = (1.6, 0.8).
    EXPECT_EQ(fresnelTTE(cpx(0, 1), cpx(0.5, 0)), cpx(steps(16000), steps(8000)));
    EXPECT_EQ(fresnelTTE(cpx(0, 1), cpx(0.5, 0)), cpx(1.6, 0.8));
}

TEST(FresnelTTM, TabledFactors)
{
    EXPECT_EQ(fresnelTTM(cpx(1, 0), cpx(1.5, 0), cpx(1, 0), cpx(1.5, 0)), cpx(steps(8000), 0.0));
    // Here the grouping (n_i n_t)(kz_i / denom) lands just above 1.2.
    EXPECT_EQ(fresnelTTM(cpx(1.5, 0), cpx(1, 0), cpx(1.5, 0), cpx(1, 0)), cpx(steps(12000), 0.0));
    EXPECT_EQ(fresnelTTM(cpx(1.5, 0), cpx(1, 0), cpx(1.5, 0), cpx(1, 0)), cpx(1.2, 0.0));
}

TEST(Fresnel, ZeroDenominatorGivesUnity)
{
    EXPECT_EQ(fresnelTTE(cpx(1, 0), cpx(-1, 0)), cpx(1, 0));
    EXPECT_EQ(fresnelTTE(cpx(0, 0), cpx(0, 0)), cpx(1, 0));
    EXPECT_EQ(fresnelTTE(cpx(0, 2), cpx(0, -2)), cpx(1, 0));
    EXPECT_EQ(fresnelTTM(cpx(0, 0), cpx(0, 0), cpx(1, 0), cpx(2, 0)), cpx(1, 0));
    EXPECT_EQ(fresnelTTM(cpx(1, 0), cpx(1, 0), cpx(1, 0), cpx(-1, 0)), cpx(1, 0));
}

TEST(Fresnel, TinyButNonZeroDenominatorIsDivided)
{
    // A denominator of about 1e-16 is not zero: the quotient is taken.
    const cpx t = fresnelTTE(cpx(1.0, 0), cpx(-1.0 + 1e-16, 0));
    EXPECT_NE(t, cpx(1, 0));
    EXPECT_GT(t.real(), 1e15);
    // The smallest subnormal is not zero either: 2 * (d / d) = 2.
    EXPECT_EQ(fresnelTTE(cpx(5e-324, 0), cpx(0, 0)), cpx(2, 0));
    EXPECT_EQ(fresnelTTM(cpx(1, 0), cpx(1, 0), cpx(5e-324, 0), cpx(0, 0)), cpx(2, 0));
}

TEST(Fresnel, NaNDenominatorIsNotGuarded)
{
    const cpx t = fresnelTTE(cpx(std::nan(""), 0), cpx(1, 0));
    EXPECT_TRUE(std::isnan(t.real()) || std::isnan(t.imag()));
    const cpx m = fresnelTTM(cpx(1, 0), cpx(std::nan(""), 0), cpx(1, 0), cpx(1, 0));
    EXPECT_TRUE(std::isnan(m.real()) || std::isnan(m.imag()));
}

TEST(Fresnel, QuotientIsSmithsAndProductsKeepTheirOrder)
{
    // Over many complex inputs the factors equal the formulas evaluated with an
    // explicit Smith quotient and the products in the stated order, bit for bit.
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    auto next = [&state]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) / 9007199254740992.0 * 4.0 - 2.0;
    };
    for (int m = 0; m < 2000; ++m) {
        const cpx n_i(next(), next()), n_t(next(), next());
        const cpx kz_i(next(), next()), kz_t(next(), next());

        const cpx te = trimmed(mul(smithDivide(kz_i, kz_i + kz_t), cpx(2, 0)));
        EXPECT_EQ(fresnelTTE(kz_i, kz_t), te) << m;

        const cpx d = mul(mul(n_i, n_i), kz_t) + mul(mul(n_t, n_t), kz_i);
        const cpx tm = trimmed(mul(mul(mul(n_i, n_t), smithDivide(kz_i, d)), cpx(2, 0)));
        EXPECT_EQ(fresnelTTM(n_i, n_t, kz_i, kz_t), tm) << m;
    }
}
