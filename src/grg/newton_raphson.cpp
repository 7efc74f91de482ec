#include "grg/newton_raphson.h"

#include <algorithm>
#include <cmath>

#include "common/logical.h"
#include "common/message.h"
#include "common/pool.h"
#include "common/print.h"
#include "entry/context.h"
#include "grg/jacobian_update.h"
#include "korvex/routines/grg_basis.h"

namespace korvex {

namespace {

class NewtonRaphson {
 public:
  NewtonRaphson(Context& ctx, const NewtonControl& control, Basis& basis, DesignBox& box, Vec<double> df,
                StepLine& line, Vec<double> deldv, Vec<double> resid, NewtonOutcome& outcome)
      : ctx_(ctx),
        settings_(ctx.settings),
        out_(ctx.diagnostics),
        control_(control),
        basis_(basis),
        box_(box),
        df_(df),
        line_(line),
        deldv_(deldv),
        resid_(resid),
        outcome_(outcome) {}

  void run() {
    outcome_.converged = false;
    settings_.nNRIter = 0;
    outcome_.iterations = 1;
    double previousSum = settings_.bigValue;
    if (control_.maxnr < 1) return;
    for (;;) {
      if (satisfied()) {
        reportConvergence();
        outcome_.converged = true;
        return;
      }
      if (!systemFits()) return;  // cannot be worked on without overrunning an array: not converged
      if (outcome_.iterations == 1) settings_.nNRCalls += 1;

      // All corrections come from the same XJINV and the function values at this iteration's start.
      int hit = 0;
      double sum = 0.0;
      for (int i = 1; i <= basis_.njinv; ++i) {
        double product = 0.0;
        for (int j = 1; j <= basis_.njinv; ++j) product += basis_.xjinv(i, j) * df_(basis_.mjinv(j));
        deldv_(i) = -product;
        if (settings_.print >= 3) {
          MessageBuffer message(out_);
          message.text("I= ").integer(i, 3).text(" DELDV(I)=").exponent(deldv_(i), 14, 4).print(33);
        }
        sum += std::fabs(deldv_(i));
        if (i <= basis_.nddv && basis_.mddv(i) != control_.idvbnd) {
          hit += correctDependentVariable(basis_.mddv(i), deldv_(i));
        } else {
          line_.step += deldv_(i);
          moveIndependentVariables();
          if (line_.endstp) return;
          if (control_.idvbnd == 0) hit += carryDependentVariables(deldv_(i));
        }
      }

      // The sums of the absolute corrections of two successive iterations are compared, not the function values.
      // On these two returns DV holds the moved, unevaluated point and DF the values of the previous one.
      if (sum > previousSum) {
        if (settings_.print >= 2) printMessage(out_, "NR RESIDUALS GROWING");
        if (hit > 0 && settings_.print >= 2) printMessage(out_, "DEPENDENT VAR AT BOUND");
        return;
      }
      if (hit > 0) {
        if (settings_.print >= 2) printMessage(out_, "DEPENDENT VAR AT BOUND");
        return;
      }

      previousSum = sum;
      settings_.nNRTotal += 1;
      settings_.nNRIter += 1;
      if (!evaluate()) return;  // a value that is not finite: no update from it, not converged

      if (control_.updjac && !updateMatrices()) return;  // inverse update refused by the pool: errorFlag = -1

      outcome_.iterations += 1;
      if (outcome_.iterations > control_.maxnr) return;
    }
  }

 private:
  bool satisfied() const {
    for (int i = 1; i <= basis_.njinv; ++i) {
      if (!(std::fabs(df_(basis_.mjinv(i))) <= settings_.feasTol)) return false;
    }
    return true;
  }

  void reportConvergence() const {
    if (settings_.print == 2) {
      printDoubleVector(out_, box_.count(), box_.dv.data(), "DV RETURN NR");
      printDoubleVector(out_, df_.length(), df_.data(), "DF RETURN NR");
    }
    if (settings_.print >= 1) {
      MessageBuffer message(out_);
      message.text("NR ITERATIONS= ").integer(settings_.nNRIter, 2).print();
    }
  }

