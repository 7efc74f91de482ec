#!/usr/bin/env bash
# Mutation testing of the library: single-line faults in src/ applied one at a time, each built and run against the
# whole test suite. A mutant is caught when a test fails, crashes or hangs past the timeout; it survives when every
# test passes. A mutant that does not compile, or compiles to the very same object file, is set aside (not counted);
# so is one of an earlier result file whose line is no longer in the source (not-applied).
#
# Usage:
#   scripts/mutate.sh run [options]           build and test a sample of mutants, write the result file
#   scripts/mutate.sh list [options]          print the sample (TSV) without building anything
#   scripts/mutate.sh compare BEFORE AFTER    list the mutants caught in BEFORE but not in AFTER (exit 1 if any)
#   scripts/mutate.sh count RESULTS           print the counts of a result file
# Options:
#   --seed N        sample seed (default 1); the same seed and sources give the same mutants
#   --count N       number of mutants (default 20; 0 = every mutant)
#   --files REGEX   only files whose path (src/...) matches REGEX, e.g. 'src/qp/'
#   --headers       mutate the headers under src/ too (each one rebuilds every object that includes it)
#   --all-failures  run every test on each mutant and record all that fail, not only the first (slower; shows
#                   the tests that are the only ones to catch some mutant)
#   --exclude PAT   leave out the gtest tests matching PAT (gtest filter patterns joined by ':')
#   --clean-runs N  run the clean suite N times first; any failure stops everything (default 3)
#   --from FILE     rerun exactly the mutants caught in an earlier result file (ignores seed, count, files)
#   --timeout S     seconds allowed for one mutant's test run (default: five times the clean run, at least 8)
#   --out FILE      result file (default build-mutate/results.tsv)
#   --work DIR      scratch copy of the tree and its build (default build-mutate/ in the worktree)
#   --jobs N        build parallelism (default 2)
#
# The working tree is never written: the mutants go into a scratch copy (DIR/tree) built in DIR/build (Release at
# -O1, index checks on, no sanitizers), so only the mutated object recompiles and the library and test programs
# relink. The result file has one row per mutant: id, file, line, operator, original, mutated, outcome, detail
# (the failing test, with the exit status of a crash, or "timeout in" the test that hung); DIR/logs/ID.log.tests
# holds a caught mutant's test output and DIR/logs/ID.log a build failure's compiler messages.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
helper="$root/scripts/mutate.py"
python=/usr/bin/python3
[ -x "$python" ] || python=python3

usage() { sed -n '5,26p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-2}"; }

mode="${1:-}"
[ -n "$mode" ] || usage
shift
case "$mode" in
  compare) [ $# = 2 ] || usage; exec "$python" "$helper" compare "$1" "$2" ;;
  count) [ $# = 1 ] || usage; exec "$python" "$helper" count "$1" ;;
  run|list) ;;
  -h|--help|help) usage 0 ;;
  *) usage ;;
esac

seed=1 count=20 files="" headers="" all_failures="" exclude="" clean_runs=3 from=""
timeout_s="" out="" work="$root/build-mutate" jobs=2
while [ $# -gt 0 ]; do
  case "$1" in
    --seed) seed="$2"; shift 2 ;;
    --count) count="$2"; shift 2 ;;
    --files) files="$2"; shift 2 ;;
    --headers) headers=--headers; shift ;;
    --all-failures) all_failures=1; shift ;;
    --exclude) exclude="$2"; shift 2 ;;
    --clean-runs) clean_runs="$2"; shift 2 ;;
    --from) from="$(realpath "$2")"; shift 2 ;;
    --timeout) timeout_s="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    *) echo "mutate.sh: unknown option $1" >&2; usage ;;
  esac
done
mkdir -p "$work"
work="$(realpath "$work")"
tree="$work/tree" build="$work/build" logs="$work/logs"
out="$(realpath -m "${out:-$work/results.tsv}")"
[ -z "$from" ] || [ "$from" != "$out" ] || { echo "mutate.sh: --from and --out name the same file" >&2; exit 2; }

generate() {
  "$python" "$helper" generate --root "$root" --seed "$seed" --count "$count" --files "$files" $headers \
    ${from:+--source-results "$from"}
}

if [ "$mode" = list ]; then
  printf 'id\tfile\tline\toperator\toriginal\tmutated\toutcome\tdetail\n'
  generate
  exit $?
fi

KORVEX_MUTATE=1 bash "$root/scripts/install-deps.sh" || exit 1

# Interruption: stop the running build or test (each runs in a session of its own), put the mutated file of the
# scratch copy back and keep the rows written so far.
child="" mutated_file=""
restore_mutant() {
  if [ -n "$mutated_file" ]; then
    cp "$work/saved" "$tree/$mutated_file"  # a new modification time: the object is rebuilt from the original
    mutated_file=""
  fi
}
stop_child() {
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" 2>/dev/null
    wait "$child" 2>/dev/null
    child=""
  fi
}
on_signal() {
  trap - INT TERM
  stop_child
  restore_mutant
  echo "mutate.sh: interrupted; the rows so far are in $out" >&2
  exit 130
}
trap on_signal INT TERM
trap 'stop_child; restore_mutant' EXIT

