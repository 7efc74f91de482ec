// The gradient front ends the two methods call: SQPGRA for the SQP iteration and GRGGRA for the GRG main
// iteration, each working on the context it is given.
#pragma once

namespace korvex {

struct Context;

// DDSGRA with LDG = NDV into Gradd, then Gobj = the last column of Gradd (also after a pool overflow).
void sqpGradients(Context& ctx, int ndv, int ndf, double* dv, double* df, const int* icol, double* gobj,
                  double* gradd);

// The column map LISDF from the working set, the differences into GRADD (scratch from the pool), then the
// objective gradient GRADOB and the gradient scale (the mean absolute component of GRADOB, at least 1).
void grgGradients(Context& ctx, int iphase, int ncand, const int* mgrgin, int nbeq, const int* mbndeq, int itobj,
                  int ndv, double* dv, int ndf, double* df, int* lisdf, double* gradd, double* gradob,
                  double& gscale);

}  // namespace korvex
