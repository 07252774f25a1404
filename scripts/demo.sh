#!/usr/bin/env bash
# Sets everything up (see setup.sh) and runs the demo host.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
exec .venv/bin/python -m tavrel.demo "$@"
