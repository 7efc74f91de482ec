// A context holds all the state of a run: the settings block (options, constants, counters, error flag), the stop
// request, the run-in-progress flag, the analysis bridge, the two work pools with their tops, the diagnostic stream
// and the message buffer that prints to it, the batch settings with their worker threads and group storage, and the
// iteration callback. The numerical routines receive the context they work for, explicitly,
// and touch no other state, so runs of different contexts may proceed at the same time in different threads.
//
// The KVW_ entry functions without a context argument and the exported upper-case routines work on one default
// context, whose settings are all zero until KVW_setDefaults and whose diagnostics go to fort.80.
#pragma once

#include <atomic>
#include <memory>

#include "common/message.h"
#include "common/pool.h"
#include "common/stream.h"
#include "entry/bridge.h"
#include "entry/iteration_report.h"
#include "entry/point_groups.h"
#include "entry/settings.h"
#include "qp/solver_scratch.h"

namespace korvex {

struct Context {
  Context(WorkPool storage, DiagnosticStream::Default diagnosticsDefault)
      : pool(storage), diagnostics(diagnosticsDefault) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  Settings settings{};
  std::atomic<int> stop{0};          // the stop request; any thread may set it at any time
  std::atomic<bool> running{false};  // a run of this context is in progress
  AnalysisBridge bridge;
  WorkPool pool;
  DiagnosticStream diagnostics;
  MessageBuffer messageText{diagnostics};  // the message buffer of the SQP and QP routines
  GroupEvaluation groups;                  // batch callback, worker threads, group storage
  IterationReport iterationReport;
  qp::SolverScratch qpScratch;  // what the QP solver keeps through one solve

  // Only the value 1 (exactly) ends a run, at the top of the next iteration.
  bool stopRequested() const { return stop.load(std::memory_order_relaxed) == 1; }

  // KVW_setDefaults: every default, both capacities, both tops, the error flag and the counters to 0, no stop.
  void restoreDefaults();

  // The options, each set in this one place for every context.
  void setStop(int value) { stop.store(value, std::memory_order_relaxed); }
  void setPrint(int value) { settings.print = value; }
  void setDiffMeth(int value) { settings.diffMeth = value; }
  void setDiffPert(double value) { settings.diffPert = value; }
  void setConvTol(double value) {  // both the convergence and the constraint tolerance
    settings.convTol = value;
    settings.feasTol = value;
  }
  void setDiagCallback(DiagnosticLineCallback callback, void* user) { diagnostics.setCallback(callback, user); }
  // Batch settings (left alone by restoreDefaults). Not during a run.
  void setBatchCallback(BatchAnalysisCallback batch, void* userData);
  int setThreads(int count);
  void setIterationCallback(IterationCallback callback, void* userData);
};

// The context of the KVW_ functions without a context argument and of the exported routines. It lives as long as
// the process: worker threads it may hold are never joined from the library's unloading.
Context& defaultContext();

}  // namespace korvex

// A context created by KVW_ctx_create: it owns its pools and starts with the defaults.
struct KVW_Context final : korvex::Context {
  KVW_Context(double* doubles, int* ints)
      : Context(korvex::WorkPool{doubles, ints}, korvex::DiagnosticStream::Default::kNowhere) {
    restoreDefaults();
  }
  std::unique_ptr<double[]> ownedDoubles;
  std::unique_ptr<int[]> ownedInts;
};