# Runs a command in its own session with its output in a log file; returns its exit status.
run_logged() {
  local log="$1"
  shift
  # A shell between the script and the command reports a crash into the log instead of the script's output.
  setsid bash -c '"$@"; exit $?' run_logged "$@" >"$log" 2>&1 </dev/null &
  child=$!
  wait "$child"
  local status=$?
  child=""
  return "$status"
}

build_objects() { run_logged "$1" cmake --build "$build" --target korvex_objects -j"$jobs"; }
build_all() { run_logged "$1" cmake --build "$build" -j"$jobs" ${targets:+--target $targets}; }

object_of() {  # the object file a source under src/ compiles to
  local rel="${1#src/}"
  find "$build/src/CMakeFiles/korvex_objects.dir" -path "*/$rel.o" -print -quit 2>/dev/null
}

# One gtest program within `left` seconds: sets `found` to its failing tests. With --all-failures a crash does not
# end the search: the program runs again without the tests that crashed it, until it completes or the time is up.
run_gtest() {
  local log="$1" folder="$2" target="$3" left="$4" start="$5" limit="$6" status running skip="${exclude:+:$exclude}"
  local -a failures=()
  found=()
  while :; do
    run_logged "$log.part" env -C "$folder" timeout -k 2 "$left" "$target" ${all_failures:---gtest_fail_fast} \
      ${skip:+"--gtest_filter=-${skip#:}"}
    status=$?
    cat "$log.part" >>"$log"
    [ "$status" -ne 0 ] || return 0
    running="$(grep -o '^\[ RUN      \] [A-Za-z0-9_/.]*' "$log.part" | tail -1 | sed 's/^\[ RUN      \] //')"
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
      found+=("timeout${running:+ in $running}")
      return 1
    fi
    mapfile -t failures < <(grep -o '^\[  FAILED  \] [A-Za-z0-9_/]*\.[A-Za-z0-9_/.]*' "$log.part" |
      sed 's/^\[  FAILED  \] //' | awk '!seen[$0]++')
    found+=("${failures[@]}")
    [ "$status" -gt 128 ] || [ ${#failures[@]} -eq 0 ] || return 0
    found+=("${running:-$(basename "$target")} (exit $status)")  # a crash (an index check aborts)
    [ -n "$all_failures" ] && [ -n "$running" ] || return 0
    skip="$skip:$running"
    left=$((limit - (SECONDS - start)))
    if [ "$left" -le 0 ]; then
      found+=("timeout")
      return 1
    fi
  done
}

# The whole suite within the timeout: each gtest program once, then the other tests through ctest, stopping at the
# first failure (or, with --all-failures, running every test). Sets `detail` to the failing tests; returns 0 when
# everything passed.
detail=""
found=()
run_suite() {
  local limit="$1" log="$2" start=$SECONDS kind folder target left status
  local -a failed=()
  : >"$log"
  while IFS=$'\t' read -r kind folder target; do
    [ "$kind" != targets ] || continue
    left=$((limit - (SECONDS - start)))
    if [ "$left" -le 0 ]; then
      failed+=("timeout")
      break
    fi
    if [ "$kind" = gtest ]; then
      run_gtest "$log" "$folder" "$target" "$left" "$start" "$limit"
      status=$?
    else
      found=()
      run_logged "$log.part" timeout -k 2 "$left" ctest --test-dir "$folder" -R "$target" \
        ${all_failures:---stop-on-failure} --timeout "$left" --output-on-failure
      status=$?
      cat "$log.part" >>"$log"
      if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        found=("timeout in ctest")
      elif [ "$status" -ne 0 ]; then
        mapfile -t found < <(sed -n 's/^[[:space:]]*[0-9][0-9]* - \([^ ]*\) (.*/ctest: \1/p' "$log.part")
        [ ${#found[@]} -gt 0 ] || found=("ctest exit $status")
      fi
      [ "$status" -ne 124 ] && [ "$status" -ne 137 ] && status=0
    fi
    failed+=("${found[@]}")
    [ "$status" -eq 0 ] || break                        # out of time
    [ ${#failed[@]} -eq 0 ] || [ -n "$all_failures" ] || break
  done <"$work/suite.txt"
  detail="$(printf '%s, ' "${failed[@]}")"
  detail="${detail%, }"
  [ ${#failed[@]} -eq 0 ]
}

# The scratch copy and its build, then the clean run that every mutant is measured against.
mkdir -p "$tree" "$logs"
"$python" "$helper" sync --root "$root" --tree "$tree" >/dev/null || exit 1
if [ ! -f "$build/CMakeCache.txt" ]; then
  generator=() linker=()
  command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
  for ld in lld gold; do  # a faster linker when there is one: every mutant relinks the test programs
    if command -v "ld.$ld" >/dev/null 2>&1; then
      linker=("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=$ld" "-DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=$ld")
      break
    fi
  done
  cmake -S "$tree" -B "$build" "${generator[@]}" "${linker[@]}" -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O1 -DNDEBUG" \
    -DKORVEX_BOUNDS_CHECKS=ON -DKORVEX_SANITIZE=OFF -DKORVEX_SANITIZE_THREAD=OFF -DKORVEX_BUILD_BENCHMARKS=OFF \
    -DKORVEX_INSTALL=OFF >"$logs/configure.log" 2>&1 || { cat "$logs/configure.log"; exit 1; }
fi
echo "mutate.sh: building the clean tree in $build"
targets=""
build_all "$logs/clean-build.log" || { tail -30 "$logs/clean-build.log"; exit 1; }
"$python" "$helper" suite --build "$build" >"$work/suite.txt" || exit 1
targets="$(sed -n 's/^targets\t//p' "$work/suite.txt")"  # what the tests run; the demo is not relinked
clean_start=${EPOCHREALTIME/./}
clean_runs_timed=$clean_runs
# Several clean runs: a test that fails now and then would count mutants as caught that are not.
for ((clean_run = 1; clean_run <= clean_runs; clean_run++)); do
  if ! run_suite 600 "$logs/clean-tests.log"; then
    tail -30 "$logs/clean-tests.log"
    echo "mutate.sh: the clean tree fails its tests on run $clean_run of $clean_runs ($detail); no mutant can be" \
      "judged (leave a test that fails now and then out with --exclude)" >&2
    exit 1
  fi
done
clean_tenths=$(( (${EPOCHREALTIME/./} - clean_start) / 100000 / clean_runs_timed + 1 ))
if [ -z "$timeout_s" ]; then  # five times the clean run, at least 8 s: a loaded machine must not fake a hang
  timeout_s=$(( clean_tenths / 2 > 8 ? clean_tenths / 2 : 8 ))
fi
declare -A clean_hash
while read -r hash object; do clean_hash["$object"]="$hash"; done \
  < <(find "$build/src/CMakeFiles/korvex_objects.dir" -name '*.o' -exec sha1sum {} +)

mutants="$work/mutants.tsv"
generate >"$mutants" || exit 1
total=$(wc -l <"$mutants")
printf 'id\tfile\tline\toperator\toriginal\tmutated\toutcome\tdetail\n' >"$out"
printf 'mutate.sh: %d mutants, clean test run %d.%d s, timeout %s s per mutant\n' "$total" "$((clean_tenths / 10))" \
  "$((clean_tenths % 10))" "$timeout_s"

number=0 run_start=${EPOCHREALTIME/./}
while IFS= read -r row; do
  number=$((number + 1))
  mutant_start=${EPOCHREALTIME/./}
  IFS=$'\t' read -r id file line operator _ <<<"$row"
  log="$logs/$id.log"
  fields=()
  IFS=$'\t' read -r -a fields <<<"$(cut -f1-6 <<<"$row")"
  cp "$tree/$file" "$work/saved"
  mutated_file="$file"
  if ! applied=$("$python" "$helper" apply --tree "$tree" "${fields[@]}"); then
    restore_mutant
    outcome="not-applied" detail="line not found"
  elif line="$applied"; ! build_objects "$log"; then
    outcome="build-failed" detail=""
  else
    object="$(object_of "$file")"
    if [ -n "$object" ] && [ "$(sha1sum "$object" | cut -d' ' -f1)" = "${clean_hash[$object]:-}" ]; then
      outcome="equivalent" detail="same object code"
    elif ! build_all "$log"; then
      outcome="build-failed" detail="link"
    elif run_suite "$timeout_s" "$log.tests"; then
      outcome="survived"
    else
      outcome="caught"
    fi
  fi
  restore_mutant
  rm -f "$log.tests.part"
  # Kept: the compiler's messages of a build failure, the test output of a caught mutant.
  [ "$outcome" = build-failed ] || rm -f "$log"
  [ "$outcome" = caught ] || rm -f "$log.tests"
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$file" "$line" "$(cut -f4-6 <<<"$row")" "$outcome" "${detail//$'\t'/ }" \
    >>"$out"
  tenths=$(( (${EPOCHREALTIME/./} - mutant_start) / 100000 ))
  shown="${detail:0:100}"
  [ ${#detail} -le 100 ] || shown+="..."  # the whole list is in the result file
  printf '[%d/%d] %-12s %s:%s %s (%d.%d s)%s\n' "$number" "$total" "$outcome" "$file" "$line" "$operator" \
    "$((tenths / 10))" "$((tenths % 10))" \
    "${detail:+  $shown}"
done <"$mutants"

tenths=$(( (${EPOCHREALTIME/./} - run_start) / 100000 ))
each=$(( tenths / (number > 0 ? number : 1) ))
echo "mutate.sh: $number mutants in $((tenths / 10)) s ($((each / 10)).$((each % 10)) s each)"
"$python" "$helper" count "$out"
echo "results: $out"
build_all "$logs/clean-build.log"  # the build folder holds no mutant afterwards
