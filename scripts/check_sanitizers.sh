#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into build/dev-sanitize
# and runs the whole test suite against it (extra arguments go to pytest). Fails when a test fails
# or when any sanitizer reported anything, in the host process, a test's own subprocess or a
# forked worker: zero reports is the bar.
#
# - The interpreter is not built with ASan, so the runtime is preloaded, together with libstdc++
#   (otherwise ASan's interception of the first C++ exception trips an internal check).
# - UBSan reports and continues; ASan stops the process at its first report. Both write to
#   stderr (UBSan's log_path does not apply once ASan is preloaded); pytest shows the captured
#   stderr of every test (-rA), and the whole output is searched for reports afterwards.
# - LeakSanitizer is off (detect_leaks=0): the interpreter keeps its objects at exit by design,
#   and so do the serving threads a test host leaves behind; leaks of our own are measured by the
#   tests that check descriptors, threads, processes and shared blocks.
# - Workers are spawned, never forked (--worker-launch=spawn, which the tests' own host scripts
#   follow too): this AddressSanitizer runtime takes no lock of its allocator around fork(), so a
#   worker forked while another thread of the host is inside malloc inherits that allocator lock
#   taken and blocks on it forever at its first allocation (the server always has threads of its own). The
#   plain suite covers forked workers; glibc's malloc is safe across fork.
# - The wheel, Blender and Windows tests are left out: they load a release build of their own
#   (the wheel, the add-on) or none (the Windows cross-build), never this one.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Set up unless the caller just did (CI runs the suite first).
[ -n "${TAVREL_SET_UP:-}" ] || "$root/scripts/setup.sh"
cd "$root"

flags="-fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer -g"
# Only the module: its type stubs are made by importing it, which needs the runtime preloaded.
TARGET=tav_core scripts/devbuild.sh sanitize -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null

preload="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libstdc++.so.6)"
log="$root/build/dev-sanitize/pytest.log"
start=$SECONDS
status=0
env LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=0" \
    PYTHONMALLOC=malloc \
    PYTHONPATH="$root/build/dev-sanitize/stage" \
    .venv/bin/python -m pytest -q -rA -p no:cacheprovider --worker-launch=spawn \
    --ignore=tests/test_wheel.py \
    --ignore=tests/test_blender.py --ignore=tests/test_windows_native.py "$@" >"$log" 2>&1 || status=$?
tail -n 3 "$log"
echo "sanitizer run: $((SECONDS - start)) s, log in $log"
if grep -nE "ERROR: AddressSanitizer|runtime error:|SUMMARY: (Address|UndefinedBehavior)Sanitizer" \
        "$log" >"$log.reports"; then
    echo "sanitizer reports:"
    cat "$log.reports"
    exit 1
fi
exit "$status"
