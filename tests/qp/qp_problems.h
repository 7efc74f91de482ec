// QP test problems: random strictly convex QPs with a known feasible point, an independent evaluation of the
// constraint rows, and a brute-force solution of tiny problems by enumerating active sets.
#pragma once

#include <cmath>
#include <random>
#include <vector>

#include "korvex/routines/qp.h"

namespace korvex::testing {

struct QpProblem {
  int n = 0;
  int nc = 0;
  int nineq = 0;
  std::vector<double> a;  // n x nc, leading dimension n
  std::vector<double> bc;
  std::vector<double> h;  // n x n, only the upper triangle is meant to be read
  std::vector<double> g;
  std::vector<int> itype;
  std::vector<double> xl;
  std::vector<double> xu;

  // A row in the solver's own numbering 1..NC+NB: value = grad'x - rhs.
  struct Row {
    std::vector<double> grad;
    double rhs;
    bool equality;
  };
  std::vector<Row> rows() const;
  double objective(const std::vector<double>& x) const;
  // Full symmetric H(i, j) from the upper triangle.
  double hessian(int i, int j) const { return i <= j ? h[i + j * n] : h[j + i * n]; }
};

struct QpResult {
  std::vector<double> x;
  std::vector<double> xlag;
  std::vector<int> iact;
  int nact = -5;
  int infeas = 7;
  int ihess = 7;
  int ierr = 7;
  bool normal() const { return infeas == 0 && ihess == 0 && ierr == 0; }
};

inline std::vector<QpProblem::Row> QpProblem::rows() const {
  std::vector<Row> out;
  for (int k = 0; k < nc; ++k) {
    out.push_back({std::vector<double>(a.begin() + k * n, a.begin() + (k + 1) * n), bc[k], k >= nineq});
  }
  for (int i = 0; i < n; ++i) {
    std::vector<double> e(n, 0.0);
    if (itype[i] == 1 || itype[i] == 3) {
      e[i] = 1.0;
      out.push_back({e, xu[i], false});
    }
    if (itype[i] == 1 || itype[i] == 2) {
      e[i] = -1.0;
      out.push_back({e, -xl[i], false});
    }
  }
  return out;
}

inline double QpProblem::objective(const std::vector<double>& x) const {
  double f = 0.0;
  for (int i = 0; i < n; ++i) {
    f += g[i] * x[i];
    for (int j = 0; j < n; ++j) f += 0.5 * x[i] * hessian(i, j) * x[j];
  }
  return f;
}

inline double dot(const std::vector<double>& u, const std::vector<double>& v) {
  double s = 0.0;
  for (size_t i = 0; i < u.size(); ++i) s += u[i] * v[i];
  return s;
}

inline QpResult solveWithQpsolv(const QpProblem& p) {
  QpResult r;
  const int size = p.n > 0 ? p.n : 1;
  r.x.assign(size, 777.0);
  r.xlag.assign(size, 777.0);
  r.iact.assign(size, 777);
  QPSOLV(&p.n, &p.nc, &p.nineq, p.a.data(), &p.n, p.bc.data(), p.h.data(), &p.n, p.g.data(), p.itype.data(),
         p.xl.data(), p.xu.data(), r.x.data(), r.xlag.data(), r.iact.data(), &r.nact, &r.infeas, &r.ihess, &r.ierr);
  return r;
}

// A random strictly convex problem, feasible at a random interior-ish point; the lower triangle of H holds garbage
// that the solver must not read.
inline QpProblem randomProblem(std::mt19937& rng, int n, int nineq, int neq) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_real_distribution<double> width(0.05, 1.0);
  std::uniform_int_distribution<int> type(0, 3);
  QpProblem p;
  p.n = n;
  p.nc = nineq + neq;
  p.nineq = nineq;
  std::vector<double> x0(n), m(n * n);
  for (auto& v : x0) v = u(rng);
  for (auto& v : m) v = u(rng);
  p.h.assign(n * n, 0.0);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      if (i > j) {
        p.h[i + j * n] = 1e6;  // never read
        continue;
      }
      double s = i == j ? 0.5 : 0.0;
      for (int k = 0; k < n; ++k) s += m[i + k * n] * m[j + k * n] / n;
      p.h[i + j * n] = s;
    }
  }
  p.g.resize(n);
  for (auto& v : p.g) v = 3.0 * u(rng);
  p.a.resize(n * p.nc);
  for (auto& v : p.a) v = u(rng);
  p.bc.resize(p.nc);
  for (int k = 0; k < p.nc; ++k) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += p.a[i + k * n] * x0[i];
    p.bc[k] = k < nineq ? s + 0.3 * width(rng) : s;
  }
  p.itype.resize(n);
  p.xl.resize(n);
  p.xu.resize(n);
  for (int i = 0; i < n; ++i) {
    p.itype[i] = type(rng);
    p.xl[i] = x0[i] - width(rng);
    p.xu[i] = x0[i] + width(rng);
  }
  return p;
}