  // The matrices are LDJ x LDJ and DELDV, RESID hold deldv_.length() entries; the corrections index all of them up
  // to NJINV and the Jacobian update up to NDDV.
  bool systemFits() const {
    const int largest = std::max(basis_.njinv, basis_.nddv);
    return largest <= basis_.ldj && largest <= basis_.xjinv.cols() && largest <= basis_.xjac.cols() &&
           largest <= deldv_.length() && largest <= resid_.length();
  }

  // Dependent variable v moved by its correction, clamped: above the upper bound, or on or below the lower bound,
  // counts as reaching a bound (1 returned); exactly on the upper bound does not.
  int correctDependentVariable(int v, double correction) {
    const double x = box_.dv(v) + correction;
    if (x > box_.upper(v)) {
      box_.dv(v) = box_.upper(v);
      return 1;
    }
    if (box_.lower(v) >= x) {
      box_.dv(v) = box_.lower(v);
      return 1;
    }
    box_.dv(v) = x;
    return 0;
  }

  // Independent variables to the new STEP along SDIR from BSTDV, clipped (both tests strict); ENDSTP when every one
  // of them was clipped.
  void moveIndependentVariables() {
    if (basis_.nidv == 0) return;
    int clipped = 0;
    for (int k = 1; k <= basis_.nidv; ++k) {
      const int j = basis_.midv(k);
      const double x = line_.bstdv(j) + line_.sdir(j) * (line_.step - line_.stpbst);
      if (x > box_.upper(j)) {
        box_.dv(j) = box_.upper(j);
        ++clipped;
      } else if (box_.lower(j) > x) {
        box_.dv(j) = box_.lower(j);
        ++clipped;
      } else {
        box_.dv(j) = x;
      }
    }
    if (clipped == basis_.nidv) line_.endstp = true;
  }

  // Dependent variables carried along with a step-length correction, by the tangent SDIR when the two base points
  // share their step length, by the secant through them otherwise; returns how many were clamped.
  int carryDependentVariables(double correction) {
    int hit = 0;
    const double span = line_.stpbst - line_.stpprv;
    for (int k = 1; k <= basis_.nddv; ++k) {
      const int v = basis_.mddv(k);
      if (std::fabs(span) <= settings_.tinyTol) {
        box_.dv(v) = box_.dv(v) + correction * line_.sdir(v);
      } else {
        box_.dv(v) = box_.dv(v) + correction * (line_.bstdv(v) - line_.dvprv(v)) / span;
      }
      if (box_.dv(v) > box_.upper(v)) {
        box_.dv(v) = box_.upper(v);
        ++hit;
      } else if (box_.lower(v) >= box_.dv(v)) {
        box_.dv(v) = box_.lower(v);
        ++hit;
      }
    }
    return hit;
  }

  bool evaluate() {
    const bool finite = evaluateAtScaledPoint(ctx_, box_.count(), box_.dv.data(), df_.data());
    if (control_.iphase == 3) df_(control_.itobj) = -df_(control_.itobj);
    if (settings_.print >= 3) {
      printDoubleVector(out_, box_.count(), box_.dv.data(), "DV AFTER NR");
      printDoubleVector(out_, df_.length(), df_.data(), "DF AFTER NR");
    }
    return finite;
  }

  // Inverse update of order NJINV first, then the Jacobian update of order NDDV. False when the pool refused the
  // inverse update's work vectors.
  bool updateMatrices() {
    for (int i = 1; i <= basis_.njinv; ++i) resid_(i) = -df_(basis_.mjinv(i));
    const int njinv = basis_.njinv;
    const int nddv = basis_.nddv;
    if (!updateInverseWithPool(ctx_, basis_.xjinv, njinv, readOnly(resid_.sub(1, njinv)),
                               readOnly(deldv_.sub(1, njinv)))) {
      return false;
    }
    updateJacobian(ctx_, basis_.xjac, nddv, readOnly(deldv_.sub(1, nddv)), readOnly(resid_.sub(1, nddv)));
    return true;
  }

