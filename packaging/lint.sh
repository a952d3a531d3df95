#!/usr/bin/env bash
# Builds the Debian packages from a finished build and runs lintian on them.
# Not part of CI (lintian is large): install it with `scripts/setup.sh lint`.
# Usage: packaging/lint.sh [BUILD_DIR]   (default build/plain)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/plain}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
lintian --info --display-info --no-tag-display-limit "$work"/*.deb
