#include "qp/kernels.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "common/message.h"
#include "entry/context.h"

namespace korvex::qp {

namespace {

constexpr std::string_view kTooManyActive = "ERROR: TOO MANY ACTIVE CONSTRAINTS, SHOULD NOT HAPPEN";
constexpr std::string_view kNonPositiveActiveMatrix =
    "ERROR: NONPOSITIVE GRADGT*BINV*GRADV MATRIX, SHOULD NOT HAPPEN";

bool hasUpperRow(int type) { return type == kBothBounds || type == kUpperBound; }
bool hasLowerRow(int type) { return type == kBothBounds || type == kLowerBound; }

// The internal failures are reported whatever the print level.
void reportFailure(Context& ctx, std::string_view text) { ctx.messageText.clear().text(text).print(); }

}  // namespace

int countBoundRows(Vec<const int> itype) {
  int count = 0;
  for (int i = 1; i <= itype.length(); ++i) {
    if (hasUpperRow(itype(i))) ++count;
    if (hasLowerRow(itype(i))) ++count;
  }
  return count;
}

Rows::Rows(int n, int nc, int nineq, int nb, const double* a, int lda, const int* itype)
    : n_(std::max(n, 0)),
      nc_(std::max(nc, 0)),
      nineq_(std::clamp(nineq, 0, std::max(nc, 0))),
      nb_(std::max(nb, 0)),
      a_(a, lda, std::max(nc, 0)),
      itype_(itype, std::max(n, 0)) {}

BoundRow Rows::boundRow(int j) const {
  if (j <= nc_ || j > nc_ + nb_) return {0, 0.0};
  int row = nc_;
  for (int i = 1; i <= n_; ++i) {
    if (hasUpperRow(itype_(i)) && ++row == j) return {i, 1.0};
    if (hasLowerRow(itype_(i)) && ++row == j) return {i, -1.0};
  }
  return {0, 0.0};  // NB larger than the bound types give: the missing rows have no gradient
}

double Rows::component(int j, int i) const {
  if (i < 1 || i > n_ || j < 1 || j > total()) return 0.0;
  if (j <= nc_) return a_(i, j);
  if (isMirror(j)) return -a_(i, equalityOf(j));
  const BoundRow bound = boundRow(j);
  return bound.variable == i ? bound.sign : 0.0;
}

double Rows::dot(int j, Vec<const double> v) const {
  if (j < 1 || j > total()) return 0.0;
  double sum = 0.0;
  if (j <= nc_) {
    for (int i = 1; i <= n_; ++i) sum += a_(i, j) * v(i);
  } else if (isMirror(j)) {
    const int k = equalityOf(j);
    for (int i = 1; i <= n_; ++i) sum += (-a_(i, k)) * v(i);
  } else {
    const BoundRow bound = boundRow(j);
    if (bound.variable != 0) sum = bound.sign * v(bound.variable);
  }
  return sum;
}

void Rows::gradient(int j, double scale, Vec<double> out) const {
  if (j >= 1 && j <= nc_) {
    for (int i = 1; i <= n_; ++i) out(i) = scale * a_(i, j);
  } else if (isMirror(j)) {
    const int k = equalityOf(j);
    for (int i = 1; i <= n_; ++i) out(i) = scale * (-a_(i, k));
  } else {
    for (int i = 1; i <= n_; ++i) out(i) = 0.0;
    const BoundRow bound = boundRow(j);
    if (bound.variable != 0) out(bound.variable) = scale * bound.sign;
  }
}

// Row r holds w (entries 1..r-1) and d (entry r) of the matrix; it becomes L(r, 1..r-1) and D_r.
bool factorRow(const Context& ctx, Vec<double> f, int r) {
  const Settings& settings = ctx.settings;
  const int row = packed(r, 0);
  // w_c -= sum over p < c of L(c, p) w_p: forward substitution with the unit factor of the rows above.
  for (int c = 2; c <= r - 1; ++c) {
    double w = f(row + c);
    for (int p = 1; p < c; ++p) w -= f(packed(c, p)) * f(row + p);
    f(row + c) = w;
  }
  double d = f(row + r);
  for (int c = 1; c <= r - 1; ++c) {
    const double w = f(row + c);
    const double l = w / f(packed(c, c));
    d -= w * l;
    f(row + c) = l;
  }
  f(row + r) = d;
  return !(d < settings.tinyTol);
}

bool factorRows(const Context& ctx, Vec<double> f, int first, int last) {
  for (int r = std::max(first, 1); r <= last; ++r) {
    if (!factorRow(ctx, f, r)) return false;
  }
  return true;
}

void solve(Vec<const double> f, Vec<double> v, int n) {
  for (int r = 2; r <= n; ++r) {
    double y = v(r);
    for (int c = 1; c < r; ++c) y -= f(packed(r, c)) * v(c);
    v(r) = y;
  }
  for (int r = 1; r <= n; ++r) v(r) = v(r) / f(packed(r, r));
  for (int r = n - 1; r >= 1; --r) {
    double y = v(r);
    // L(c, r) down column r: consecutive rows of the packed array are c entries apart.
    for (int c = r + 1, position = packed(r + 1, r); c <= n; position += c, ++c) y -= f(position) * v(c);
    v(r) = y;
  }
}

bool start(const Context& ctx, int n, Mat<const double> h, Vec<double> hfac, Vec<const double> g, Vec<double> x) {
  for (int r = 1; r <= n; ++r) {
    for (int c = 1; c <= r; ++c) hfac(packed(r, c)) = h(c, r);
  }
  if (!factorRows(ctx, hfac, 1, n)) return false;
  for (int i = 1; i <= n; ++i) x(i) = -g(i);
  solve(readOnly(hfac), x, n);
  return true;
}

void rowValues(const Rows& rows, Vec<const double> bc, Vec<const double> x, Vec<const double> xl,
               Vec<const double> xu, Vec<double> c) {
  const int n = rows.n();
  const int nc = rows.nc();
  const Mat<const double> a = rows.a();
  for (int k = 1; k <= nc; ++k) {
    double value = -bc(k);
    for (int i = 1; i <= n; ++i) value += a(i, k) * x(i);
    c(k) = value;
  }
  // Bound rows beyond NC+NB (NB smaller than the bound types give) are not written.
  const int lastBoundRow = nc + rows.nb();
  int row = nc;
  for (int i = 1; i <= n; ++i) {
    const int type = rows.itype()(i);
    if (hasUpperRow(type) && row < lastBoundRow) c(++row) = x(i) - xu(i);
    if (hasLowerRow(type) && row < lastBoundRow) c(++row) = xl(i) - x(i);
  }
  for (int k = 1; k <= nc - rows.nineq(); ++k) c(lastBoundRow + k) = -c(rows.nineq() + k);
}

int mostViolated(const Context& ctx, const Rows& rows, Vec<const double> c, int nact, Vec<const int> iact) {
  const Settings& settings = ctx.settings;
  const auto active = [&](int j) {
    for (int k = 1; k <= nact; ++k) {
      if (iact(k) == j) return true;
    }
    return false;
  };
  int kv = 0;
  double worst = settings.tinyTol;
  for (int j = 1; j <= rows.total(); ++j) {
    if (!(c(j) > worst)) continue;
    if (active(j) || (rows.isMirror(j) && active(rows.equalityOf(j))) ||
        (rows.isEquality(j) && active(rows.mirrorOf(j)))) {
      continue;
    }
    kv = j;
    worst = c(j);
  }
  return kv;
}

StepChoice stepLength(const Context& ctx, const Rows& rows, Vec<const double> c, int kv, int nact, double znorm,
                      Vec<const double> z, Vec<const double> xlag, Vec<const double> r) {
  const Settings& settings = ctx.settings;
  const double tiny = settings.tinyTol;
  // Partial step: the first active multiplier to reach zero (the later one on equal ratios).
  double partial = settings.bigValue;
  int drop = 0;
  for (int k = 1; k <= nact; ++k) {
    if (r(k) < -tiny) {
      const double ratio = -xlag(k) / r(k);
      if (ratio <= partial) {
        partial = ratio;
        drop = k;
      }
    }
  }
  // Full step: row kv reaches zero along z.
  double full = settings.bigValue;
  int add = 0;
  if (znorm > tiny) {
    const double slope = rows.dot(kv, z);
    if (std::fabs(slope) > tiny) {
      full = -c(kv) / slope;
      add = nact + 1;
    }
  }
  StepChoice step{full, add, 0};
  if (!(full <= partial)) step = {partial, drop, 0};
  if (step.idx != 0) step.kind = add == 0 ? kDropOnly : (step.idx == add ? kStepAndAdd : kStepAndDrop);
  return step;
}

void takeStep(int nact, Vec<double> xlag, double& uplus, Vec<const double> r, int n, Vec<double> x,
              Vec<const double> z, double t, int kind) {
  for (int k = 1; k <= nact; ++k) xlag(k) = xlag(k) + t * r(k);
  uplus = uplus + t;
  if (kind >= kStepAndDrop) {
    for (int i = 1; i <= n; ++i) x(i) = x(i) + t * z(i);
  }
}

bool addOrDrop(Context& ctx, const Rows& rows, int& nact, Vec<int> iact, Vec<double> xlag, Vec<double> actmat,
               Mat<double> hinvn, Vec<const double> hfac, int k, int kv, double uplus) {
  const int n = rows.n();
  if (k > nact) {
    if (nact >= n) {
      reportFailure(ctx, kTooManyActive);
      return false;
    }
    ++nact;
    xlag(nact) = uplus;
    iact(nact) = kv;
    rows.gradient(kv, 1.0, hinvn.column(nact));
    solve(hfac, hinvn.column(nact), n);
    k = nact;  // a position beyond nact + 1 reads as nact + 1
  } else {
    --nact;
    for (int p = k; p <= nact; ++p) {
      iact(p) = iact(p + 1);
      xlag(p) = xlag(p + 1);
      for (int i = 1; i <= n; ++i) hinvn(i, p) = hinvn(i, p + 1);
    }
  }
  // Rows k..nact of M = N' H^-1 N from scratch, M(r, c) = n_IACT(c)' H^-1 n_IACT(r); earlier rows keep their factors.
  for (int r = k; r <= nact; ++r) {
    const Vec<const double> column = readOnly(hinvn.column(r));
    for (int c = 1; c <= r; ++c) actmat(packed(r, c)) = rows.dot(iact(c), column);
    if (!factorRow(ctx, actmat, r)) {
      reportFailure(ctx, kNonPositiveActiveMatrix);
      return false;
    }
  }
  return true;
}

double direction(const Rows& rows, int nact, Vec<const int> iact, Vec<double> z, Vec<double> r,
                 Vec<const double> actmat, Mat<const double> hinvn, Vec<const double> hfac, int kv) {
  const int n = rows.n();
  rows.gradient(kv, -1.0, z);
  solve(hfac, z, n);
  for (int k = 1; k <= nact; ++k) r(k) = rows.dot(iact(k), readOnly(z));
  solve(actmat, r, nact);
  for (int i = 1; i <= n; ++i) {
    double zi = z(i);
    for (int k = 1; k <= nact; ++k) zi -= hinvn(i, k) * r(k);
    z(i) = zi;
  }
  double sum = 0.0;
  for (int i = 1; i <= n; ++i) sum += z(i) * z(i);
  return sum > 0.0 ? std::sqrt(sum) : 0.0;
}

}  // namespace korvex::qp
