#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "entry/bridge.h"
#include "entry/settings.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

// What the callback saw at each call.
struct Recorder {
  std::vector<std::vector<double>> points;
  double* objective = nullptr;
  double* equalities = nullptr;
  double* inequalities = nullptr;
  int n = 2;
  bool stopInside = false;
};

void record(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  auto* r = static_cast<Recorder*>(user);
  r->points.emplace_back(x, x + r->n);
  r->objective = objective;
  r->equalities = equalities;
  r->inequalities = inequalities;
  *objective = x[0] + 2 * x[1];
  if (r->stopInside) KVW_set_stop(1);
}

using DriverTest = KorvexTest;

TEST_F(DriverTest, MoreThan100VariablesDoNothingButReturn99) {
  Recorder r;
  std::vector<double> x(101, 0.5), lower(101, 0.0), upper(101, 1.0), f(1, -7.0);
  settings.nFunEval = 3;
  EXPECT_EQ(KVW_grg(5, 101, x.data(), lower.data(), upper.data(), 0, 0, record, &r, f.data()), 99);
  EXPECT_EQ(KVW_sqp(5, 101, x.data(), lower.data(), upper.data(), 0, 0, record, &r, f.data()), 99);
  EXPECT_TRUE(r.points.empty());
  EXPECT_EQ(settings.nFunEval, 3);
  EXPECT_EQ(x[0], 0.5);
  EXPECT_EQ(f[0], -7.0);
  EXPECT_EQ(bridge.callback, nullptr);
}

TEST_F(DriverTest, GrgStartPointIsEvaluatedOnceInCallerUnitsAtTheBounds) {
  Recorder r;
  double x[2] = {-3.0, 10.0};  // at the lower bound of x1 and the upper bound of x2
  const double lower[2] = {-3.0, 2.0};
  const double upper[2] = {5.0, 10.0};
  double f[1] = {0.0};
  KVW_grg(0, 2, x, lower, upper, 0, 0, record, &r, f);
  ASSERT_EQ(r.points.size(), 1u);
  EXPECT_EQ(r.points[0][0], -3.0);
  EXPECT_EQ(r.points[0][1], 10.0);
  EXPECT_EQ(f[0], 17.0);
  EXPECT_EQ(settings.nFunEval, 1);
  EXPECT_EQ(x[0], -3.0);
  EXPECT_EQ(x[1], 10.0);
}

TEST_F(DriverTest, ScalingMapsTheBoundsOntoMinusOneAndOne) {
  bridge.lower[0] = -3.0;
  bridge.upper[0] = 5.0;
  bridge.lower[1] = 0.25;
  bridge.upper[1] = 0.75;
  double x[2] = {-3.0, 0.75};
  toScaledUnits(2, x);
  EXPECT_EQ(x[0], -1.0);
  EXPECT_EQ(x[1], 1.0);
  toCallerUnits(2, x);
  EXPECT_EQ(x[0], -3.0);
  EXPECT_EQ(x[1], 0.75);
  double mid[1] = {3.0};
  toScaledUnits(1, mid);
  EXPECT_EQ(mid[0], 0.5);
}

TEST_F(DriverTest, CallbackPointersSplitTheFunctionVector) {
  Recorder r;
  double x[2] = {0.0, 0.0};
  const double lower[2] = {-1.0, -1.0};
  const double upper[2] = {1.0, 1.0};
  double f[4] = {};

  KVW_grg(0, 2, x, lower, upper, 0, 3, record, &r, f);
  EXPECT_EQ(r.objective, &f[0]);
  EXPECT_EQ(r.equalities, &f[1]);
  EXPECT_EQ(r.inequalities, &f[1]);  // no equalities: the same address

  KVW_grg(0, 2, x, lower, upper, 3, 0, record, &r, f);
  EXPECT_EQ(r.equalities, &f[1]);
  EXPECT_EQ(r.inequalities, &f[4]);  // just past the last equality

  KVW_grg(0, 2, x, lower, upper, 1, 2, record, &r, f);
  EXPECT_EQ(r.inequalities, &f[2]);
}

