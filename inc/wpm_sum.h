// The spectrum sum of the CPU propagation, evaluated per index pair either directly (each
// sample sums its pair's terms) or separably (two complex matrix products per pair), and
// the internal switch that the tests and the benchmark use to force either way.
#ifndef FYRNOL_WPM_SUM_H
#define FYRNOL_WPM_SUM_H

#include <cstddef>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <new>
#include <type_traits>

#include "memAvail.h"
#include "system.h"
#include "wpm_simd.h"

// Which evaluation a pair takes: the cheaper one by the cost model, or one forced.
enum class SumPath { Cheaper, Direct, Products };
// Which of the two products comes first: along x (Tx B), along y (B Ty^T), or the cheaper.
enum class ProductOrder { Cheaper, XFirst, YFirst };

struct SumChoice {
    SumPath path = SumPath::Cheaper;
    ProductOrder order = ProductOrder::Cheaper;
};

// vormel_3D with the evaluation chosen by the caller; vormel_3D itself takes the default.
// Pairs with a non-finite term, and every pair of a grid whose products' buffers exceed
// their bound or do not fit in the memory left, take the direct sum whatever the choice;
// the default takes the products only where separableTaken says so.
void vormel_3D(cpx *E, double *F, const cpx *N, const cpx *KX, const double *X,
               const cpx *KY, const double *Y, const double k0, const double dz,
               const double dy, const double dx, const int nz, const int ny, const int nx,
               const bool do_evanescent_modes, const bool is_magnetic_field,
               const polarization pol, const SumChoice &choice);

// kz = nk0 csqrt(1 - kxy_sq / nk0^2 + 0i), with a real square root where that gives the
// same bits; nk0 itself for the (0, 0) component.
cpx longitudinalWavenumber(double nk0, double kxy_sq, bool is_vertical_incidence);

// Uninitialised buffer of trivially copyable values, 64-byte aligned for the vector
// loads; a failed allocation ends the run like every host array, or, where the buffer can
// be done without, leaves it missing.
template <typename T>
class HostBuffer {
    static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value,
                  "plain values only");

public:
    HostBuffer(std::size_t count, const char *name) : HostBuffer(count, std::nothrow)
    {
        if (m_data == nullptr) {
            std::cout << "Error - Memory allocation " << name << std::endl;
            std::exit(-1);
        }
    }
    // data() is null where the allocation fails.
    HostBuffer(std::size_t count, std::nothrow_t)
    {
        void *p = nullptr;
        if (posix_memalign(&p, 64, bytes(count)) == 0)
            m_data = static_cast<T *>(p);
    }
    ~HostBuffer() { std::free(m_data); }
    // What a buffer of count values allocates.
    static std::size_t bytes(std::size_t count) { return mulBytes(sizeof(T), count > 0 ? count : 1); }
    HostBuffer(const HostBuffer &) = delete;
    HostBuffer &operator=(const HostBuffer &) = delete;

    T *data() const { return m_data; }
    T &operator[](std::size_t k) const { return m_data[k]; }

private:
    T *m_data = nullptr;
};

// The terms of one pair, padded with zero terms to the vector width: term c adds
// a_c exp(i (kx_c x + ky_c y + rz_c)), and sits at slot_c of the plane's coefficient matrix.
class TermTable {
public:
    explicit TermTable(int components);
    // What the constructor allocates.
    static std::size_t bytes(int components);

    void clear();
    void append(double kx, double ky, double rz, const cpx &a, int slot);
    bool empty() const { return m_count == 0; }
    int count() const { return m_count; }
    // Every a and rz finite, and small enough that no sum of them overflows.
    bool isFinite() const;
    // The padded table for samples with |x| <= xMax and |y| <= yMax.
    PhaseTerms terms(double xMax, double yMax);
    // a_c exp(i rz_c) in place of a_c, with the slots: the entries of the coefficient
    // matrix. The table no longer serves the direct sum afterwards.
    void toCoefficients(PhasorFn phasor);
    const double *re() const { return m_ar.data(); }
    const double *im() const { return m_ai.data(); }
    const int *slots() const { return m_slot.data(); }

private:
    std::size_t m_capacity;
    int m_count = 0;
    double m_kxMax = 0.0, m_kyMax = 0.0, m_rzMax = 0.0, m_aMax = 0.0;
    bool m_finite = true;
    HostBuffer<double> m_kx, m_ky, m_rz, m_ar, m_ai;
    HostBuffer<int> m_slot;
};

