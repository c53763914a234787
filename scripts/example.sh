#!/usr/bin/env bash
# Sets everything up, then runs mervo on the bundled example project and shows the result.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cd examples/quickstart
mervo=../../.venv/bin/mervo
echo "== the assets of the example (mervo list flows)"
"$mervo" list flows
echo "== materialising them (mervo run flows --out out)"
"$mervo" run flows --out out
echo "== out/flows.price_report/_/value.json:"
cat out/flows.price_report/_/value.json; echo
