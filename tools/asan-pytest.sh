#!/usr/bin/env bash
# Runs the Python test suite against an extension built with
# AddressSanitizer and UndefinedBehaviorSanitizer. The sanitizer runtimes are
# preloaded into the interpreter; PYTHONMALLOC=malloc routes Python's own
# object allocations through malloc so ASan sees every heap access.
# Leak reports are suppressed only for allocations made by the interpreter
# itself and by the third-party libraries the tests load (tools/lsan.supp):
# those are freed by process exit, not by us.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
py="$(python3 -c 'import sys; print(sys.executable)')"
cmake -S . -B build/asan-py -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSKET_BUILD_PYTHON=ON \
  -DVOSKET_SANITIZE=ON -DVOSKET_WERROR=ON -DPython_EXECUTABLE="$py" >/dev/null
cmake --build build/asan-py --target _vosket --parallel "$(nproc)"
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:exitcode=86:detect_odr_violation=0:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$repo/tools/lsan.supp:print_suppressions=0"
export PYTHONMALLOC=malloc
export PYTHONPATH="$repo/build/asan-py:$repo/src"
export VOSKET_SANITIZED=1
exec "$py" -m pytest -q -p no:cacheprovider "${@:-tests/python}"