  Context& ctx_;
  Settings& settings_;  // the context's options and counters
  DiagnosticStream& out_;
  const NewtonControl& control_;
  Basis& basis_;
  DesignBox& box_;
  Vec<double> df_;
  StepLine& line_;
  Vec<double> deldv_;
  Vec<double> resid_;
  NewtonOutcome& outcome_;
};

}  // namespace

void restoreBasisFunctions(Context& ctx, const NewtonControl& control, Basis& basis, DesignBox& box, Vec<double> df,
                           StepLine& line, Vec<double> deldv, Vec<double> resid, NewtonOutcome& outcome) {
  NewtonRaphson(ctx, control, basis, box, df, line, deldv, resid, outcome).run();
}

bool restoreBasisFunctionsWithPool(Context& ctx, const NewtonControl& control, Basis& basis, DesignBox& box,
                                   Vec<double> df, StepLine& line, NewtonOutcome& outcome) {
  const int length = std::max({box.count(), basis.njinv, 0});
  PoolFrame frame(ctx);
  const int deldv = frame.reserveDoubles(length);
  const int resid = frame.reserveDoubles(length);
  if (!frame.claim()) return false;
  ctx.settings.errorFlag = 0;
  restoreBasisFunctions(ctx, control, basis, box, df, line, frame.doubleVec(deldv, length),
                        frame.doubleVec(resid, length), outcome);
  return true;
}

}  // namespace korvex

// ---- Exported adapters -------------------------------------------------------------------------------------------

namespace {

using korvex::Mat;
using korvex::Vec;

struct NewtonArguments {
  korvex::NewtonControl control;
  korvex::Basis basis;
  korvex::DesignBox box;
  Vec<double> df;
  korvex::StepLine line;
  korvex::NewtonOutcome outcome;

  NewtonArguments(const int* iphase, const int* updjac, const int* maxnr, const int* ldj, const int* njinv,
                  const int* mjinv, double* xjinv, double* xjac, const int* idvbnd, const int* nidv, const int* midv,
                  const int* nddv, const int* mddv, const double* sdir, const int* ndv, double* dv,
                  const double* dvlb, const double* dvub, const int* ndf, double* dfIn, const int* itobj,
                  const double* bstdv, const double* dvprv, const double* stpbst, const double* stpprv,
                  const double* step, const int* endstp) {
    const int n = *ndv;
    control = korvex::NewtonControl{*iphase, *itobj, korvex::isTrue(*updjac), *maxnr, *idvbnd};
    basis.ldj = *ldj;
    basis.xjinv = Mat<double>(xjinv, *ldj, *ldj);
    basis.xjac = Mat<double>(xjac, *ldj, *ldj);
    // The lists are only read here; the basis holds writable views.
    basis.mjinv = Vec<int>(const_cast<int*>(mjinv), *njinv);
    basis.njinv = *njinv;
    basis.mddv = Vec<int>(const_cast<int*>(mddv), *nddv);
    basis.nddv = *nddv;
    basis.midv = Vec<int>(const_cast<int*>(midv), *nidv);
    basis.nidv = *nidv;
    box = korvex::DesignBox{Vec<double>(dv, n), Vec<const double>(dvlb, n), Vec<const double>(dvub, n)};
    df = Vec<double>(dfIn, *ndf);
    line.sdir = Vec<const double>(sdir, n);
    line.bstdv = Vec<const double>(bstdv, n);
    line.dvprv = Vec<const double>(dvprv, n);
    line.stpbst = *stpbst;
    line.stpprv = *stpprv;
    line.step = *step;
    line.endstp = korvex::isTrue(*endstp);
  }

