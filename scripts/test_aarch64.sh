#!/usr/bin/env bash
# Tests the aarch64 build on an x86-64 Debian 12 machine under user-mode
# emulation (qemu-user, started by the kernel through binfmt_misc):
#   1. the resampler's native consistency test, cross-built, NEON included;
#   2. the test suite against the aarch64 wheel in dist/, in a virtual
#      environment of Debian's CPython 3.11 for arm64 with aarch64 wheels of
#      the dependencies from PyPI (numpy, Pillow, OpenCV, ONNX Runtime, ...).
#
# Usage: scripts/test_aarch64.sh [pytest args...]
#   Build the wheel first: scripts/build_wheels.sh aarch64
# Run as root: missing Debian packages are installed with apt-get, and
# qemu-aarch64 is registered with binfmt_misc when it is not yet.
set -euo pipefail
cd "$(dirname "$0")/.."

wheel=$(ls dist/quarn-*_aarch64.whl 2>/dev/null | head -n 1) || true
if [ -z "$wheel" ]; then
    echo "test_aarch64.sh: no aarch64 wheel in dist/ (run scripts/build_wheels.sh aarch64)" >&2
    exit 2
fi

# ---------------------------------------------------------------- packages
# Multiarch arm64 libraries beside the machine's own: the C and C++ runtimes
# and CPython's standard library with its arm64 extension modules. The arm64
# interpreter itself cannot be installed beside the amd64 one, so its package
# is unpacked into build/aarch64-python below.
need=()
for tool in qemu-aarch64-static:qemu-user-static aarch64-linux-gnu-g++:g++-aarch64-linux-gnu; do
    command -v "${tool%%:*}" >/dev/null || need+=("${tool#*:}")
done
for pkg in libpython3.11-stdlib:arm64 libpython3.11-dev:arm64 libstdc++6:arm64 libgomp1:arm64; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    [ "$(id -u)" = 0 ] || { echo "test_aarch64.sh: install ${need[*]}" >&2; exit 1; }
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The kernel must hand aarch64 programs to qemu, so that the tests' own
# subprocesses (sys.executable) run too.
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/qemu-aarch64" ]; then
    printf '%s' ':qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-aarch64-static:F' \
        >"$binfmt/register"
fi

# ---------------------------------------------------------------- native test
echo "== native tests (aarch64, emulated)"
rm -rf build/native-tests-aarch64
cmake -S . -B build/native-tests-aarch64 -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_NATIVE_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
    -DPython_EXECUTABLE="$(command -v python3)" \
    -DPython_INCLUDE_DIR=/usr/include/python3.11 >/dev/null
cmake --build build/native-tests-aarch64 --target resample_consistency half_float_ties >/dev/null
qemu-aarch64-static -L /usr/aarch64-linux-gnu build/native-tests-aarch64/resample_consistency
qemu-aarch64-static -L /usr/aarch64-linux-gnu build/native-tests-aarch64/half_float_ties

# ---------------------------------------------------------------- interpreter
root=build/aarch64-python
python="$root/usr/bin/python3.11"
if [ ! -x "$python" ]; then
    rm -rf "$root" build/aarch64-debs
    mkdir -p "$root" build/aarch64-debs
    (cd build/aarch64-debs && apt-get download -qq python3.11-minimal:arm64 2>/dev/null)
    dpkg -x build/aarch64-debs/python3.11-minimal_*_arm64.deb "$root"
    # The standard library is the multiarch one in /usr/lib/python3.11, where
    # the arm64 extension modules sit beside the amd64 ones.
    mkdir -p "$root/usr/lib"
    ln -sfn /usr/lib/python3.11 "$root/usr/lib/python3.11"
fi
"$python" -c 'import platform, sys; assert platform.machine() == "aarch64" and sys.version_info[:2] == (3, 11)'

# ---------------------------------------------------------------- environment
venv=build/aarch64-venv
rm -rf "$venv"
"$python" -m venv --without-pip "$venv"
# pip itself comes from PyPI as a wheel, which runs as it is.
rm -rf build/aarch64-pip
python3 -m pip download -q --no-deps --only-binary=:all: -d build/aarch64-pip pip
"$venv/bin/python" "$(ls build/aarch64-pip/pip-*.whl)/pip" install -q --no-compile --no-index build/aarch64-pip/pip-*.whl
echo "== installing $wheel and the test dependencies (aarch64 wheels)"
# No byte-compiling at install: under emulation it costs minutes.
"$venv/bin/python" -m pip install -q --no-compile --only-binary=:all: "$wheel[test]"
"$venv/bin/python" - <<'EOF'
import platform, sys
import quarn.inspection.detect.dfine_runner as m
assert platform.machine() == "aarch64", platform.machine()
assert m.__file__.startswith(sys.prefix), m.__file__  # the installed wheel, not the source tree
print("testing", m.__file__)
EOF

# ---------------------------------------------------------------- test suite
# qemu-user 7.2 passes the machine's own x86 /proc/cpuinfo through, and ONNX
# Runtime's CPU probe crashes on it; the tests see an ARM one instead, bound
# over it in a mount namespace of their own, describing the CPU that qemu
# emulates (Neoverse N1, one entry per core).
cpuinfo=build/aarch64-cpuinfo
: >"$cpuinfo"
for ((cpu = 0; cpu < $(nproc); cpu++)); do
    printf 'processor\t: %d\nBogoMIPS\t: 50.00\nFeatures\t: %s\nCPU implementer\t: 0x41\n' \
        "$cpu" "fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics fphp asimdhp cpuid asimdrdm lrcpc dcpop asimddp" \
        >>"$cpuinfo"
    printf 'CPU architecture: 8\nCPU variant\t: 0x3\nCPU part\t: 0xd0c\nCPU revision\t: 1\n\n' >>"$cpuinfo"
done
export QEMU_CPU=neoverse-n1

echo "== test suite (aarch64, emulated)"
unshare --mount --propagation private -- sh -c 'mount --bind "$1" /proc/cpuinfo && shift && exec "$@"' sh \
    "$PWD/$cpuinfo" "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
