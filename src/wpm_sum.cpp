// Per-pair evaluation of the spectrum sum: the term table of a pair, and the separable
// evaluation of its field by two complex matrix products.
#include "wpm_sum.h"

#include <cblas.h>

#include <algorithm>
#include <climits>
#include <cmath>

// ---- terms of one pair ----

namespace {

std::size_t padded(const int n)
{
    const std::size_t w = kPhaseTermsPad;
    return (static_cast<std::size_t>(n > 0 ? n : 0) + w - 1) / w * w;
}

// Sums of this many terms of this size stay far from overflow in any order.
constexpr double kSafeSum = 1e290;

} // namespace

TermTable::TermTable(const int components)
    : m_capacity(padded(components)), m_kx(m_capacity, "terms kx"), m_ky(m_capacity, "terms ky"),
      m_rz(m_capacity, "terms rz"), m_ar(m_capacity, "terms ar"), m_ai(m_capacity, "terms ai"),
      m_slot(m_capacity, "terms slot")
{
}

std::size_t TermTable::bytes(const int components)
{
    const std::size_t n = padded(components);
    return 5 * HostBuffer<double>::bytes(n) + HostBuffer<int>::bytes(n);
}

void TermTable::clear()
{
    m_count = 0;
    m_kxMax = m_kyMax = m_rzMax = m_aMax = 0.0;
    m_finite = true;
}

void TermTable::append(const double kx, const double ky, const double rz, const cpx &a,
                       const int slot)
{
    m_kx[m_count] = kx;
    m_ky[m_count] = ky;
    m_rz[m_count] = rz;
    m_ar[m_count] = a.real();
    m_ai[m_count] = a.imag();
    m_slot[m_count] = slot;
    ++m_count;
    // Largest magnitudes; a NaN compares false and leaves them alone.
    m_kxMax = std::max(m_kxMax, std::fabs(kx));
    m_kyMax = std::max(m_kyMax, std::fabs(ky));
    if (std::fabs(rz) > m_rzMax)
        m_rzMax = std::fabs(rz);
    if (std::fabs(a.real()) > m_aMax)
        m_aMax = std::fabs(a.real());
    if (std::fabs(a.imag()) > m_aMax)
        m_aMax = std::fabs(a.imag());
    m_finite = m_finite && std::isfinite(rz) && std::isfinite(a.real()) && std::isfinite(a.imag());
}

bool TermTable::isFinite() const
{
    return m_finite && m_aMax * static_cast<double>(m_count) < kSafeSum;
}

PhaseTerms TermTable::terms(const double xMax, const double yMax)
{
    const int count = static_cast<int>(padded(m_count));
    for (int c = m_count; c < count; ++c) {
        m_kx[c] = 0.0;
        m_ky[c] = 0.0;
        m_rz[c] = 0.0;
        m_ar[c] = 0.0;
        m_ai[c] = 0.0;
    }
    const double phaseMax = m_kxMax * xMax + m_kyMax * yMax + m_rzMax;
    return PhaseTerms{m_kx.data(), m_ky.data(), m_rz.data(), m_ar.data(), m_ai.data(),
                      count,       phaseMax < 0.5 * kReduceBelow};
}

void TermTable::toCoefficients(const PhasorFn phasor)
{
    const int count = static_cast<int>(padded(m_count));
    for (int c = m_count; c < count; ++c) {
        m_rz[c] = 0.0;
        m_ar[c] = 0.0;
        m_ai[c] = 0.0;
    }
    phasor(m_rz.data(), m_ar.data(), m_ai.data(), count);
}

// ---- separable evaluation ----

namespace {

// Cost model, in units of one term summed directly at one sample (a vectorised sin and
// cos, about 1.5 ns): a complex multiply-add inside zgemm, a gathered table entry, a
// term set into B (its sin and cos included), and what each pair pays regardless (two
// library calls, the footprint lists, the scatter set-up).
constexpr double kMacCost = 0.12;
constexpr double kCopyCost = 0.3;
constexpr double kTermCost = 2.5;
constexpr double kPairCost = 1000.0;
// An entry of the phase tables, made once a call: its sin and cos, and its first touch, which
// is most of it (measured: about 45 ns an entry on a KVM guest, where a page's first touch
// takes about 10 us).
constexpr double kTableCost = 20.0;

// Products for ni columns and nj rows of samples over np by nq frequencies, terms of them set.
double productsCost(const double ni, const double nj, const double np, const double nq,
                    const double terms)
{
    const double macs = std::min(ni * nq * (np + nj), np * nj * (nq + ni));
    const double copies = ni * np + nj * nq + np * nq + ni * nj;
    return kPairCost + kTermCost * terms + kCopyCost * copies + kMacCost * macs;
}

const cpx kOne(1.0, 0.0);
const cpx kZero(0.0, 0.0);

// The library runs on one thread: the CPU run is the single-thread reference.
void useOneThread()
{
    static const bool once = (openblas_set_num_threads(1), true);
    (void)once;
}

} // namespace

