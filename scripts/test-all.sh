#!/usr/bin/env bash
# Every test of the project on a fresh Debian 12 machine. Installs what is
# missing, then runs the stages named on the command line, or all of them in
# this order when none is named:
#
#   unit        release build (benchmarks compiled, not run), unit tests
#   docs        the reference made by Doxygen (HTML, man pages): no warning,
#               an entry for every function and constant (scripts/check-docs.sh)
#   sanitize    the unit tests again under AddressSanitizer and UBSan
#   valgrind    the unit-test binary under Valgrind memcheck
#   fuzz        the call-sequence fuzzer and the RFC 2217 engine fuzzer,
#               bounded runs (VELK_FUZZ_SECONDS each, 60 by default) from
#               the seeds kept in the repo
#   windows     cross builds of velk32.dll (i686 and x86_64), their module
#               checks, and the Wine runs (conformance, import libraries)
#   packages    install, CMake package, pkg-config, the .deb and the Windows
#               zips, each proven by a consumer program; the C, Python and
#               C# samples (scripts/consumers.sh)
#   conformance the conformance program natively, plain and under the
#               sanitizers, over a socat pty pair
#   drivers     the library on the kernel's real serial drivers (16550A, FTDI
#               on USB) in a QEMU guest booted from Debian's kernel package
#               (scripts/vm-drivers.sh); a guest is SKIP where QEMU, busybox
#               or the kernel package cannot be had or QEMU cannot start
#   cross       the library, velkcom and the tests built for arm64, armhf,
#               i386, ppc64el, s390x and riscv64 with Debian's cross
#               compilers, the tests run under qemu-user (i386 natively
#               where the kernel runs 32-bit programs); a target that cannot
#               be built or started here, or is left without time, is not
#               run, with the reason; bounded by VELK_CROSS_MINUTES (25 by
#               default)
#
# Each stage builds what it needs (a build already there is only brought up
# to date), so any one stage runs alone: scripts/test-all.sh windows.
# Warnings are errors in every build made here. Each stage runs with a
# temporary folder of its own (TMPDIR), removed when it ends, and the run ends
# with a summary that lists every skipped test and every part of a stage not
# run (a tool that could not be installed, a target left without time), each
# with its reason. VELK_UNINSTALLABLE="PKG..." rehearses a mirror that lacks
# those packages (scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
all_stages=(unit docs sanitize valgrind fuzz windows packages conformance drivers cross)
stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=("${all_stages[@]}")
for s in "${stages[@]}"; do
  case " ${all_stages[*]} " in
    *" $s "*) ;;
    *) echo "unknown stage '$s'; the stages are: ${all_stages[*]}" >&2; exit 2 ;;
  esac
done

# What a stage needs to run at all is installed here or by the stage
# (scripts/deps.sh): if it cannot be, the run fails. A tool that only a part
# of a stage needs is wanted (scripts/optional-deps.sh): without it, that part
# is not run, and the summary says so with apt's reason.
. scripts/optional-deps.sh
bash scripts/deps.sh build-essential cmake googletest libgtest-dev libgmock-dev \
  valgrind clang libclang-rt-14-dev socat libbenchmark-dev doxygen man-db

# For the closing summary, one line each: the skipped tests of every stage
# (stage: test: reason), from CTest's JUnit files; and the parts of a stage
# that did not run (stage: part: reason), from the stages and the scripts
# they start. A stage with a part not run is not counted as passed.
summary_dir=$PWD/build/test-summary
rm -rf "$summary_dir" && mkdir -p "$summary_dir"
export VELK_SKIP_LOG=$summary_dir/skips.txt VELK_NOT_RUN_LOG=$summary_dir/not-run.txt
: >"$VELK_SKIP_LOG"
: >"$VELK_NOT_RUN_LOG"
current_stage=setup
stage_tmp=""
passed=()

# not_run PART REASON: a part of the current stage that does not run.
not_run() {
  echo "SKIP: $1: $2"
  echo "$current_stage: $1: $2" >>"$VELK_NOT_RUN_LOG"
}

# The tests that need these skip without them, saying so.
want strace ser2net
for p in strace ser2net; do
  why=$(lacking "$p") && not_run "the tests that need $p" "$why"
done

# run_ctest DIR [ARGS...]: ctest in DIR; its skipped tests go to the skip log.
# With ctest_limit set (seconds), ctest is ended after that long; ctest_label
# replaces the stage's name in the skip log; ctest_xml names the JUnit file.
ctest_limit=""
ctest_label=""
ctest_xml=""
run_ctest() {
  local dir=$1; shift
  local xml
  xml=$summary_dir/$(echo "$current_stage-$dir" | tr -c 'A-Za-z0-9-\n' '_').xml
  ctest_xml=$xml
  local rc=0
  ${ctest_limit:+timeout "$ctest_limit"} ctest --test-dir "$dir" --output-junit "$xml" "$@" || rc=$?
  bash scripts/ctest-skips.sh "${ctest_label:-$current_stage}" "$xml" >>"$VELK_SKIP_LOG" || true
  return "$rc"
}

