// What the QP solver keeps beside the pool during one solve: the solves of the row gradients with the factor of H
// and the nonzero places of the general rows. Each context holds one, so that no solve allocates.
#pragma once

#include <array>

#include "qp/kernels.h"
#include "qp/row_solves.h"

namespace korvex::qp {

struct SolverScratch {
  RowSolves rowSolves;
  RowPatterns patterns;
  std::array<double, packedLength(Reuse::kMaxOrder)> substituted;
  std::array<double, packedLength(Reuse::kMaxOrder)> pivotSums;
};

}  // namespace korvex::qp
