# Helpers for the CI stages: install what a stage needs on a fresh machine, only when it
# is missing. Sourced, not run.

# Runs a command as root (directly, or through sudo when there is one).
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are not installed yet; waits for another dpkg user.
need_debian_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing ${missing[*]}"
    for attempt in 1 2 3 4 5 6; do
        if as_root apt-get -o DPkg::Lock::Timeout=120 update -qq &&
            as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 \
                install -y -qq --no-install-recommends "${missing[@]}"; then
            return 0
        fi
        echo "apt-get failed (attempt $attempt), retrying in 20 s"
        sleep 20
    done
    return 1
}

# scikit-build-core, CMake and Ninja for builds outside pip's build isolation.
need_build_tools() {
    python3 -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.26" ninja
}

# mingw-w64, Wine, CMake and Ninja for the Windows build; sets $wine and $wineserver.
need_windows_tools() {
    local missing=()
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
    [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || missing+=(wine64)
    ((${#missing[@]} == 0)) || need_debian_packages "${missing[@]}"
    { command -v cmake && command -v ninja; } >/dev/null || need_build_tools
    if [ -x /usr/lib/wine/wine64 ]; then
        wine=/usr/lib/wine/wine64
        wineserver=/usr/lib/wine/wineserver64
    else
        wine=$(command -v wine64)
        wineserver=$(command -v wineserver)
    fi
}

# Cross-builds the library, the module (.pyd) and the Windows test programs into $1.
cross_build() {
    TORQ_WIN64_BUILD=$1 "$PWD/tools/win64-build"
}
