#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ core tests
# (under AddressSanitizer and UndefinedBehaviorSanitizer) and the Python
# suite against the installed package.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"

if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
  else
    sudo apt-get update -qq && sudo apt-get install -y -qq libgtest-dev >/dev/null
  fi
fi

echo "== installing vosket with test extras"
python3 -m pip install -q --disable-pip-version-check ".[test]" \
  -Ccmake.define.VOSKET_WERROR=ON 2>&1 | grep -v "Running pip as the 'root' user" || true
python3 -c "import _vosket, vosket" # fail fast if the install did not produce a module

echo "== C++ core tests (ASan + UBSan)"
cmake -S . -B build/ctest -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSKET_BUILD_PYTHON=OFF \
  -DVOSKET_BUILD_TESTS=ON -DVOSKET_WERROR=ON -DVOSKET_SANITIZE=ON >/dev/null
cmake --build build/ctest --parallel "$(nproc)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 ctest --test-dir build/ctest --output-on-failure -j "$(nproc)"

echo "== Python tests"
python3 -m pytest -q -p no:cacheprovider tests/python
