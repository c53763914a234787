#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite: pytest on every installed CPython the
# package supports, pytest again against an ASan/UBSan build of the extension, and a bounded
# fuzzing run of the JSON unit (those two on the default interpreter only).
# Usage: scripts/test.sh [pytest args]   (MERVO_QUICK=1 runs the pytest stage on the default
# interpreter only; MERVO_FUZZ_SECONDS sets the fuzzing time, 60 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

oldest_minor=9   # as README.md and pyproject.toml say: CPython 3.9 and newer
newest_minor=13  # the newest release the suite was run on; newer ones are tried too when present

stage_start=$SECONDS
stage() { echo "test: $1 took $((SECONDS - stage_start)) s"; stage_start=$SECONDS; }

bash scripts/setup.sh --tests
default=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
stage "setting up $default (.venv)"

# An interpreter for 3.X: under pyenv, or on PATH; one that runs (a pyenv shim for a version
# that is not selected is on PATH but fails).
find_python() {
  local candidate
  for candidate in \
    $(command -v pyenv >/dev/null && ls -d "$(pyenv root)"/versions/"$1".*/bin/"python$1" 2>/dev/null | sort -V -r) \
    $(command -v "python$1" 2>/dev/null); do
    if "$candidate" -c 'import sys' >/dev/null 2>&1; then
      echo "$candidate"
      return
    fi
  done
}

others=()
if [ "${MERVO_QUICK:-0}" != 1 ]; then
  for minor in $(seq "$oldest_minor" $((newest_minor + 3))); do
    version=3.$minor
    [ "$version" = "$default" ] && continue
    python=$(find_python "$version")
    if [ -z "$python" ]; then
      [ "$minor" -le "$newest_minor" ] && echo "test: CPython $version is not installed here; skipped"
      continue
    fi
    others+=("$version:$python")
  done
fi

# Each other version gets its own venv under build/venvs/, built two at a time with one
# compiler job each (this machine has two cores).
pids=()
for entry in "${others[@]}"; do
  version=${entry%%:*}
  mkdir -p build/venvs
  ( CMAKE_BUILD_PARALLEL_LEVEL=1 PYTHON=${entry#*:} VENV=build/venvs/$version \
      bash scripts/setup.sh --tests > "build/venvs/$version.setup.log" 2>&1 ) &
  pids+=($!)
  if [ ${#pids[@]} = 2 ]; then wait "${pids[0]}" || true; pids=("${pids[@]:1}"); fi
done
for pid in "${pids[@]}"; do wait "$pid" || true; done
ready=()
status=0
for entry in "${others[@]}"; do
  version=${entry%%:*}
  if [ -x "build/venvs/$version/bin/python" ] && "build/venvs/$version/bin/python" -c "import _mervo, _mervo_jsontest" 2>/dev/null; then
    ready+=("$version")
  else
    echo "test: setting up CPython $version failed:" >&2
    tail -n 30 "build/venvs/$version.setup.log" >&2
    status=1
  fi
done
[ ${#others[@]} -gt 0 ] && stage "setting up ${others[*]%%:*}"

# pytest: the default interpreter in the foreground, the others in the background beside
# it, each into its own log. The other interpreters run every test file but the long
# end-to-end ones (runs under faults, re-runs, Dask, the browser), with one isolation level:
# the whole suite on five interpreters would not fit in a CI run.
echo "test: running pytest on $default"
runs=()
long_files=(test_runs.py test_incremental.py test_dask.py test_html_report.py test_api.py)
other_tests=()
for path in tests/test_*.py; do
  [[ " ${long_files[*]} " == *" $(basename "$path") "* ]] || other_tests+=("$path")
done
# One at a time beside the default run: two suites keep both cores busy.
run_others() {
  local version result
  for version in "${ready[@]}"; do
    result=0
    MERVO_TEST_ISOLATION=fork "build/venvs/$version/bin/python" -m pytest -q -p no:cacheprovider \
      "${other_tests[@]}" "$@" > "build/venvs/$version.pytest.log" 2>&1 || result=$?
    echo "$result" > "build/venvs/$version.pytest.status"
  done
}
rm -f build/venvs/*.pytest.status
if [ ${#ready[@]} -gt 0 ]; then
  run_others "$@" &
  runs+=($!)
fi
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@" || status=$?
for pid in "${runs[@]}"; do wait "$pid" || true; done
for version in "${ready[@]}"; do
  result=$(cat "build/venvs/$version.pytest.status" 2>/dev/null || echo 1)
  echo "test: pytest on $version: $(tail -n 1 "build/venvs/$version.pytest.log")"
  if [ "$result" != 0 ]; then
    echo "test: pytest on $version failed (full log: build/venvs/$version.pytest.log):" >&2
    grep -E '^(FAILED|ERROR)' "build/venvs/$version.pytest.log" >&2 || tail -n 40 "build/venvs/$version.pytest.log" >&2
    status=1
  fi
done
stage "pytest on $default${ready[*]:+ and ${ready[*]}}"
[ $status = 0 ] || exit $status
if [ "${MERVO_QUICK:-0}" = 1 ]; then
  exit 0
fi

bash scripts/sanitize.sh "$@"
stage "pytest under the sanitizers"
echo "test: fuzzing the JSON unit for ${MERVO_FUZZ_SECONDS:-60} s"
bash fuzz/run.sh "${MERVO_FUZZ_SECONDS:-60}"
stage "fuzzing"
