#!/usr/bin/env bash
# Builds the extension with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs the whole test suite against that build.
#
# Usage: scripts/sanitize.sh [pytest args...]   (run inside an environment
# where `pip install ".[test]"` has been done: it reuses those dependencies).
#
# The sanitized package is staged under build/asan-stage and put first on
# PYTHONPATH, so it shadows the installed one for the test run (subprocesses
# included).  The sanitizer runtimes are preloaded into the interpreter, and
# PYTHONMALLOC=malloc lets ASan see every Python allocation.  Leak detection is
# off: the interpreter and ONNX Runtime keep memory until exit by design.  An
# impossible allocation returns NULL as without ASan: OpenCV asks for one on
# images with sides of 2**31 or more and turns the failure into cv2.error.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python}
build=build/asan
stage=build/asan-stage

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_SANITIZE=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"
rm -rf "$stage"
mkdir -p "$stage"
cp -r src/quarn "$stage/"
find "$stage" -name '*.cpp' -o -name '*.hpp' | xargs rm -f
cmake --install "$build" --prefix "$stage" >/dev/null

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan:$ubsan"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONPATH="$PWD/$stage${PYTHONPATH:+:$PYTHONPATH}"

"$python" -c 'import quarn.inspection.detect.dfine_runner as m; print("sanitized build:", m.__file__)'
"$python" -m pytest -p no:cacheprovider "$@"