# The closing summary, also after a stage failed: what is left of ser2net's
# service, every skipped test and every part not run, with the reason, and
# the stages: passed, passed with parts not run, failed (scripts/summary.sh).
finish() {
  local rc=$?
  [ -n "$stage_tmp" ] && rm -rf "$stage_tmp"
  echo
  echo "== summary"
  bash scripts/quiet-services.sh
  local failed=""
  [ "$rc" = 0 ] || failed=$current_stage
  bash scripts/summary.sh "$summary_dir" "$failed" "${passed[@]}"
  exit "$rc"
}
trap finish EXIT

sanitizer_env=(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
               UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

build_release() {
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_BUILD_BENCH=ON \
    -DVELK_WERROR=ON >/dev/null
  cmake --build build/release -j"$jobs"
}
build_sanitize() {
  cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=ON -DVELK_WERROR=ON >/dev/null
  cmake --build build/sanitize -j"$jobs"
}

stage_unit() {
  build_release
  run_ctest build/release --output-on-failure -j"$jobs"
  echo "-- reliability figures"
  build/release/tests/velk32_tests --gtest_filter='FaultSweepCoverage.*:BadInput.*' \
    | grep -E '^\[ (sweep|bad input)' \
    | awk '{ print } / inputs tried$/ { n += $(NF - 2) } END { print "bad inputs tried: " n }'
}

stage_docs() {
  build_release
  cmake --build build/release --target docs
  bash scripts/check-docs.sh build/release
}

stage_sanitize() {
  build_sanitize
  (
    for kv in "${sanitizer_env[@]}"; do export "${kv?}"; done
    run_ctest build/sanitize --output-on-failure -j"$jobs"
  )
}

stage_valgrind() {
  build_release
  # One process for the whole binary: any invalid access, use of undefined
  # memory or leaked block fails the run. The death tests' forked children
  # (which end by abort on purpose) are not reported.
  # Its skipped tests go to the summary as CTest's do.
  local report=$summary_dir/valgrind.xml rc=0
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --child-silent-after-fork=yes \
    --errors-for-leak-kinds=definite,indirect,possible --show-leak-kinds=definite,indirect,possible \
    build/release/tests/velk32_tests --gtest_brief=1 --gtest_output="xml:$report" || rc=$?
  bash scripts/gtest-skips.sh valgrind "$report" >>"$VELK_SKIP_LOG" || true
  return "$rc"
}

stage_fuzz() {
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELK_FUZZ=ON -DVELK_BUILD_TESTS=OFF -DVELK_WERROR=ON >/dev/null
  cmake --build build/fuzz -j"$jobs" --target velk32_call_fuzzer
  local work=build/fuzz/corpus-work
  rm -rf "$work" && mkdir -p "$work"
  # New inputs go to the work folder; the repo's corpus is only read. An
  # input that runs for more than 10 s counts as a hang and fails the run.
  if ! build/fuzz/tests/reliability/fuzz/velk32_call_fuzzer -max_total_time="${VELK_FUZZ_SECONDS:-60}" \
       -timeout=10 -max_len=4096 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
       "$work" tests/reliability/regressions tests/reliability/corpus >build/fuzz/fuzz.log 2>&1; then
    tail -n 80 build/fuzz/fuzz.log
    echo "the call-sequence fuzzer failed; the input is saved in build/fuzz/ (crash-*)" >&2
    return 1
  fi
  grep -E '^(INFO: seed corpus|Done [0-9]+ runs|stat::number_of_executed_units|stat::average_exec_per_sec)' \
    build/fuzz/fuzz.log
  echo "-- RFC 2217 engine fuzzer"
  bash scripts/fuzz-rfc2217.sh
}

# Cross builds of velk32.dll for 32-bit (i686) and 64-bit (x86_64) Windows
# with MinGW-w64, their module checks (exports, stdcall returns, imports,
# version resource, import libraries) and the Wine runs. Every run joins COM1
# and COM2 through a socat pty pair. One headless Wine prefix serves both
# DLLs: booted once here, its wineserver ended at the end. MinGW is needed;
# Wine is wanted: where Wine cannot be installed, every Wine run is skipped,
# and where only the 32-bit Wine (wine32:i386) cannot be, or the machine runs
# no 32-bit programs, the 64-bit runs go through the 64-bit Wine loader and
# the 32-bit runs are skipped (scripts/wine-run.sh, which reads the reason
# from VELK_NO_WINE or VELK_NO_WINE32). The builds and module checks run
# either way.
stage_windows() {
  bash scripts/deps.sh g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 \
    mingw-w64-i686-dev mingw-w64-x86-64-dev binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
    llvm-14 socat
  want wine wine64 wine32:i386
  local why
  if why=$(lacking wine wine64); then
    export VELK_NO_WINE=$why
    not_run "the Wine runs of both DLLs" "$why"
  elif why=$(lacking wine32:i386); then
    export VELK_NO_WINE32=$why
    not_run "the i686 Wine runs" "$why"
  elif ! why=$(bash scripts/can-run-32bit.sh); then
    not_run "the i686 Wine runs" "$why"
  fi
  local wine_home
  wine_home=$(mktemp -d "${TMPDIR:-/tmp}/velk-wineprefix.XXXXXX")
  export VELK_WINEPREFIX=$wine_home/prefix
  # shellcheck disable=SC2064
  trap "rc=\$?; bash scripts/wine-cleanup.sh $VELK_WINEPREFIX; rm -rf $wine_home; (exit \$rc); finish" EXIT
  [ -n "${VELK_NO_WINE:-}" ] || bash scripts/wine-run.sh --boot
  local arch
  for arch in i686 x86_64; do
    echo "-- $arch"
    cmake -S . -B "build/win-$arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/mingw-$arch.cmake" >/dev/null
    cmake --build "build/win-$arch" -j"$jobs"
    ctest_label="windows $arch" run_ctest "build/win-$arch" --output-on-failure
  done
  bash scripts/wine-cleanup.sh "$VELK_WINEPREFIX"
  rm -rf "$wine_home"
  trap finish EXIT
  unset VELK_NO_WINE VELK_NO_WINE32
}

stage_packages() {
  timeout 2400 bash scripts/consumers.sh
}

stage_conformance() {
  build_release
  build_sanitize
  bash scripts/conformance-posix.sh build/release/tests/conformance/conformance
  env "${sanitizer_env[@]}" bash scripts/conformance-posix.sh build/sanitize/tests/conformance/conformance
}

stage_drivers() {
  build_release
  local rc=0
  timeout 600 bash scripts/vm-drivers.sh build/release | tee "$stage_tmp/drivers.log" || rc=$?
  # A guest that could not run says "NAME: SKIP (reason)": into the summary.
  sed -n 's/^\([A-Za-z0-9-]*\): SKIP (\(.*\))$/drivers: \1 guest: \2/p' "$stage_tmp/drivers.log" \
    >>"$VELK_NOT_RUN_LOG"
  return "$rc"
}

# Linux on other architectures, with Debian's cross compilers: for each
# target, scripts/cross-build.sh --build-only (GoogleTest, the library,
# velkcom and the tests, at -O1), then its tests through ctest, under
# qemu-user, or natively for i686 where this kernel runs 32-bit programs. A
# target whose compiler or emulator cannot be installed, or whose programs do
# not start here, is not run, with the reason, as is one left without time
# (or stopped by the time limit with no test failed). A build or test failure
# fails the stage once every target had its turn. The
# stage is bounded by VELK_CROSS_MINUTES (25 by default); VELK_CROSS_TARGETS
# picks targets.
stage_cross() {
  local targets
  read -r -a targets <<<"${VELK_CROSS_TARGETS:-aarch64 armhf i686 ppc64le s390x riscv64}"
  local minutes=${VELK_CROSS_MINUTES:-25}
  local deadline=$((SECONDS + minutes * 60))
  local i686_native=0 why32=""
  why32=$(bash scripts/can-run-32bit.sh) && i686_native=1
  local pkgs=(qemu-user-static) arch triple
  for arch in "${targets[@]}"; do
    triple=$(sed -n 's/^set(VELK_LINUX_TRIPLE \([^)]*\))/\1/p' "cmake/toolchains/linux-$arch.cmake")
    pkgs+=("g++-$triple")
  done
  # The 32-bit C and C++ runtimes for running i686 programs natively.
  [ "$i686_native" = 1 ] && pkgs+=(lib32stdc++6)
  local t0=$SECONDS
  want "${pkgs[@]}"
  echo "installs: $((SECONDS - t0)) s"

  local results=() failed=() left how rc log build_s test_s why
  local no_time="the stage's $minutes minutes (VELK_CROSS_MINUTES) ran out"
  for arch in "${targets[@]}"; do
    log=build/cross-$arch/ctest.log
    triple=$(sed -n 's/^set(VELK_LINUX_TRIPLE \([^)]*\))/\1/p' "cmake/toolchains/linux-$arch.cmake")
    local native=() needs=("g++-$triple" qemu-user-static)
    how="under qemu-user"
    if [ "$arch" = i686 ]; then
      if [ "$i686_native" = 1 ]; then
        native=(--native)
        needs=("g++-$triple" lib32stdc++6)
        how="natively (this kernel runs 32-bit programs)"
      else
        how="under qemu-i386-static ($why32)"
      fi
    fi
    echo "-- $arch, $how"
    if why=$(lacking "${needs[@]}"); then
      not_run "$arch" "$why"
      results+=("$arch: not run ($why)")
      continue
    fi
    left=$((deadline - SECONDS))
    if [ "$left" -lt 180 ]; then
      why="under 3 of the stage's $minutes minutes (VELK_CROSS_MINUTES) were left"
      not_run "$arch" "$why"
      results+=("$arch: not run ($why)")
      continue
    fi
    t0=$SECONDS
    rc=0
    mkdir -p "build/cross-$arch"
    timeout "$left" bash scripts/cross-build.sh "${native[@]}" --build-only "$arch" \
      >"build/cross-$arch/build.log" 2>&1 || rc=$?
    build_s=$((SECONDS - t0))
    if [ "$rc" = 3 ]; then
      # The script's last line says why: "ARCH: reason".
      why=$(tail -n 1 "build/cross-$arch/build.log")
      not_run "$arch" "${why#*: }"
      results+=("$arch: not run (${why#*: })")
      continue
    elif [ "$rc" = 124 ]; then
      why="stopped during its build after $build_s s: $no_time"
      not_run "$arch" "$why"
      results+=("$arch: not run ($why)")
      continue
    elif [ "$rc" != 0 ]; then
      tail -n 60 "build/cross-$arch/build.log"
      results+=("$arch: build FAILED after $build_s s (build/cross-$arch/build.log)")
      failed+=("$arch")
      continue
    fi
    grep -E "^$arch: programs run" "build/cross-$arch/build.log" || true
    t0=$SECONDS
    rc=0
    ctest_limit=$((deadline - SECONDS))
    ctest_label="cross $arch"
    run_ctest "build/cross-$arch/velk" --output-on-failure -j"$jobs" >"$log" 2>&1 || rc=$?
    ctest_limit=""
    ctest_label=""
    test_s=$((SECONDS - t0))
    # The counts from the attributes of the JUnit file's testsuite element.
    local suite n_all n_failed n_skipped
    suite=$(sed -n '/<testsuite/,/>/p' "$ctest_xml" 2>/dev/null | tr '\n\t' '  ' || true)
    n_all=$(grep -o ' tests="[0-9]*"' <<<"$suite" | head -n 1 | tr -dc 0-9 || true)
    n_failed=$(grep -o ' failures="[0-9]*"' <<<"$suite" | head -n 1 | tr -dc 0-9 || true)
    n_skipped=$(grep -o ' skipped="[0-9]*"' <<<"$suite" | head -n 1 | tr -dc 0-9 || true)
    if [ "$rc" = 124 ] && ! grep -qE '\*\*\*(Failed|Timeout|Exception)' "$log"; then
      # Stopped with no test failed so far: its tests did not all run.
      why="stopped during its tests after $test_s s ($(grep -c ' Passed ' "$log") passed by then): $no_time"
      not_run "$arch" "$why"
      results+=("$arch: not run ($why)")
      continue
    elif [ "$rc" != 0 ] || [ -z "$n_all" ]; then
      sed -n '/tests passed\|tests failed/,$p' "$log"
      grep -B2 -A25 -E '\*\*\*(Failed|Timeout|Exception)' "$log" | head -n 150 || true
      [ "$rc" = 124 ] && echo "ctest was stopped: $no_time"
      failed+=("$arch")
    fi
    n_all=${n_all:-0} n_failed=${n_failed:-0} n_skipped=${n_skipped:-0}
    results+=("$arch: $((n_all - n_failed - n_skipped)) passed, $n_skipped skipped, $n_failed failed; build ${build_s} s, tests ${test_s} s, $how")
    echo "${results[-1]}"
  done
  echo "-- cross targets"
  printf '  %s\n' "${results[@]}"
  if [ ${#failed[@]} -gt 0 ]; then
    echo "failed: ${failed[*]} (logs in build/cross-ARCH/)" >&2
    return 1
  fi
}

for s in "${stages[@]}"; do
  echo "== $s =="
  current_stage=$s
  stage_tmp=$(mktemp -d "/tmp/velk-stage-$s.XXXXXX")
  TMPDIR=$stage_tmp "stage_$s"
  rm -rf "$stage_tmp"
  stage_tmp=""
  passed+=("$s")
done
# A stage that fails ends the run above (set -e); finish prints the summary.
