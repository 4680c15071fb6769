# Shared by scripts/test, scripts/run and scripts/package: install what is
# missing, build presets, make the packages.
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

NATIVE_PACKAGES=(cmake make g++ libgtest-dev googletest python3 rsync python3-fusepy libxxhash-dev acl)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686)
WINE_PACKAGES=(wine wine64 xvfb xauth imagemagick)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
ANALYSIS_PACKAGES=(clang-tidy clang-format cppcheck)
# Making the packages and checking them as a user meets them.
PACKAGE_PACKAGES=(dpkg-dev git gzip file lintian man-db groff-base bash-completion)

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

# Makes the packages into build/packages: the Debian package of the front end
# (the package preset) and a zip of both programs for each Windows build.
make_packages() {
    local out=$KORVANE_ROOT/build/packages preset
    rm -rf "$out" && mkdir -p "$out" || return 1
    build_preset package || return 1
    build_preset win64 korvane korvaneui || return 1
    build_preset win32 korvane korvaneui || return 1
    for preset in package win64 win32; do
        if ! (cd "$KORVANE_ROOT/build/$preset" && cpack -B "$out") >"$out/cpack.log" 2>&1; then
            cat "$out/cpack.log"
            return 1
        fi
    done
    rm -rf "$out/_CPack_Packages" "$out/cpack.log"
}
