# Shared by scripts/test and scripts/run: install what is missing, build presets.
# shellcheck shell=bash

KORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the Debian packages given that are not installed yet.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

NATIVE_PACKAGES=(cmake make g++ libgtest-dev googletest python3 rsync python3-fusepy)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686)
WINE_PACKAGES=(wine wine64 xvfb xauth imagemagick)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
ANALYSIS_PACKAGES=(clang-tidy clang-format cppcheck)

# Wine runs in a prefix of the project's own, quietly.
setup_wine() {
    export WINEDEBUG=-all
    export WINEPREFIX=${WINEPREFIX:-$KORVANE_ROOT/build/wine-prefix}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
    mkdir -p "$WINEPREFIX"
}

# Starts Wine's server and its services once, detached from our output: the
# services of a first start would otherwise hold the test runner's pipes open.
start_wine() {
    local wine=/usr/lib/wine/wine64
    [ -x "$wine" ] || wine=wine
    "$wine" wineboot -i </dev/null >/dev/null 2>&1
    wineserver -p </dev/null >/dev/null 2>&1
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1
}

# Configures (once) and builds a preset; extra arguments name targets.
build_preset() {
    local preset=$1
    shift
    # Configured every time, so that a change of the presets reaches old builds.
    cmake --preset "$preset" -S "$KORVANE_ROOT" >/dev/null || return 1
    local targets=()
    local target
    for target in "$@"; do targets+=(--target "$target"); done
    cmake --build "$KORVANE_ROOT/build/$preset" -j"$(nproc)" "${targets[@]}"
}
