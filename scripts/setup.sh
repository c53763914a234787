#!/usr/bin/env bash
# Prepares a machine for building and testing mervo: Debian packages (when root),
# a .venv with the Python tools, and the package itself built into it.
# Usage: scripts/setup.sh [--tests]   (--tests also builds the test-only extension)
# PYTHON names the interpreter (python3 by default), VENV the environment (.venv by default;
# any other one gets a build folder of its own, so that versions do not rebuild each other).
set -euo pipefail
cd "$(dirname "$0")/.."

with_tests=0
[ "${1:-}" = "--tests" ] && with_tests=1

debian_packages=(nlohmann-json3-dev g++)
# The test suite also fuzzes with clang's libFuzzer and needs nm for a symbol check.
[ $with_tests = 1 ] && debian_packages+=(clang libclang-rt-14-dev binutils)
missing=()
for pkg in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
# The run report's tests draw with Graphviz and look at the page in headless Chromium; they
# skip, with a note, where these are absent and cannot be installed.
optional=()
if [ $with_tests = 1 ] && [ "${VENV:-.venv}" = .venv ]; then
  for pkg in graphviz chromium; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || optional+=("$pkg")
  done
fi
if [ ${#missing[@]} -gt 0 ] || [ ${#optional[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "setup: installing Debian packages: ${missing[*]} ${optional[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" "${optional[@]}" >/dev/null \
      || { [ ${#missing[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; }
  elif [ ${#missing[@]} -gt 0 ]; then
    echo "setup: missing Debian packages: ${missing[*]}" >&2
    echo "setup: install them (as root: apt-get install ${missing[*]}) and run again" >&2
    exit 1
  else
    echo "setup: not installing ${optional[*]} (needs root); the tests that need them will skip"
  fi
fi

python=${PYTHON:-python3}
venv=${VENV:-.venv}
build_suffix=""
[ "$venv" != .venv ] && build_suffix="-$(basename "$venv")"
if ! command -v "$python" >/dev/null; then
  echo "setup: no '$python' found; install Python 3.9 or newer with its headers" >&2
  exit 1
fi
if [ ! -x "$venv/bin/python" ]; then
  echo "setup: creating $venv"
  "$python" -m venv "$venv" || { echo "setup: '$python -m venv' failed (Debian: apt-get install python3-venv)" >&2; exit 1; }
fi

pip() { "$venv/bin/python" -m pip --disable-pip-version-check -q "$@" 2> >(grep -v '^WARNING: Location' >&2); }
# Older interpreters ship a pip without -C (config settings for the build backend).
pip install --upgrade "pip>=23.1"
pip install "scikit-build-core>=0.9" "cmake>=3.18" ninja
if [ $with_tests = 1 ]; then
  pip install "pytest>=7" "hypothesis>=6"
  # The Dask executor's and the value formats' tests need the optional extras; they skip
  # where these do not install. The other interpreters' venvs run the suite without them.
  if [ "$venv" = .venv ]; then
    pip install "distributed>=2024" || echo "setup: distributed does not install; the Dask tests will skip"
    pip install pandas pyarrow numpy || echo "setup: pandas/pyarrow/numpy do not install; the value format tests will skip"
  fi
fi

echo "setup: building mervo into $venv"
if [ $with_tests = 1 ]; then
  pip install --no-build-isolation -Cbuild-dir="build/test$build_suffix" -Ccmake.define.MERVO_TEST_MODULES=ON .
else
  pip install --no-build-isolation -Cbuild-dir="build/release$build_suffix" .
fi