TEST_F(DriverTest, CountersAccumulateAcrossRunsUntilDefaults) {
  Recorder r;
  double x[2] = {0.0, 0.0};
  const double lower[2] = {-1.0, -1.0};
  const double upper[2] = {1.0, 1.0};
  double f[1];
  KVW_grg(0, 2, x, lower, upper, 0, 0, record, &r, f);
  KVW_grg(0, 2, x, lower, upper, 0, 0, record, &r, f);
  EXPECT_EQ(KVW_get_nFunEval(), 2);
  KVW_setDefaults();
  EXPECT_EQ(KVW_get_nFunEval(), 0);
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

TEST_F(DriverTest, AStaleErrorFlagTurnsEveryRunIntoAStorageFailure) {
  Recorder r;
  double x[2] = {0.0, 0.0};
  const double lower[2] = {-1.0, -1.0};
  const double upper[2] = {1.0, 1.0};
  double f[1];
  settings.errorFlag = -1;
  EXPECT_EQ(KVW_sqp(0, 2, x, lower, upper, 0, 0, record, &r, f), KVW_SQP_STORAGE);
  EXPECT_EQ(KVW_grg(0, 2, x, lower, upper, 0, 0, record, &r, f), KVW_GRG_STORAGE);
  KVW_setDefaults();
  EXPECT_EQ(settings.errorFlag, 0);
}

TEST_F(DriverTest, BridgeRoutinesCountConvertAndNegate) {
  Recorder r;
  bridge.callback = record;
  bridge.userData = &r;
  bridge.nEq = 0;
  bridge.lower[0] = 0.0;
  bridge.upper[0] = 4.0;
  bridge.lower[1] = 0.0;
  bridge.upper[1] = 2.0;
  double x[2] = {0.5, -1.0};  // caller units 3 and 0
  double f[1];
  const int n = 2, objIndex = 1, plain = 0, negate = 3;
  GRGFUN(&plain, &objIndex, &n, x, f);
  EXPECT_EQ(f[0], 3.0);
  GRGFUN(&negate, &objIndex, &n, x, f);
  EXPECT_EQ(f[0], -3.0);
  SQPFUN(&n, x, f);
  EXPECT_EQ(f[0], 3.0);
  EXPECT_EQ(settings.nFunEval, 3);
  EXPECT_EQ(x[0], 0.5);
  EXPECT_EQ(x[1], -1.0);
  ASSERT_EQ(r.points.size(), 3u);
  EXPECT_EQ(r.points[2][0], 3.0);

  double raw[2] = {1.0, 1.0};
  ANAFUN(raw, f);  // no counting, no conversion
  EXPECT_EQ(settings.nFunEval, 3);
  EXPECT_EQ(f[0], 3.0);
}

TEST_F(DriverTest, SettersAndDefaults) {
  KVW_set_convTol(0.25);
  EXPECT_EQ(settings.convTol, 0.25);
  EXPECT_EQ(settings.feasTol, 0.25);
  KVW_set_stop(2);
  KVW_set_print(3);
  KVW_set_diffMeth(0);
  KVW_set_diffPert(0.5);
  EXPECT_EQ(settings.stop, 2);
  EXPECT_EQ(settings.print, 3);
  EXPECT_EQ(settings.diffMeth, 0);
  EXPECT_EQ(settings.diffPert, 0.5);
  settings.nNRIter = 8;
  KVW_setDefaults();
  EXPECT_EQ(settings.stop, 0);
  EXPECT_EQ(settings.diffMeth, 1);
  EXPECT_EQ(settings.diffPert, 0.0001);
  EXPECT_EQ(settings.convTol, 0.001);
  EXPECT_EQ(settings.feasTol, 0.001);
  EXPECT_EQ(settings.tinyTol, 1e-7);
  EXPECT_EQ(settings.bigValue, 1e30);
  EXPECT_EQ(settings.initStep, 0.02);
  EXPECT_EQ(settings.minStep, 0.0001);
  EXPECT_EQ(settings.intPoolSize, 5000);
  EXPECT_EQ(settings.dblPoolSize, 40000);
  EXPECT_EQ(settings.nNRIter, 8);  // the defaults leave the latest restoration's count alone
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(DriverTest, DiagnosticFileReceivesLinesAndNullRestoresTheDefault) {
  const std::string path = ::testing::TempDir() + "korvex_diag_test.txt";
  std::remove(path.c_str());
  KVW_set_diagFile(path.c_str());
  const int count = 4;
  PRTMES("ABCD", 4, &count);
  PRTMES("EFGH", 4, &count);
  KVW_set_diagFile(nullptr);  // closes the file
  EXPECT_EQ(readFile(path), " ABCD\n EFGH\n");
  KVW_set_diagCallback(nullptr, nullptr);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace korvex::testing

namespace korvex::testing {
namespace {

TEST_F(DriverTest, DefaultStreamIsFort80InTheWorkingDirectoryAppendedWithinTheProcess) {
  const std::filesystem::path previous = std::filesystem::current_path();
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "korvex_fort80_test";
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  std::filesystem::remove("fort.80");

  KVW_set_diagCallback(nullptr, nullptr);  // back to the default destination
  const int count = 2;
  PRTMES("L1", 2, &count);
  KVW_set_diagFile(nullptr);  // closes the default file; it is appended to when reopened
  PRTMES("L2", 2, &count);
  KVW_set_diagFile(nullptr);
  const std::string written = readFile("fort.80");
  std::filesystem::current_path(previous);

  ASSERT_GE(written.size(), 8u);
  EXPECT_EQ(written.substr(written.size() - 8), " L1\n L2\n");
}

}  // namespace
}  // namespace korvex::testing
