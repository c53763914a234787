#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests
echo "test: running pytest"
# From the tests folder, so the installed package is imported rather than the sources.
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