// Dense Gaussian elimination with partial pivoting; false when singular.
inline bool solveDense(std::vector<double> m, std::vector<double>& rhs, int size) {
  for (int c = 0; c < size; ++c) {
    int best = c;
    for (int r = c + 1; r < size; ++r) {
      if (std::fabs(m[r * size + c]) > std::fabs(m[best * size + c])) best = r;
    }
    if (std::fabs(m[best * size + c]) < 1e-12) return false;
    for (int k = 0; k < size; ++k) std::swap(m[c * size + k], m[best * size + k]);
    std::swap(rhs[c], rhs[best]);
    for (int r = c + 1; r < size; ++r) {
      const double f = m[r * size + c] / m[c * size + c];
      for (int k = c; k < size; ++k) m[r * size + k] -= f * m[c * size + k];
      rhs[r] -= f * rhs[c];
    }
  }
  for (int c = size - 1; c >= 0; --c) {
    for (int k = c + 1; k < size; ++k) rhs[c] -= m[c * size + k] * rhs[k];
    rhs[c] /= m[c * size + c];
  }
  return true;
}

// Optimal objective by enumerating every set of rows held as equalities (equalities always in), keeping the best
// feasible minimiser. Returns NaN when no candidate is feasible.
inline double bruteForceOptimum(const QpProblem& p) {
  const auto rows = p.rows();
  const int m = static_cast<int>(rows.size());
  double best = NAN;
  for (unsigned mask = 0; mask < (1u << m); ++mask) {
    std::vector<int> set;
    bool skip = false;
    for (int j = 0; j < m; ++j) {
      const bool in = (mask >> j) & 1u;
      if (rows[j].equality && !in) skip = true;
      if (in) set.push_back(j);
    }
    const int k = static_cast<int>(set.size());
    if (skip || k > p.n) continue;
    const int size = p.n + k;
    std::vector<double> kkt(size * size, 0.0), rhs(size, 0.0);
    for (int i = 0; i < p.n; ++i) {
      for (int j = 0; j < p.n; ++j) kkt[i * size + j] = p.hessian(i, j);
      rhs[i] = -p.g[i];
    }
    for (int s = 0; s < k; ++s) {
      for (int i = 0; i < p.n; ++i) {
        kkt[i * size + p.n + s] = rows[set[s]].grad[i];
        kkt[(p.n + s) * size + i] = rows[set[s]].grad[i];
      }
      rhs[p.n + s] = rows[set[s]].rhs;
    }
    if (!solveDense(kkt, rhs, size)) continue;
    const std::vector<double> x(rhs.begin(), rhs.begin() + p.n);
    bool feasible = true;
    for (const auto& row : rows) {
      const double value = dot(row.grad, x) - row.rhs;
      if (value > 1e-9 || (row.equality && value < -1e-9)) feasible = false;
    }
    if (feasible && !(p.objective(x) >= best)) best = p.objective(x);
  }
  return best;
}

}  // namespace korvex::testing