// The phase tables, their gathered copies, B, the first product, E_c, and one table column
// under construction. Any of them may be missing where memory ran out.
struct SeparableSum::Work {
    Work(const int nx, const int ny)
        : tx(static_cast<std::size_t>(nx) * nx, std::nothrow),
          ty(static_cast<std::size_t>(ny) * ny, std::nothrow),
          gx(static_cast<std::size_t>(nx) * nx, std::nothrow),
          gy(static_cast<std::size_t>(ny) * ny, std::nothrow),
          b(static_cast<std::size_t>(nx) * ny, std::nothrow),
          w(static_cast<std::size_t>(nx) * ny, std::nothrow),
          e(static_cast<std::size_t>(nx) * ny, std::nothrow),
          phase(padded(std::max(nx, ny)), std::nothrow), re(padded(std::max(nx, ny)), std::nothrow),
          im(padded(std::max(nx, ny)), std::nothrow)
    {
    }
    bool allocated() const
    {
        return tx.data() && ty.data() && gx.data() && gy.data() && b.data() && w.data() && e.data() &&
               phase.data() && re.data() && im.data();
    }

    HostBuffer<cpx> tx, ty;           // nx^2 and ny^2
    HostBuffer<cpx> gx, gy;           // gathered Tx, Ty: at most nx^2 and ny^2
    HostBuffer<cpx> b, w, e;          // B, the first product, E_c: nx ny each at most
    HostBuffer<double> phase, re, im; // one table column
};

SeparableSum::SeparableSum(const cpx *KX, const double *X, const cpx *KY, const double *Y,
                           const int nx, const int ny, const PhasorFn phasor)
    : m_KX(KX), m_KY(KY), m_X(X), m_Y(Y), m_nx(nx), m_ny(ny), m_phasor(phasor),
      m_seenI(nx, "columns seen"), m_seenJ(ny, "rows seen"),
      m_listI(nx, "columns"), m_listJ(ny, "rows"),
      m_posI(nx, "column positions"), m_posJ(ny, "row positions")
{
    std::fill(m_seenI.data(), m_seenI.data() + nx, 0);
    std::fill(m_seenJ.data(), m_seenJ.data() + ny, 0);
}

SeparableSum::~SeparableSum() = default;

std::size_t SeparableSum::listBytes(const int nx, const int ny)
{
    return 3 * (HostBuffer<int>::bytes(nx) + HostBuffer<int>::bytes(ny));
}

std::size_t SeparableSum::bytes(const int nx, const int ny)
{
    const std::size_t x = static_cast<std::size_t>(nx), y = static_cast<std::size_t>(ny);
    const std::size_t column = padded(std::max(nx, ny));
    // Tables and their gathered copies, three plane buffers, three columns; saturating: the
    // square of a long side passes what any machine holds long before its bytes wrap.
    const std::size_t tables =
        addBytes(HostBuffer<cpx>::bytes(mulBytes(x, x)), HostBuffer<cpx>::bytes(mulBytes(y, y)));
    return addBytes(addBytes(mulBytes(2, tables), mulBytes(3, HostBuffer<cpx>::bytes(x * y))),
                    mulBytes(3, HostBuffer<double>::bytes(column)));
}

double SeparableSum::tablesCost(const int nx, const int ny)
{
    const double x = nx, y = ny;
    return kTableCost * (x * x + y * y);
}

