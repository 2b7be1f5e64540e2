#!/usr/bin/env bash
# Builds and runs Taln's tests under the sanitizers, each in a build directory of its own;
# fails on any report.
#
#   scripts/sanitize.sh asan   AddressSanitizer + UndefinedBehaviorSanitizer (and the leak
#                              checker), every test
#   scripts/sanitize.sh tsan   ThreadSanitizer: the engine, player, model and window tests
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode=${1:?usage: scripts/sanitize.sh asan|tsan}
jobs=${JOBS:-$(nproc)}
common=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALN_WERROR=ON -DTALN_BUILD_BENCH=OFF)
export QT_QPA_PLATFORM=offscreen

case "$mode" in
asan)
    build=${BUILD_DIR:-build-asan}
    cmake -S . -B "$build" "${common[@]}" -DTALN_SANITIZE=address,undefined
    cmake --build "$build" -j"$jobs"
    export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    (cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 900)
    ;;
tsan)
    build=${BUILD_DIR:-build-tsan}
    cmake -S . -B "$build" "${common[@]}" -DTALN_SANITIZE=thread
    cmake --build "$build" -j"$jobs" --target engine_tests player_tests model_tests ui_tests
    status=0
    for suite in engine player model ui; do
        options="halt_on_error=1 second_deadlock_stack=1"
        if [ "$suite" = ui ]; then
            options="$options suppressions=$root/scripts/sanitizers/tsan-qt-gui.supp"
        fi
        echo "== ThreadSanitizer: ${suite}_tests"
        if ! (cd "$build/tests/$suite" && TSAN_OPTIONS="$options" "./${suite}_tests" --gtest_brief=1); then
            echo "ThreadSanitizer: ${suite}_tests failed" >&2
            status=1
        fi
    done
    exit $status
    ;;
*)
    echo "usage: scripts/sanitize.sh asan|tsan" >&2
    exit 2
    ;;
esac
