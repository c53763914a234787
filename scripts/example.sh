#!/usr/bin/env bash
# Sets everything up, then runs mervo on the bundled example project.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cd examples/quickstart
../../.venv/bin/python -c 'import _mervo; print("mervo core loaded:", ", ".join(_mervo.__all__))'
