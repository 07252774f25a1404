#!/usr/bin/env bash
# The project's pytest suite inside the official Windows CPython under Wine
# (scripts/windows/python.sh), against the win_amd64 wheels in dist/ (scripts/build_wheels.sh
# --windows builds them), workers spawned from python.exe:
#   - Python 3.11 with the cp311 wheel: the whole suite but the tests of Linux-only subjects
#     (tests/conftest.py, WINDOWS_LEFT_OUT), or with --part the part CI runs;
#   - Python 3.13 with the stable-ABI wheel: serving, both dispatch modes, a decoded stream.
# Each run's time is printed. Extra arguments go to both pytest runs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"
part=0
[ "${1:-}" != --part ] || { part=1; shift; }

# What CI runs: a test of every kind of subject the whole suite has.
ci_part=(
    tests/test_server_lifecycle.py
    tests/test_event_dispatch.py
    tests/test_protocol_actions.py
    tests/test_protocol_queries.py
    tests/test_protocol_settings.py
    tests/test_qr.py
    tests/test_capture_config.py
    tests/test_shared_lock_event.py
    tests/test_streaming.py::test_solid_colour_in_every_format
    tests/test_streaming.py::test_stop_order_and_clean_up
    tests/test_streaming.py::test_killed_worker_is_replaced_on_the_next_frame
    tests/test_streaming.py::test_server_stop_while_streaming
    tests/test_interpreter_exit.py::test_exit_while_serving
    tests/test_demo.py::test_demo_runs_the_simulator_against_itself
    tests/test_screenshot_gdi.py
)
abi3_part=(
    tests/test_server_lifecycle.py
    tests/test_event_dispatch.py
    tests/test_streaming.py::test_solid_colour_in_every_format
)
tests=(tests)
[ $part -eq 0 ] || tests=("${ci_part[@]}")

# Wine draws windows on an X screen: a virtual one where there is none, for the GDI grab's tests.
if [ -z "${DISPLAY:-}" ]; then
    command -v Xvfb >/dev/null || scripts/setup.sh
    exec {fd}<> <(:)
    Xvfb -displayfd "$fd" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null' EXIT
    read -r -t 30 -u "$fd" number || { echo "windows suite: Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$number"
fi

status=0
limit=3000
[ $part -eq 0 ] || limit=1200
# run VERSION TEXT PYTEST-ARGUMENTS...
run() {
    local version="$1" text="$2" t=$SECONDS; shift 2
    echo "windows suite: $text"
    scripts/windows/python.sh "$version" --time-limit "$limit" -m pytest -q -p no:cacheprovider \
        "$@" || status=1
    echo "windows suite: $text took $((SECONDS - t)) s" >&2
}
run 3.11 "Windows CPython 3.11, the cp311 wheel" "${tests[@]}" "$@"
run 3.13 "Windows CPython 3.13, the abi3 wheel" "${abi3_part[@]}" "$@"
exit $status
