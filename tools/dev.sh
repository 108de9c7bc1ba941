#!/usr/bin/env bash
# Developer build: the extension and the C++ tests in build/NAME.
# Usage: tools/dev.sh NAME [ninja targets...]
# Then: PYTHONPATH=build/NAME:src python3 -m pytest tests/python
#       build/NAME/vosket_tests
set -euo pipefail
name="${1:?usage: tools/dev.sh NAME}"; shift || true
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
if [ ! -f "build/$name/build.ninja" ]; then
  cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSKET_BUILD_TESTS=ON \
    -DVOSKET_WERROR=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
fi
ninja -C "build/$name" "$@"
