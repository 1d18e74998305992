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

# A check that could not run because its tool is missing: said in the output,
# and the whole test then counts as skipped (exit 77), never as passed.
skipped=()
need_tool() {  # tool package
    command -v "$1" >/dev/null && return 0
    echo "SKIP: $1 is not installed (Debian package $2), its check is left out" >&2
    skipped+=("$1")
    return 1
}

# Ends the test: 0 when every check passed, 77 when some could not run.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    if [ ${#skipped[@]} -ne 0 ]; then
        echo "SKIP: checks left out for want of ${skipped[*]} (scripts/install-deps.sh installs them)"
        exit 77
    fi
    echo "all checks passed"
    exit 0
}

# Scratch directory, removed at exit.
make_scratch() {
    SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/temp-packaging.XXXXXX")
    trap 'rm -rf "$SCRATCH"' EXIT
}

# Every regular file and link the install puts below the prefix, relative to it,
# sorted: of one package (temp, the headless one, karvix, the viewer, or
# temp-web, the web page) or all.
expected_files() {  # [temp|karvix|temp-web|all]
    local which=${1:-all}
    {
        if [ "$which" = temp ] || [ "$which" = all ]; then
            echo "$BINDIR/temp"
            echo "$BINDIR/temp-probe"
            echo "$UNIT_DIR/temp@.service"
            echo "$SYSUSERS_DIR/temp.conf"
            echo "$DOCDIR/examples/temp-adapter.env"
            echo "$DATADIR/temp/temp.conf"
            echo "$DOCDIR/examples/temp-mqtt.conf"
            echo "$DOCDIR/examples/temp-metrics-tmpfiles.conf"
            echo "$DOCDIR/examples/temp-alerts.yml"
            echo "$DOCDIR/examples/temp-alertmanager.yml"
            echo "$DOCDIR/examples/temp-dashboard.json"
            echo "$MANDIR/man1/temp.1.gz"
            echo "$MANDIR/man1/temp-probe.1.gz"
            echo "$DATADIR/doc/temp/copyright"
            echo "$DATADIR/doc/temp/changelog.Debian.gz"
            for rule in $UDEV_RULES; do
                echo "$UDEV_RULES_DIR/$rule"
            done
            if [ "${WITH_HISTORY:-0}" = 1 ]; then
                echo "$BINDIR/temp-history"
                echo "$MANDIR/man1/temp-history.1.gz"
            fi
        fi
        if { [ "$which" = temp-web ] || [ "$which" = all ]; } && [ "${WITH_WEB:-0}" = 1 ]; then
            echo "$BINDIR/temp-web"
            echo "$UNIT_DIR/temp-web.service"
            echo "$MANDIR/man1/temp-web.1.gz"
            echo "$DATADIR/doc/temp-web/copyright"
            echo "$DATADIR/doc/temp-web/changelog.Debian.gz"
        fi
        if { [ "$which" = karvix ] || [ "$which" = all ]; } && [ "$WITH_VIEWER" = 1 ]; then
            echo "$BINDIR/Karvix"
            echo "$DATADIR/applications/Karvix.desktop"
            echo "$DATADIR/icons/hicolor/scalable/apps/Karvix.svg"
            echo "$MANDIR/man1/Karvix.1.gz"
            echo "$DATADIR/doc/karvix/copyright"
            echo "$DATADIR/doc/karvix/changelog.Debian.gz"
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
    for prog in temp $([ "$WITH_VIEWER" = 1 ] && echo Karvix) $([ "${WITH_HISTORY:-0}" = 1 ] && echo temp-history); do
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

    # The metrics example: applied to a scratch root, it links node_exporter's
    # textfile folder to the file in the state directory of instance 1.
    local tmpfiles="$top/$DOCDIR/examples/temp-metrics-tmpfiles.conf"
    if [ -f "$tmpfiles" ] && command -v systemd-tmpfiles >/dev/null; then
        local fake="$SCRATCH/tmpfiles-root" out
        mkdir -p "$fake/etc"
        echo "$SERVICE_USER:x:990:990::$STATE_ROOT:/usr/sbin/nologin" > "$fake/etc/passwd"
        echo "$SERVICE_USER:x:990:" > "$fake/etc/group"
        if out=$(systemd-tmpfiles --root="$fake" --create "$tmpfiles" 2>&1); then
            [ "$(readlink "$fake$TEXTFILE_DIR/temp-1.prom")" = "$STATE_ROOT/1/metrics.prom" ] ||
                fail "tmpfiles example makes no link $TEXTFILE_DIR/temp-1.prom -> $STATE_ROOT/1/metrics.prom"
            [ -f "$fake$STATE_ROOT/1/metrics.prom" ] && [ "$(stat -c %u "$fake$STATE_ROOT/1/metrics.prom")" = 990 ] ||
                fail "tmpfiles example makes no empty metrics file owned by $SERVICE_USER"
        else
            fail "systemd-tmpfiles rejects the metrics example: $out"
        fi
        rm -rf "$fake"
    fi
    grep -q '@TEMP_' "$tmpfiles" 2>/dev/null && fail "tmpfiles example has unreplaced placeholders"

    local rule
    for rule in $UDEV_RULES; do
        grep -q 'ATTR{idVendor}=="04fa"' "$top/$UDEV_RULES_DIR/$rule" 2>/dev/null || fail "udev rule $rule does not name the adapter"
    done

    # Man pages: compressed roff that formats without warnings.
    local page out
    for page in "$top/$MANDIR"/man1/*.1.gz; do
        [ -f "$page" ] || continue
        gzip -t "$page" || fail "$page is not gzip data"
        if need_tool man man-db; then
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
            if need_tool desktop-file-validate desktop-file-utils; then
                out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop entry invalid: $out"
            fi
        fi
        if [ -f "$icon" ] && need_tool python3 python3; then
            python3 -c 'import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot(); sys.exit(r.tag != "{http://www.w3.org/2000/svg}svg")' "$icon" ||
                fail "icon is not an SVG document"
        fi
    fi
}
