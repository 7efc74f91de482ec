#include "entry/settings.h"

namespace korvex {

void writeDefaults(Settings& settings) {
  const int latestRestorationIterations = settings.nNRIter;  // the defaults leave it alone
  settings = Settings{};
  settings.print = 0;
  settings.diffMeth = 1;
  settings.diffPert = 0.0001;
  settings.convTol = 0.001;
  settings.feasTol = 0.001;
  settings.maxSearchLength = 1.0;
  settings.constraintFraction = 1.0;
  settings.tinyTol = 1e-7;
  settings.bigValue = 1e30;
  settings.initStep = 0.02;
  settings.minStep = 0.0001;
  settings.errorFlag = 0;
  settings.nIter = 0;
  settings.nFunEval = 0;
  settings.nGradEval = 0;
  settings.nNRCalls = 0;
  settings.nNRTotal = 0;
  settings.nNRIter = latestRestorationIterations;
}

}  // namespace korvex
