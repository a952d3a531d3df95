#!/usr/bin/env bash
# Configures and builds one preset (plain or sanitize).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-plain}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -- -j"$(nproc)"
