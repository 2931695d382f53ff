#!/usr/bin/env bash
# Runs the test suite N times, plain and under ASan/UBSan (as .ci/run builds
# it), while a parallel compile loads the machine, and lists every test that
# failed even once, with its count.
#
#   bash scripts/stress-tests.sh [options] N
#     -R REGEX       only the tests whose names match (ctest -R)
#     -E REGEX       leave out the tests whose names match (ctest -E)
#     -j JOBS        tests run side by side (default: nproc)
#     --load JOBS    compile jobs of the load (default: nproc; 0: no load)
#     --plain-only, --asan-only   one build instead of both
#
# Everything goes into folders named STRESS_PREFIX-plain, -asan (its own build
# trees), -load (the load's tree) and -logs; STRESS_PREFIX defaults to
# <root>/build-stress, beside build/ so that the compiler cache serves the same
# objects. The normal trees (build/, build-asan/) are not touched. The load is
# a clean rebuild of the project without the compiler cache, over and over; it
# is stopped when the script ends, however it ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${STRESS_PREFIX:-$root/build-stress}
jobs=$(nproc)
load_jobs=$(nproc)
builds=(plain asan)
ctest_filter=()
rounds=""

usage() { sed -n '6,12p' "$0" >&2; exit 2; }
while (($#)); do
    case "$1" in
    -R | -E) [[ $# -ge 2 ]] || usage; ctest_filter+=("$1" "$2"); shift 2 ;;
    -j) [[ $# -ge 2 ]] || usage; jobs=$2; shift 2 ;;
    --load) [[ $# -ge 2 ]] || usage; load_jobs=$2; shift 2 ;;
    --plain-only) builds=(plain); shift ;;
    --asan-only) builds=(asan); shift ;;
    -h | --help) usage ;;
    *) [[ -z $rounds && $1 =~ ^[1-9][0-9]*$ ]] || usage; rounds=$1; shift ;;
    esac
done
[[ -n $rounds ]] || usage

logs=$prefix-logs
mkdir -p "$logs"
rm -f "$logs"/*.log

build_tree() { # name: configures and builds STRESS_PREFIX-name as CI would
    local dir=$prefix-$1
    echo "== building $1 in $dir"
    case "$1" in
    plain) BUILD_DIR=$dir JOBS=$jobs bash "$root/scripts/build.sh" -DTARVEX_BENCH=OFF ;;
    asan) BUILD_DIR=$dir JOBS=$jobs bash "$root/scripts/build.sh" -DTARVEX_SANITIZE=ON \
        -DTARVEX_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug ;;
    esac >"$logs/build-$1.log" 2>&1 || { tail -30 "$logs/build-$1.log"; exit 1; }
}
for b in "${builds[@]}"; do build_tree "$b"; done

# The load: its own session, so that one signal ends the loop and every
# compiler it started.
load_pid=""
stop_load() {
    if [[ -n $load_pid ]]; then
        kill -TERM -- "-$load_pid" 2>/dev/null || true
        wait "$load_pid" 2>/dev/null || true
        load_pid=""
        echo "== load stopped"
    fi
}
trap stop_load EXIT
trap 'exit 130' INT TERM
if ((load_jobs > 0)); then
    cmake -S "$root" -B "$prefix-load" -DTARVEX_BENCH=OFF -DTARVEX_TOOLS=OFF \
        >"$logs/load-configure.log" 2>&1
    setsid bash -c 'while :; do
            CCACHE_DISABLE=1 cmake --build "$0" --clean-first -j "$1" >/dev/null 2>&1 || sleep 1
        done' "$prefix-load" "$load_jobs" &
    load_pid=$!
    echo "== load: clean rebuilds with $load_jobs compile jobs (process group $load_pid)"
fi

declare -A failed_tests=() failed_cases=()
for ((i = 1; i <= rounds; i++)); do
    for b in "${builds[@]}"; do
        args=(--test-dir "$prefix-$b" -j "$jobs" --output-on-failure "${ctest_filter[@]}")
        [[ $b == asan ]] && args+=(-LE no-sanitizer)
        log=$logs/$b-$i.log
        start=$(date +%s)
        rm -f "$prefix-$b/Testing/Temporary/LastTestsFailed.log"
        status=0
        ctest "${args[@]}" >"$log" 2>&1 || status=$?
        summary=$(grep -E "tests passed|No tests were found" "$log" | tail -1 || true)
        echo "== round $i $b: ${summary:-ctest status $status} ($(($(date +%s) - start)) s)"
        if [[ -f $prefix-$b/Testing/Temporary/LastTestsFailed.log ]]; then
            while IFS=: read -r _ name; do
                [[ -n $name ]] && failed_tests["$b $name"]=$((${failed_tests["$b $name"]:-0} + 1))
            done <"$prefix-$b/Testing/Temporary/LastTestsFailed.log"
        elif ((status != 0)); then
            failed_tests["$b (ctest status $status)"]=$((${failed_tests["$b (ctest status $status)"]:-0} + 1))
        fi
        # gtest's own result line of each failed case ends with its time.
        while read -r name; do
            failed_cases["$b $name"]=$((${failed_cases["$b $name"]:-0} + 1))
        done < <(sed -n 's/.*\[  FAILED  \] \([^ ,]*\).* ([0-9]* ms)$/\1/p' "$log")
    done
done
stop_load

echo "== stress: $rounds round(s) of ${builds[*]}${ctest_filter[*]:+ (${ctest_filter[*]})}, logs in $logs"
if ((${#failed_tests[@]} == 0)); then
    echo "no test failed"
    exit 0
fi
echo "failed at least once (build, test, failures of $rounds):"
for k in "${!failed_tests[@]}"; do echo "  $k ${failed_tests[$k]}"; done | sort
if ((${#failed_cases[@]})); then
    echo "failed cases:"
    for k in "${!failed_cases[@]}"; do echo "  $k ${failed_cases[$k]}"; done | sort
fi
exit 1