// Rent or buy: the pairs take the direct sum until what the products would have saved them
// pays for the tables, so that a call never spends more than about twice the cheaper of
// the two ways on tables that few pairs use (a plane wave through a strip).
bool SeparableSum::ready(const double saving)
{
    if (!m_tried) {
        m_saved += saving;
        if (!(m_saved >= tablesCost(m_nx, m_ny)))
            return false;
        m_tried = true;
        // With room left for the program's own small allocations afterwards, as the run's
        // memory check leaves it.
        const std::size_t margin = std::size_t(16) << 20;
        const MemoryNeed need = wholeBuffer(addBytes(bytes(m_nx, m_ny), margin)) + libraryMemory(m_ny);
        if (memoryShortfall(need).available.what == nullptr) {
            std::unique_ptr<Work> work(new (std::nothrow) Work(m_nx, m_ny));
            if (work && work->allocated()) {
                m_work = std::move(work);
                useOneThread();
                buildTables();
            }
        }
    }
    return m_work && m_finite;
}

MemoryNeed SeparableSum::libraryMemory(const int ny)
{
    // OpenBLAS (0.3, x86-64) maps a buffer of 128 MiB at its first product, and retries for
    // ever where it cannot. A product packs a block of A and a panel of B, its Q (at most
    // 512) by n columns, into it; n is at most ny for the products here.
    const std::size_t buffer = std::size_t(128) << 20;
    const std::size_t packed = (std::size_t(4) << 20) + 512 * sizeof(cpx) * static_cast<std::size_t>(ny);
    return {std::min(buffer, packed), buffer};
}

// Column-major tables, built once their buffers are there:
//   Tx[i + p nx] = exp(i kx_p x_i),   Ty[j + q ny] = exp(i ky_q y_j).
// The phase kx_p x_i is taken as its double product plus the product's rounding error
// e (exact by a fused multiply-add): exp(i (phase + e)) = (1, e) exp(i phase) to O(e^2).
void SeparableSum::buildTables()
{
    Work &work = *m_work;
    const auto build = [this, &work](cpx *table, const cpx *K, const double *P, const int n) {
        const int count = static_cast<int>(padded(n));
        double *phase = work.phase.data(), *re = work.re.data(), *im = work.im.data();
        for (int p = 0; p < n; ++p) {
            const double k = K[p].real();
            for (int i = 0; i < count; ++i) {
                const double x = i < n ? P[i] : 0.0;
                phase[i] = k * x;
                re[i] = 1.0;
                im[i] = std::fma(k, x, -phase[i]);
            }
            m_phasor(phase, re, im, count);
            for (int i = 0; i < n; ++i) {
                table[i + static_cast<std::size_t>(p) * n] = cpx(re[i], im[i]);
                m_finite = m_finite && std::isfinite(re[i]) && std::isfinite(im[i]);
            }
        }
    };
    build(work.tx.data(), m_KX, m_X, m_nx);
    build(work.ty.data(), m_KY, m_Y, m_ny);
}

void SeparableSum::setSupport(const int *ps, const int np, const int *qs, const int nq)
{
    m_ps = ps;
    m_qs = qs;
    m_np = np;
    m_nq = nq;
}

Footprint SeparableSum::footprint(const int *begin, const int *end)
{
    if (++m_stamp == INT_MAX) {
        std::fill(m_seenI.data(), m_seenI.data() + m_nx, 0);
        std::fill(m_seenJ.data(), m_seenJ.data() + m_ny, 0);
        m_stamp = 1;
    }
    int columns = 0, rows = 0;
    for (const int *s = begin; s != end; ++s) {
        const int j = *s / m_nx;
        const int i = *s - j * m_nx;
        if (m_seenI[i] != m_stamp) {
            m_seenI[i] = m_stamp;
            ++columns;
        }
        if (m_seenJ[j] != m_stamp) {
            m_seenJ[j] = m_stamp;
            ++rows;
        }
    }
    return Footprint{columns, rows};
}

ProductOrder SeparableSum::cheaperOrder(const Footprint &fp) const
{
    // x first: (ni x np)(np x nq), then (ni x nq)(nq x nj); y first: (np x nq)(nq x nj),
    // then (ni x np)(np x nj).
    const double ni = fp.columns, nj = fp.rows, np = m_np, nq = m_nq;
    return ni * nq * (np + nj) <= np * nj * (nq + ni) ? ProductOrder::XFirst : ProductOrder::YFirst;
}

double SeparableSum::cost(const Footprint &fp, const int terms) const
{
    return productsCost(fp.columns, fp.rows, m_np, m_nq, terms);
}

