#!/usr/bin/env bash
# The ground for the other systems, checked here on Linux:
#   1. the tests that start workers, against this system's build, with spawned workers (the way
#      Windows and macOS start them; the rest of the suite does not depend on how they start);
#   2. the portable POSIX build (-DTAV_PORTABLE_POSIX=ON: only what macOS offers too) in
#      build/dev-portable, and the same tests against it with spawned workers.
# Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Set up unless the caller just did (CI runs the suite first).
[ -n "${TAVREL_SET_UP:-}" ] || "$root/scripts/setup.sh"
cd "$root"

worker_tests=(
    tests/test_worker_processes.py
    tests/test_shared_lock_event.py
    tests/test_shared_memory.py
    tests/test_encoder_worker.py
    tests/test_screenshot.py
    tests/test_streaming.py
    tests/test_streaming_faults.py
    tests/test_interpreter_exit.py
)

echo "platforms: this system's build, spawned workers"
.venv/bin/python -m pytest -q -p no:cacheprovider --worker-launch=spawn "${worker_tests[@]}" "$@"

echo "platforms: the portable POSIX build, spawned workers"
scripts/devbuild.sh portable -DTAV_PORTABLE_POSIX=ON >/dev/null
PYTHONPATH="$root/build/dev-portable/stage" .venv/bin/python -m pytest -q -p no:cacheprovider \
    --worker-launch=spawn "${worker_tests[@]}" "$@"
