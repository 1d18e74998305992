# Shared by the packaging tests: facts of the configured build, the list of
# installed files, and the checks of an installed tree.
# Usage: source common.sh FACTS_FILE

FACTS=$1
# shellcheck disable=SC1090
. "$FACTS"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Ends the test: 0 when every check passed.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

# Scratch directory, removed at exit.
make_scratch() {
    SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/temp-packaging.XXXXXX")
    trap 'rm -rf "$SCRATCH"' EXIT
}

# Every regular file and link the install puts below the prefix, relative to it, sorted.
expected_files() {
    {
        echo "$BINDIR/temp"
        echo "$BINDIR/temp-probe"
        echo "$UNIT_DIR/temp@.service"
        echo "$SYSUSERS_DIR/temp.conf"
        echo "$DOCDIR/examples/temp-adapter.env"
        echo "$MANDIR/man1/temp.1.gz"
        echo "$MANDIR/man1/temp-probe.1.gz"
        for rule in $UDEV_RULES; do
            echo "$UDEV_RULES_DIR/$rule"
        done
        if [ "$WITH_VIEWER" = 1 ]; then
            echo "$BINDIR/Karvix"
            echo "$DATADIR/applications/Karvix.desktop"
            echo "$DATADIR/icons/hicolor/scalable/apps/Karvix.svg"
            echo "$MANDIR/man1/Karvix.1.gz"
        fi
    } | LC_ALL=C sort
}

# Compares two sorted lists given as files; names each difference.
compare_lists() {  # what expected_file actual_file
    local what=$1 missing extra
    missing=$(LC_ALL=C comm -23 "$2" "$3")
    extra=$(LC_ALL=C comm -13 "$2" "$3")
    [ -z "$missing" ] || fail "$what lacks: $(echo "$missing" | tr "\n" " ")"
    [ -z "$extra" ] || fail "$what has unexpected: $(echo "$extra" | tr "\n" " ")"
}

# The value of the first "Key=" line of a file (no section handling needed here).
key_value() {  # file key
    sed -n "s/^$2=//p" "$1" | head -n 1
}

# Checks an installed tree: ROOT is the file system root it was installed into
# (DESTDIR, or an unpacked package), so the programs sit at ROOT$PREFIX/bin.
check_tree() {
    local top=$1$PREFIX
    local unit="$top/$UNIT_DIR/temp@.service"

    (cd "$top" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort) > "$SCRATCH/actual.lst"
    expected_files > "$SCRATCH/expected.lst"
    compare_lists "installed tree" "$SCRATCH/expected.lst" "$SCRATCH/actual.lst"

    local prog
    for prog in temp $([ "$WITH_VIEWER" = 1 ] && echo Karvix); do
        [ -x "$top/$BINDIR/$prog" ] || fail "$prog is not installed as an executable"
    done

    # The unit: argv[0] inside the state directory, the real program from the prefix.
    if [ -f "$unit" ]; then
        local exec_line
        exec_line=$(key_value "$unit" ExecStart)
        [ "$exec_line" = "@$PREFIX/$BINDIR/temp $STATE_ROOT/%i/temp \${TEMP_ADAPTER}" ] ||
            fail "unit ExecStart is '$exec_line'"
        grep -q '@TEMP_\|@CMAKE_' "$unit" && fail "unit has unreplaced placeholders"
    fi

    local rule
    for rule in $UDEV_RULES; do
        grep -q 'ATTR{idVendor}=="04fa"' "$top/$UDEV_RULES_DIR/$rule" 2>/dev/null || fail "udev rule $rule does not name the adapter"
    done

    # Man pages: compressed roff that formats without warnings.
    local page out
    for page in "$top/$MANDIR"/man1/*.1.gz; do
        [ -f "$page" ] || continue
        gzip -t "$page" || fail "$page is not gzip data"
        if command -v man >/dev/null; then
            out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
            [ -z "$out" ] || fail "man $page warns: $out"
            LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | grep -q '^NAME' || fail "man $page has no NAME section"
        fi
    done

    if [ "$WITH_VIEWER" = 1 ]; then
        local desktop="$top/$DATADIR/applications/Karvix.desktop"
        local icon="$top/$DATADIR/icons/hicolor/scalable/apps/Karvix.svg"
        if [ -f "$desktop" ]; then
            local exec_bin
            exec_bin=$(key_value "$desktop" Exec | cut -d' ' -f1)
            [ "$exec_bin" = "$PREFIX/$BINDIR/Karvix" ] || fail "desktop Exec runs '$exec_bin'"
            [ "$(key_value "$desktop" Icon)" = "Karvix" ] || fail "desktop Icon is not Karvix"
            if command -v desktop-file-validate >/dev/null; then
                out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop entry invalid: $out"
            fi
        fi
        if [ -f "$icon" ] && command -v python3 >/dev/null; then
            python3 -c 'import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot(); sys.exit(r.tag != "{http://www.w3.org/2000/svg}svg")' "$icon" ||
                fail "icon is not an SVG document"
        fi
    fi
}
