#!/usr/bin/env bash
# Fails when a tracked C or C++ source does not follow .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
clang-format --dry-run --Werror "${files[@]}"