// Columns and rows holding a pair's samples.
struct Footprint {
    int columns, rows;
};

// The field of one index pair as two complex matrix products (BLAS zgemm, one thread):
//   E_c(i, j) = sum_q Ty(j, q) sum_p Tx(i, p) B(p, q),   B(p, q) = a_pq exp(i rz_pq),
// that is E_c = Tx B Ty^T, restricted to the pair's columns i and rows j and to the
// plane's frequencies p and q. The phase tables and work buffers are made at the first pair
// that takes the products, and only where they fit in what the process can still take.
class SeparableSum {
public:
    SeparableSum(const cpx *KX, const double *X, const cpx *KY, const double *Y, int nx, int ny,
                 PhasorFn phasor);
    ~SeparableSum();
    SeparableSum(const SeparableSum &) = delete;
    SeparableSum &operator=(const SeparableSum &) = delete;
    // What the constructor allocates for an nx by ny grid: a pair's columns and rows.
    static std::size_t listBytes(int nx, int ny);
    // What the tables and work buffers of an nx by ny grid take (ready()).
    static std::size_t bytes(int nx, int ny);
    // What the BLAS library takes for the products of a grid with ny rows: the work buffer
    // it maps at its first product and keeps, and the part of it that products touch.
    static MemoryNeed libraryMemory(int ny);

    // The frequencies present in a plane, increasing: term (p, q) sits at slot
    // lp + lq * np of B, with p = ps[lp] and q = qs[lq]. The arrays stay the caller's.
    void setSupport(const int *ps, int np, const int *qs, int nq);
    // Distinct columns and rows of the samples [begin, end), plane offsets j nx + i.
    Footprint footprint(const int *begin, const int *end);
    // The cheaper order for a footprint, and its cost in direct term-sample units.
    ProductOrder cheaperOrder(const Footprint &fp) const;
    double cost(const Footprint &fp, int terms) const;
    // Whether the products can be cheaper than the direct sum for some pair of an nx by ny
    // grid, that is for the pair most in their favour: the whole plane, every component.
    static bool canPay(int nx, int ny);
    // Whether the products can be taken for a pair that they save `saving` (direct-sum units;
    // infinite where they are forced). The tables and work buffers are made once the savings
    // of the pairs asked for pay for making them (tablesCost), and only where they fit beside
    // the run in what the process can still take (memoryShortfall: physical memory, cgroups,
    // address-space and data limits). False until then, and for good where they do not fit,
    // where an allocation fails or where a table entry is not finite (grids with a non-finite
    // value): every pair then takes the direct sum.
    bool ready(double saving);
    // What making the tables of an nx by ny grid costs, in direct-sum units.
    static double tablesCost(int nx, int ny);
    // E1 += E_c at the samples [begin, end) of the pair, whose footprint() was the last
    // taken; table holds its finite terms and is used up. Only after ready().
    void add(TermTable &table, const int *begin, const int *end, ProductOrder order, cpx *E1);

private:
    struct Work;
    void buildTables();
    void listFootprint();

    const cpx *m_KX, *m_KY;
    const double *m_X, *m_Y;
    int m_nx, m_ny;
    PhasorFn m_phasor;
    bool m_tried = false, m_finite = true;
    double m_saved = 0.0; // what the products would have saved the pairs so far
    int m_np = 0, m_nq = 0;
    int m_stamp = 0;
    int m_ni = 0, m_nj = 0;
    std::unique_ptr<Work> m_work;         // tables and work buffers, once ready()
    const int *m_ps = nullptr, *m_qs = nullptr; // the plane's frequencies
    HostBuffer<int> m_seenI, m_seenJ;     // stamp of the last pair that used a column, row
    HostBuffer<int> m_listI, m_listJ;     // a pair's columns and rows, increasing
    HostBuffer<int> m_posI, m_posJ;       // position of a column, row in those lists
};

#endif
