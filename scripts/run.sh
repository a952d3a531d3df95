#!/usr/bin/env bash
# Installs what is needed, builds, and starts Quillon on the simulated reader.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh plain
out=build/plain/out
if [ -x "$out/quillon" ]; then
  exec "$out/quillon" "$@"
fi
# Until the application is built, walk the simulated card through the library.
exec "$out/card_life" "$@"
