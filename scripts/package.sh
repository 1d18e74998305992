#!/usr/bin/env bash
# Builds the release: the Debian packages of every architecture and the Windows
# zips, with their SHA-256 sums, into one folder.
# Usage: scripts/package.sh [--arch "amd64 arm64 armhf windows"] [--upgrade-test OLD_DEB] [OUT_DIR]
#   OUT_DIR defaults to release/. Each Debian architecture is built in its own
#   release tree, build-deb (this machine's) or build-deb-ARCH, with the prefix
#   /usr, so the paths written into the systemd unit and the desktop entry are
#   the installed ones, and each pair of packages is checked with
#   tests/packaging/deb_test.sh. Per architecture: temp (headless) and karvix
#   (the viewer); a cross build makes karvix only where Qt 6 for that
#   architecture is installed (qt6-base-dev:ARCH, qt6-charts-dev:ARCH,
#   libqt6opengl6-dev:ARCH), and says so when it is not.
#   --upgrade-test OLD_DEB: then tests/packaging/upgrade_test.sh on this
#   machine's packages (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
host=$(dpkg --print-architecture)
archs="$host arm64 armhf windows"
old_deb=
while [ $# -gt 0 ]; do
    case $1 in
        --arch) archs=$2; shift 2 ;;
        --upgrade-test) old_deb=$(realpath "$2"); shift 2 ;;
        -*) echo "package: unknown option '$1'" >&2; exit 2 ;;
        *) break ;;
    esac
done
out=$(mkdir -p "${1:-release}" && cd "${1:-release}" && pwd)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

# One architecture's packages into OUT_DIR, checked.
debs() {  # arch
    local arch=$1 dir=$root/build-deb options=() env=()
    if [ "$arch" != "$host" ]; then
        local triplet
        case $arch in
            arm64) triplet=aarch64-linux-gnu ;;
            armhf) triplet=arm-linux-gnueabihf ;;
            *) echo "package: unknown architecture '$arch'" >&2; exit 2 ;;
        esac
        bash scripts/install-deps.sh --cross "$arch" >&2
        dir=$root/build-deb-$arch
        options=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triplet.cmake")
        if [ -f "/usr/lib/$triplet/cmake/Qt6Charts/Qt6ChartsConfig.cmake" ] &&
           [ -f "/usr/lib/$triplet/cmake/Qt6OpenGL/Qt6OpenGLConfig.cmake" ]; then
            options+=(-DTEMP_BUILD_VIEWER=ON)
        else
            options+=(-DTEMP_BUILD_VIEWER=OFF)
            echo "package: $arch without karvix: Qt 6 for $arch is not installed (apt-get install qt6-base-dev:$arch qt6-charts-dev:$arch libqt6opengl6-dev:$arch)" >&2
        fi
        # dpkg-shlibdeps looks for the target's libraries by the host architecture it is given.
        env=(DEB_HOST_ARCH="$arch")
    fi
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
          -DTEMP_BUILD_TESTS=OFF -DTEMP_BUILD_BENCH=OFF -DTEMP_SANITIZE=OFF \
          ${options[@]+"${options[@]}"} ${launcher[@]+"${launcher[@]}"} >/dev/null
    cmake --build "$dir" -j"$(nproc)" >&2
    rm -rf "$dir/_packages"
    (cd "$dir" && env ${env[@]+"${env[@]}"} cpack -G DEB -B "$dir/_packages" >/dev/null)
    bash tests/packaging/deb_test.sh "$dir" "$dir/packaging/packaging-facts.sh" "$dir/_packages" >&2
    cp "$dir"/_packages/*.deb "$out/"
}

for arch in $archs; do
    case $arch in
        windows) bash scripts/windows-release.sh "$out" >&2 ;;
        *) debs "$arch" ;;
    esac
done
if [ -n "$old_deb" ]; then
    bash tests/packaging/upgrade_test.sh "$old_deb" "$out"
fi
(cd "$out" && shopt -s nullglob && rm -f SHA256SUMS && sha256sum -- *.deb *.zip > SHA256SUMS)
ls -1 "$out"
