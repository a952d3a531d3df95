#!/usr/bin/env bash
# Installs what is needed, builds and runs every test, in the plain build and
# under AddressSanitizer + UndefinedBehaviorSanitizer, then runs every fuzz
# target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
# Compiler cache entries keyed by paths relative to the checkout, so a fresh
# clone in any folder reuses what an earlier run compiled.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for preset in plain sanitize; do
  echo "==== $preset build ===="
  bash scripts/build.sh "$preset"
  echo "==== $preset tests ===="
  ctest --preset "$preset" || status=1
  if [ "$preset" = plain ]; then
    echo "==== packages ===="
    bash packaging/check-packages.sh build/plain || status=1
  fi
done
echo "==== fuzz ===="
bash scripts/fuzz.sh 25 || status=1
exit $status
