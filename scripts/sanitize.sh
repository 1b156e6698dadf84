#!/usr/bin/env bash
# Runs the tests again under the sanitizers:
#   1. the whole test suite in a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build-asan/): every fault halts the program,
#      leaks are reported at exit;
#   2. the comm, load, jobs and end-to-end tests in a build with
#      ThreadSanitizer (build-tsan/).
# The first fault ends the run with a non-zero status.
# Usage: scripts/sanitize.sh [asan|tsan]...   (both when none is named)
# BRICOLA_ASAN_DIR and BRICOLA_TSAN_DIR name other build folders.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=("$@")
[ ${#runs[@]} -gt 0 ] || runs=(asan tsan)
jobs=$(nproc)
start=$SECONDS

# Warnings are the plain build's business (it treats them as errors); the
# sanitizers' instrumentation makes GCC raise alarms of its own.
common=(-DBRICOLA_WERROR=OFF -DBRICOLA_BENCH=OFF)

# Every report also goes to a file below the build folder, so that a fault in a
# program whose exit status no test looks at (a simulator ended by SIGTERM)
# still fails the run.
reports() {
  local folder=$1
  rm -rf "$folder"
  mkdir -p "$folder"
}
check_reports() {
  local folder=$1
  if [ -n "$(ls -A "$folder" 2>/dev/null)" ]; then
    echo "sanitizer reports in $folder:" >&2
    for f in "$folder"/*; do
      echo "--- $f" >&2
      cat "$f" >&2
    done
    exit 1
  fi
}

asan() {
  local dir=${BRICOLA_ASAN_DIR:-build-asan}
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer: the whole suite ($dir)"
  BRICOLA_BUILD_DIR=$dir scripts/build.sh RelWithDebInfo "${common[@]}" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags"
  local out=$PWD/$dir/sanitizer-reports
  reports "$out"
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$out/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$out/ubsan"
  export LSAN_OPTIONS="exitcode=23"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
  unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
  check_reports "$out"
}

tsan() {
  local dir=${BRICOLA_TSAN_DIR:-build-tsan}
  local flags="-fsanitize=thread -fno-omit-frame-pointer"
  echo "== ThreadSanitizer: comm, load, jobs and end-to-end tests ($dir)"
  BRICOLA_BUILD_DIR=$dir scripts/build.sh RelWithDebInfo "${common[@]}" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags"
  local out=$PWD/$dir/sanitizer-reports
  reports "$out"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66:suppressions=$PWD/scripts/tsan.supp:log_path=$out/tsan"
  # Without address-space randomisation: the ThreadSanitizer runtime of older
  # toolchains cannot map its shadow memory under some kernels' randomisation.
  local norand=()
  if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R true 2>/dev/null; then
    norand=(setarch "$(uname -m)" -R)
  fi
  (cd "$dir" && "${norand[@]}" ctest --output-on-failure -j"$jobs" --timeout 600 -L '^(comm|load|jobs|e2e)$')
  unset TSAN_OPTIONS
  check_reports "$out"
}

for r in "${runs[@]}"; do
  case "$r" in
    asan) asan ;;
    tsan) tsan ;;
    *) echo "unknown run: $r (asan or tsan)" >&2; exit 2 ;;
  esac
done
echo "sanitizer runs passed in $((SECONDS - start)) s"