bool SeparableSum::canPay(const int nx, const int ny)
{
    // Each part of the cost, over the direct sum's samples times terms, falls as a pair's
    // columns, rows, frequencies, samples and terms grow: where the pair of the whole plane
    // with every component does not pay, no pair of the grid does.
    const double x = nx, y = ny, samples = x * y;
    return productsCost(x, y, x, y, samples) < samples * samples;
}

// The columns and rows of the last footprint, increasing, with their positions.
void SeparableSum::listFootprint()
{
    m_ni = 0;
    for (int i = 0; i < m_nx; ++i)
        if (m_seenI[i] == m_stamp) {
            m_posI[i] = m_ni;
            m_listI[m_ni++] = i;
        }
    m_nj = 0;
    for (int j = 0; j < m_ny; ++j)
        if (m_seenJ[j] == m_stamp) {
            m_posJ[j] = m_nj;
            m_listJ[m_nj++] = j;
        }
}

namespace {

// A phase table (n x n, frequency by frequency) restricted to the pair's positions and the
// plane's frequencies: the table itself, a window of it, or a gathered copy (positions x
// frequencies, leading dimension the position count).
const cpx *gatherTable(const cpx *table, const int n, const int *pos, const int npos, const int *freq,
                       const int nfreq, cpx *gathered, int &ld)
{
    const bool contiguous = pos[npos - 1] - pos[0] + 1 == npos;
    if (nfreq == n && contiguous) {
        ld = n;
        return table + pos[0];
    }
    ld = npos;
    for (int c = 0; c < nfreq; ++c) {
        const cpx *src = table + static_cast<std::size_t>(freq[c]) * n;
        cpx *dst = gathered + static_cast<std::size_t>(c) * npos;
        for (int r = 0; r < npos; ++r)
            dst[r] = src[pos[r]];
    }
    return gathered;
}

} // namespace

// E_c = Tx_c B Ty_c^T over the pair's columns (ni) and rows (nj), column-major with i
// fastest like a plane, then added into the pair's samples:
//   x first: W = Tx_c B (ni x nq),   E_c = W Ty_c^T
//   y first: W = B Ty_c^T (np x nj), E_c = Tx_c W
void SeparableSum::add(TermTable &table, const int *begin, const int *end, ProductOrder order,
                       cpx *E1)
{
    Work &work = *m_work;
    listFootprint();
    if (order == ProductOrder::Cheaper)
        order = cheaperOrder(Footprint{m_ni, m_nj});

    table.toCoefficients(m_phasor);
    cpx *B = work.b.data();
    std::fill(B, B + static_cast<std::size_t>(m_np) * m_nq, kZero);
    const double *re = table.re();
    const double *im = table.im();
    const int *slot = table.slots();
    for (int c = 0; c < table.count(); ++c)
        B[slot[c]] = cpx(re[c], im[c]);

    int ldx = 0, ldy = 0;
    const cpx *tx = gatherTable(work.tx.data(), m_nx, m_listI.data(), m_ni, m_ps, m_np, work.gx.data(), ldx);
    const cpx *ty = gatherTable(work.ty.data(), m_ny, m_listJ.data(), m_nj, m_qs, m_nq, work.gy.data(), ldy);
    cpx *W = work.w.data();
    cpx *Ec = work.e.data();
    if (order == ProductOrder::XFirst) {
        cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m_ni, m_nq, m_np, &kOne, tx, ldx,
                    B, m_np, &kZero, W, m_ni);
        cblas_zgemm(CblasColMajor, CblasNoTrans, CblasTrans, m_ni, m_nj, m_nq, &kOne, W, m_ni,
                    ty, ldy, &kZero, Ec, m_ni);
    } else {
        cblas_zgemm(CblasColMajor, CblasNoTrans, CblasTrans, m_np, m_nj, m_nq, &kOne, B, m_np,
                    ty, ldy, &kZero, W, m_np);
        cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m_ni, m_nj, m_np, &kOne, tx, ldx,
                    W, m_np, &kZero, Ec, m_ni);
    }

    for (const int *s = begin; s != end; ++s) {
        const int j = *s / m_nx;
        const int i = *s - j * m_nx;
        E1[*s] += Ec[m_posI[i] + static_cast<std::size_t>(m_posJ[j]) * m_ni];
    }
}
