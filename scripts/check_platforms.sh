#!/usr/bin/env bash
# The ground for the other systems, checked here on Linux:
#   1. the tests that start workers, against this system's build, with spawned workers (the way
#      Windows and macOS start them; the rest of the suite does not depend on how they start);
#   2. the portable POSIX build (-DTAV_PORTABLE_POSIX=ON: only what macOS offers too) in
#      build/dev-portable, and the same tests against it with spawned workers;
#   3. the platform layer alone (tests/platform_check.cpp): run against its portable files, and
#      built for macOS on arm64 and x86-64 with Zig's cross compiler (the `ziglang` package), so
#      that a call macOS lacks fails here. What a macOS build still needs: docs/platforms.md;
#   4. the layers of src/tav_core (scripts/check_layers.sh): includes point down only, and only
#      platform/ includes OS headers;
#   5. the Windows side, cross-built with mingw-w64 and run under Wine (scripts/check_windows.sh).
# Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Set up unless the caller just did (CI runs the suite first).
[ -n "${TAVREL_SET_UP:-}" ] || "$root/scripts/setup.sh"
cd "$root"

# The tests whose servers start workers; and those of the primitives and of a worker run in the
# test's own process, which depend on the build, not on how workers start.
worker_tests=(
    tests/test_worker_processes.py
    tests/test_screenshot.py
    tests/test_streaming.py
    tests/test_streaming_faults.py
)
primitive_tests=(
    tests/test_shared_lock_event.py
    tests/test_shared_memory.py
    tests/test_encoder_worker.py
)

# Every step runs; the script fails at the end if any did.
status=0
echo "platforms: the layers of the sources"
scripts/check_layers.sh || status=1
echo "platforms: this system's build, spawned workers"
.venv/bin/python -m pytest -q -p no:cacheprovider --worker-launch=spawn "${worker_tests[@]}" "$@" ||
    status=1

echo "platforms: the portable POSIX build, spawned workers"
scripts/devbuild.sh portable -DTAV_PORTABLE_POSIX=ON >/dev/null
PYTHONPATH="$root/build/dev-portable/stage" .venv/bin/python -m pytest -q -p no:cacheprovider \
    --worker-launch=spawn "${primitive_tests[@]}" "${worker_tests[@]}" "$@" || status=1

# The platform layer on its own: its check program against the portable files here (built and
# run), then for both macOS targets with macOS's own headers (built and linked only). The files
# are those the build takes for each (cmake/platform_sources.cmake).
sources() {
    cmake "$@" -P cmake/platform_sources.cmake 2>&1
}
echo "platforms: the platform layer's checks, portable POSIX"
mapfile -t portable < <(sources -DTAV_PLATFORM_DIRS=posix)
g++ -std=c++20 -Wall -Wextra -Werror -O1 -I"$root/src/tav_core" tests/platform_check.cpp \
    "${portable[@]}" -lpthread -o build/platform_check || status=1
build/platform_check || status=1

mapfile -t mac < <(sources -DTAV_SYSTEM=macos)
for target in aarch64-macos x86_64-macos; do
    echo "platforms: the platform layer's checks, built for $target"
    .venv/bin/python -m ziglang c++ -target "$target" -std=c++20 -Wall -Wextra -Werror \
        -I"$root/src/tav_core" tests/platform_check.cpp "${mac[@]}" -o "build/platform_check-$target" ||
        status=1
done
echo "platforms: Windows, cross-built and run under Wine"
scripts/check_windows.sh "$@" || status=1
exit "$status"
