#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite: pytest, pytest again against an
# ASan/UBSan build of the extension, and a bounded fuzzing run of the JSON unit.
# Usage: scripts/test.sh [pytest args]   (MERVO_QUICK=1 runs the first stage only;
# MERVO_FUZZ_SECONDS sets the fuzzing time, 60 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests
echo "test: running pytest"
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
if [ "${MERVO_QUICK:-0}" = 1 ]; then
  exit 0
fi
bash scripts/sanitize.sh "$@"
echo "test: fuzzing the JSON unit for ${MERVO_FUZZ_SECONDS:-60} s"
bash fuzz/run.sh "${MERVO_FUZZ_SECONDS:-60}"
