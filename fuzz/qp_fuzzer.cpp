// The QP solver called directly with arbitrary data: constraint matrices with repeated, nearly dependent and zero
// rows, Hessians from well conditioned to indefinite, any bound type, and values from ordinary to hostile (NaN,
// infinities, 1e300, denormals). The sizes and leading dimensions are consistent (they describe the arrays); the
// numbers in them are not restricted. Every call must end, with its status flags and active set well formed.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "byte_reader.h"
#include "korvex/korvex.h"
#include "korvex/routines/qp.h"

namespace korvex::fuzzing {
namespace {

constexpr int kMaxVariables = 10;
constexpr int kWideVariables = 40;  // from here on the solver forms its row solves side by side
constexpr int kMaxRows = 12;
constexpr double kUntouched = -4242.0;  // what the output arrays hold before the call

struct Qp {
  int n = 0, nc = 0, nineq = 0, lda = 1, ldh = 1;
  std::vector<double> a, bc, hess, g, xl, xu;
  std::vector<int> itype;
};

// Column k of A: mostly fresh values, often a copy or a multiple of an earlier column (repeated and nearly
// dependent rows are where an active-set method struggles), sometimes zero or a unit vector.
void fillConstraintColumn(ByteReader& in, Qp& qp, int k) {
  double* column = &qp.a[static_cast<size_t>(k) * qp.lda];
  const uint8_t kind = k > 0 ? in.byte() % 8 : 0;
  const double* earlier = k > 0 ? &qp.a[static_cast<size_t>(in.pick(0, k - 1)) * qp.lda] : nullptr;
  switch (kind) {
    case 4:
      for (int i = 0; i < qp.n; ++i) column[i] = earlier[i];
      break;
    case 5: {
      const double factor = in.value(), perturbation = in.value() * 1e-9;
      for (int i = 0; i < qp.n; ++i) column[i] = factor * earlier[i];
      if (qp.n > 0) column[in.pick(0, qp.n - 1)] += perturbation;
      break;
    }
    case 6:
      break;  // zero
    case 7:
      if (qp.n > 0) column[in.pick(0, qp.n - 1)] = in.flag() ? 1.0 : -1.0;
      break;
    default:
      for (int i = 0; i < qp.n; ++i) column[i] = in.value();
  }
}

// H (only the upper triangle is meant; the lower one is left as NaN): a multiple of the identity, a diagonal, a
// positive definite B'B + I, or any numbers at all.
void fillHessian(ByteReader& in, Qp& qp) {
  auto h = [&](int i, int j) -> double& { return qp.hess[static_cast<size_t>(i) + static_cast<size_t>(j) * qp.ldh]; };
  const uint8_t kind = in.byte() % 8;
  if (kind < 3) {
    const double scale = kind == 0 ? 1.0 : in.value();
    for (int i = 0; i < qp.n; ++i) h(i, i) = scale;
  } else if (kind < 5) {
    for (int i = 0; i < qp.n; ++i) h(i, i) = in.value();
  } else if (kind < 7) {
    std::vector<double> b(static_cast<size_t>(qp.n * qp.n));
    for (double& v : b) v = static_cast<int8_t>(in.byte()) / 16.0;
    for (int j = 0; j < qp.n; ++j) {
      for (int i = 0; i <= j; ++i) {
        double sum = i == j ? 1.0 : 0.0;
        for (int k = 0; k < qp.n; ++k) {
          sum += b[static_cast<size_t>(k + i * qp.n)] * b[static_cast<size_t>(k + j * qp.n)];
        }
        h(i, j) = sum;
      }
    }
  } else {
    for (int j = 0; j < qp.n; ++j) {
      for (int i = 0; i <= j; ++i) h(i, j) = in.value();
    }
  }
}

Qp decode(ByteReader& in) {
  Qp qp;
  qp.n = in.pick(0, kMaxVariables);
  if (qp.n == kMaxVariables && in.flag()) qp.n = kWideVariables + in.pick(0, 4);  // a few wide problems too
  qp.nc = in.pick(0, kMaxRows);
  qp.nineq = in.pick(0, qp.nc);
  qp.lda = std::max(qp.n, 1) + in.pick(0, 2);
  qp.ldh = std::max(qp.n, 1) + in.pick(0, 2);
  qp.a.assign(static_cast<size_t>(qp.lda) * std::max(qp.nc, 1), 0.0);
  qp.bc.assign(static_cast<size_t>(std::max(qp.nc, 1)), 0.0);
  qp.hess.assign(static_cast<size_t>(qp.ldh) * std::max(qp.n, 1), std::nan(""));
  qp.g.assign(static_cast<size_t>(std::max(qp.n, 1)), 0.0);
  qp.xl.assign(qp.g.size(), 0.0);
  qp.xu.assign(qp.g.size(), 0.0);
  qp.itype.assign(qp.g.size(), 0);

  fillHessian(in, qp);
  for (int i = 0; i < qp.n; ++i) qp.g[i] = in.value();
  for (int k = 0; k < qp.nc; ++k) {
    fillConstraintColumn(in, qp, k);
    qp.bc[k] = in.value();
  }
  for (int i = 0; i < qp.n; ++i) {
    qp.itype[i] = in.pick(-1, 4);  // 1 both bounds, 2 lower, 3 upper, anything else none
    qp.xl[i] = in.value();
    qp.xu[i] = in.flag() ? qp.xl[i] + in.fraction() * 4.0 : in.value();
  }
  return qp;
}

// The decoded problem on the standard error, for replaying a saved input (KORVEX_FUZZ_DESCRIBE=1).
void describe(const Qp& qp) {
  std::fprintf(stderr, "n %d nc %d nineq %d lda %d ldh %d\n", qp.n, qp.nc, qp.nineq, qp.lda, qp.ldh);
  for (int j = 0; j < qp.n; ++j) {
    std::fprintf(stderr, "  H column %d:", j);
    for (int i = 0; i <= j; ++i) std::fprintf(stderr, " %.17g", qp.hess[static_cast<size_t>(i + j * qp.ldh)]);
    std::fprintf(stderr, "   g %.17g  type %d  [%.17g, %.17g]\n", qp.g[j], qp.itype[j], qp.xl[j], qp.xu[j]);
  }
  for (int k = 0; k < qp.nc; ++k) {
    std::fprintf(stderr, "  %s row %d:", k < qp.nineq ? "inequality" : "equality", k + 1);
    for (int i = 0; i < qp.n; ++i) std::fprintf(stderr, " %.17g", qp.a[static_cast<size_t>(i + k * qp.lda)]);
    std::fprintf(stderr, "   b %.17g\n", qp.bc[k]);
  }
}

int boundRowCount(const Qp& qp) {
  int nb = 0;
  for (int i = 0; i < qp.n; ++i) nb += qp.itype[i] == 1 ? 2 : (qp.itype[i] == 2 || qp.itype[i] == 3 ? 1 : 0);
  return nb;
}

void solveOnce(const Qp& qp) {
  const size_t outLength = static_cast<size_t>(std::max(qp.n, 1));
  std::vector<double> x(outLength, kUntouched), xlag(outLength, kUntouched);
  std::vector<int> iact(outLength, -7);
  int nact = -7, infeas = 7, ihess = 7, ierr = 7;
  QPSOLV(&qp.n, &qp.nc, &qp.nineq, qp.a.data(), &qp.lda, qp.bc.data(), qp.hess.data(), &qp.ldh, qp.g.data(),
         qp.itype.data(), qp.xl.data(), qp.xu.data(), x.data(), xlag.data(), iact.data(), &nact, &infeas, &ihess,
         &ierr);

  require((infeas == 0 || infeas == -1) && (ihess == 0 || ihess == -1) && (ierr == 0 || ierr == -1),
          "a status flag is neither 0 nor -1");
  if (ihess == -1) {
    for (double v : x) require(v == kUntouched, "H not positive definite, yet x changed");
    return;
  }
  if (infeas != 0 || ierr != 0) return;
  // A normal return: at most n active rows, each a row of the problem, none twice.
  require(nact >= 0 && nact <= qp.n, "more active rows than variables");
  const int rows = qp.nc + boundRowCount(qp);
  for (int k = 0; k < nact; ++k) {
    require(iact[k] >= 1 && iact[k] <= rows, "an active row that the problem does not have");
    for (int l = 0; l < k; ++l) require(iact[l] != iact[k], "a row active twice");
  }
}

void ignoreLine(void*, const char*, int) {}

}  // namespace
}  // namespace korvex::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KVW_setDefaults();  // the pool capacities
  KVW_set_diagCallback(korvex::fuzzing::ignoreLine, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool describeEach = std::getenv("KORVEX_FUZZ_DESCRIBE") != nullptr;
  korvex::fuzzing::ByteReader in(data, size);
  const korvex::fuzzing::Qp qp = korvex::fuzzing::decode(in);
  if (describeEach) korvex::fuzzing::describe(qp);
  korvex::fuzzing::chooseVectorWidth(in, describeEach);
  korvex::fuzzing::solveOnce(qp);
  return 0;
}
