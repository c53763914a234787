#!/usr/bin/env bash
# Builds the extension with ASan and UBSan beside the normal one and runs the test suite
# against it. Any sanitizer report fails the run. Needs scripts/setup.sh --tests first.
# Usage: scripts/sanitize.sh [pytest args]
set -euo pipefail
cd "$(dirname "$0")/.."
site=build/asan/site
echo "sanitize: building the ASan/UBSan extension"
rm -rf "$site"
.venv/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation --no-deps --target "$site" \
  -Cbuild-dir=build/asan -Ccmake.define.MERVO_SANITIZE=ON -Ccmake.define.MERVO_TEST_MODULES=ON . \
  2> >(grep -v '^WARNING: Location' >&2)

asan_runtime=$(g++ -print-file-name=libasan.so)
[ -f "$asan_runtime" ] || { echo "sanitize: no libasan.so from g++" >&2; exit 1; }
# The interpreter is C: the C++ runtime must be loaded up front as well, or ASan finds no
# __cxa_throw to forward thrown exceptions to.
cxx_runtime=$(realpath "$(g++ -print-file-name=libstdc++.so)")
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
# The interpreter does not free everything at exit; its own allocations are suppressed so
# that a leak report points at the module. Python objects that leak are caught by the
# reference-count tests instead.
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan:abort_on_error=0:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$site${PYTHONPATH:+:$PYTHONPATH}"
echo "sanitize: running pytest under the sanitizers"
status=0
# The extension's own tests, and the command end to end (its workers run the extension); the
# rest of the orchestrator is Python, tested in the plain stage.
native_tests=(tests/test_declare.py tests/test_declare_leaks.py tests/test_hostile.py tests/test_inspection.py
  tests/test_json_doc.py tests/test_materialize.py tests/test_module.py tests/test_properties.py
  tests/test_refcounts.py tests/test_cli.py)
[ $# -gt 0 ] && native_tests=("$@")
MERVO_TEST_ISOLATION=spawn LD_PRELOAD="$asan_runtime:$cxx_runtime" \
  .venv/bin/python -m pytest -q -p no:cacheprovider "${native_tests[@]}" || status=$?
echo "sanitize: pytest exited with $status"
if compgen -G "$reports/*" >/dev/null; then
  echo "sanitize: sanitizer reports:" >&2
  cat "$reports"/* >&2
  exit 1
fi
exit $status
