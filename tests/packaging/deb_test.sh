#!/usr/bin/env bash
# Builds the Debian packages from the build tree with CPack and checks them: temp,
# the headless logger, and karvix, the viewer (when built). Control data
# (dpkg-deb --field), file lists (dpkg-deb --contents), and both unpacked into one
# tree. Exit 77: dpkg-deb missing.
# Usage: deb_test.sh BUILD_DIR FACTS_FILE [PACKAGE_DIR]
#   (with PACKAGE_DIR, checks the packages already made there instead)
set -u
build=$1
source "$(dirname "$0")/common.sh" "$2"
pkgdir=${3:-}

if ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg-deb is not installed (Debian package dpkg)"
    exit 77
fi
make_scratch

if [ -z "$pkgdir" ]; then
    pkgdir=$SCRATCH/pkg
    if ! cpack --config "$build/CPackConfig.cmake" -B "$pkgdir" > "$SCRATCH/cpack.log" 2>&1; then
        cat "$SCRATCH/cpack.log" >&2
        find "$pkgdir" -name '*.log' -exec cat {} + >&2 2>/dev/null
        fail "cpack failed"
        finish
    fi
fi

arch=${DEB_ARCH:-$(dpkg --print-architecture)}
packages=temp
[ "$WITH_VIEWER" = 1 ] && packages="temp karvix"
[ "${WITH_WEB:-0}" = 1 ] && packages="$packages temp-web"
made=$(cd "$pkgdir" && ls -- *.deb 2>/dev/null | LC_ALL=C sort | tr '\n' ' ')
wanted=$(for p in $packages; do echo "${p}_${PACKAGE_VERSION}_$arch.deb"; done | LC_ALL=C sort | tr '\n' ' ')
[ "$made" = "$wanted" ] || fail "packages made: '$made', wanted: '$wanted'"

# The names of a Depends-like field, one a line.
names() { tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//' | sed '/^$/d'; }

mkdir -p "$SCRATCH/root"
for package in $packages; do
    deb=$pkgdir/${package}_${PACKAGE_VERSION}_$arch.deb
    [ -f "$deb" ] || continue
    field() { dpkg-deb --field "$deb" "$1"; }
    [ "$(field Package)" = "$package" ] || fail "$package: Package is '$(field Package)'"
    [ "$(field Version)" = "$PACKAGE_VERSION" ] || fail "$package: Version is '$(field Version)'"
    [ "$(field Architecture)" = "$arch" ] || fail "$package: Architecture is '$(field Architecture)'"
    depends=$(field Depends)
    info=$(dpkg-deb --info "$deb")
    case $package in
    temp)
        wanted_deps="adduser libc6 libstdc++6"
        [ "$WITH_LIBUSB" = 1 ] && wanted_deps="$wanted_deps libusb-1.0-0"
        [ "${WITH_HISTORY:-0}" = 1 ] && wanted_deps="$wanted_deps libsqlite3-0"
        # Headless: nothing graphical, directly or by a recommendation.
        graphical=$(printf '%s,%s\n' "$depends" "$(field Recommends)" | names | grep -E '^lib(qt|x|gtk|gl|egl|wayland)|^(qt|x11|xserver|gtk)' )
        [ -z "$graphical" ] || fail "temp depends on graphical packages: $graphical"
        for script in postinst prerm postrm; do
            echo "$info" | grep -qE "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script +#!/bin/sh" ||
                fail "temp: control has no executable $script"
        done
        ;;
    karvix)
        wanted_deps="libc6 libstdc++6 libqt6widgets6 libqt6gui6 libqt6core6"
        echo "$depends" | names | grep -qx temp && fail "karvix depends on temp: $depends"
        # Takes the viewer's files over from the single package of before the split.
        for rel in Replaces Breaks; do
            [ "$(field "$rel")" = "temp (<< ${PACKAGE_VERSION%-*}-2~)" ] || fail "karvix: $rel is '$(field "$rel")'"
        done
        echo "$info" | grep -qE '\* +(postinst|prerm|postrm) ' && fail "karvix has maintainer scripts"
        ;;
    temp-web)
        # The chart library it serves; no maintainer scripts, so its unit stays off until enabled.
        wanted_deps="libc6 libstdc++6 libjs-dygraphs libsqlite3-0 libcpp-httplib0.11"
        echo "$info" | grep -qE '\* +(postinst|prerm|postrm) ' && fail "temp-web has maintainer scripts"
        ;;
    esac
    for dep in $wanted_deps; do
        echo "$depends" | names | grep -qx "$dep" || fail "$package: Depends lacks $dep: $depends"
    done

    # File list: every file owned by root, below the prefix, and nothing else.
    dpkg-deb --contents "$deb" > "$SCRATCH/contents.txt"
    not_root=$(awk '$2 != "root/root"' "$SCRATCH/contents.txt")
    [ -z "$not_root" ] || fail "$package: not owned by root: $not_root"
    awk '$1 !~ /^d/ { print $6 }' "$SCRATCH/contents.txt" | sed "s|^\.$PREFIX/||" | LC_ALL=C sort > "$SCRATCH/listed.lst"
    expected_files "$package" > "$SCRATCH/expected.lst"
    compare_lists "package $package" "$SCRATCH/expected.lst" "$SCRATCH/listed.lst"
    dpkg-deb -x "$deb" "$SCRATCH/root"
    # The changelog's newest entry is this version: a new revision needs its entry.
    newest=$(gzip -dc "$SCRATCH/root$PREFIX/$DATADIR/doc/$package/changelog.Debian.gz" 2>/dev/null | head -n 1)
    [ "${newest%%)*})" = "$package ($PACKAGE_VERSION)" ] || fail "$package: changelog begins '$newest'"

    # Debian's own checks: no errors (the warnings left are in docs/packaging.md).
    # Only packages for /usr are Debian's kind: lintian refuses /usr/local.
    if [ "$PREFIX" = /usr ] && need_tool lintian lintian; then
        lintian --no-tag-display-limit "$deb" > "$SCRATCH/lintian.txt" 2>&1
        grep '^E: ' "$SCRATCH/lintian.txt" >&2 && fail "$package: lintian reports errors"
    fi
done

# Both unpacked together pass the same checks as an installation.
check_tree "$SCRATCH/root"

# The programs say the packages' version (without the Debian revision).
for program in temp temp-probe temp-history; do
    [ -x "$SCRATCH/root$PREFIX/$BINDIR/$program" ] || continue
    said=$($EMULATOR "$SCRATCH/root$PREFIX/$BINDIR/$program" --version)
    [ "$said" = "$program ${PACKAGE_VERSION%-*}" ] || fail "$program --version says '$said', the package ${PACKAGE_VERSION}"
done
finish