  void writeBack(double* step, int* endstp, int* nrconv, int* nriter) const {
    *step = line.step;
    if (line.endstp && !korvex::isTrue(*endstp)) *endstp = korvex::kTrue;  // set here, never cleared
    *nrconv = korvex::logical(outcome.converged);
    *nriter = outcome.iterations;
  }
};

}  // namespace

namespace korvex {

void restoreBasisFunctionsOnArrays(Context& ctx, const int* iphase, const int* updjac, const int* maxnr, const int* ldj,
                                   const int* njinv, const int* mjinv, double* xjinv, double* xjac, const int* idvbnd,
                                   const int* nidv, const int* midv, const int* nddv, const int* mddv,
                                   const double* sdir, const int* ndv, double* dv, const double* dvlb,
                                   const double* dvub, const int* ndf, double* df, const int* itobj,
                                   const double* bstdv, const double* dvprv, const double* stpbst,
                                   const double* stpprv, double* step, int* endstp, int* nrconv, int* nriter) {
  NewtonArguments args(iphase, updjac, maxnr, ldj, njinv, mjinv, xjinv, xjac, idvbnd, nidv, midv, nddv, mddv, sdir,
                       ndv, dv, dvlb, dvub, ndf, df, itobj, bstdv, dvprv, stpbst, stpprv, step, endstp);
  if (!restoreBasisFunctionsWithPool(ctx, args.control, args.basis, args.box, args.df, args.line, args.outcome)) {
    return;  // overflow reported; NRCONV and NRITER untouched
  }
  args.writeBack(step, endstp, nrconv, nriter);
}

}  // namespace korvex

extern "C" {

KORVEX_API void GRGNR(const int* iphase, const int* updjac, const int* maxnr, const int* ldj, const int* njinv,
                      const int* mjinv, double* xjinv, double* xjac, const int* idvbnd, const int* nidv,
                      const int* midv, const int* nddv, const int* mddv, const double* sdir, const int* ndv,
                      double* dv, const double* dvlb, const double* dvub, const int* ndf, double* df,
                      const int* itobj, const double* bstdv, const double* dvprv, const double* stpbst,
                      const double* stpprv, double* step, int* endstp, int* nrconv, int* nriter, double* deldv,
                      double* resid) {
  NewtonArguments args(iphase, updjac, maxnr, ldj, njinv, mjinv, xjinv, xjac, idvbnd, nidv, midv, nddv, mddv, sdir,
                       ndv, dv, dvlb, dvub, ndf, df, itobj, bstdv, dvprv, stpbst, stpprv, step, endstp);
  const int length = std::max({*ndv, *njinv, 0});
  korvex::restoreBasisFunctions(korvex::defaultContext(), args.control, args.basis, args.box, args.df, args.line,
                                Vec<double>(deldv, length), Vec<double>(resid, length), args.outcome);
  args.writeBack(step, endstp, nrconv, nriter);
}

KORVEX_API void GRSNR(const int* iphase, const int* updjac, const int* maxnr, const int* ldj, const int* njinv,
                      const int* mjinv, double* xjinv, double* xjac, const int* idvbnd, const int* nidv,
                      const int* midv, const int* nddv, const int* mddv, const double* sdir, const int* ndv,
                      double* dv, const double* dvlb, const double* dvub, const int* ndf, double* df,
                      const int* itobj, const double* bstdv, const double* dvprv, const double* stpbst,
                      const double* stpprv, double* step, int* endstp, int* nrconv, int* nriter) {
  korvex::restoreBasisFunctionsOnArrays(korvex::defaultContext(), iphase, updjac, maxnr, ldj, njinv, mjinv, xjinv,
                                        xjac, idvbnd, nidv, midv, nddv, mddv, sdir, ndv, dv, dvlb, dvub, ndf, df,
                                        itobj, bstdv, dvprv, stpbst, stpprv, step, endstp, nrconv, nriter);
}

}  // extern "C"
