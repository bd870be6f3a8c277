#!/bin/sh
# Installs the build tree into a temporary DESTDIR under the prefix /usr, as the Debian
# package does, and checks what lands there: every file and nothing else, the link to the
# spooler, the desktop entries, the icons' sizes, the manual pages (and that they describe
# the options the programs have), and that the installed pagello-render runs.
#
#   install-test.sh CMAKE BUILD_DIR VERSION
#
# A checker that is not installed (desktop-file-validate, man) leaves its check out; the
# test then ends as skipped (77) unless something failed.
set -u

CMAKE=$1
BUILD=$2
VERSION=$3
SIZES="16 22 24 32 48 64 128 256"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/pagello-install-test.XXXXXX") || exit 1
trap 'rm -rf "$WORK"' EXIT INT TERM
DEST=$WORK/dest
ROOT=$DEST/usr

failures=0
unchecked=""
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
has() {
    command -v "$1" >/dev/null 2>&1
}

if ! DESTDIR=$DEST "$CMAKE" --install "$BUILD" --prefix /usr >"$WORK/install.log" 2>&1; then
    cat "$WORK/install.log" >&2
    echo "FAIL: cmake --install failed" >&2
    exit 1
fi

# Every file and link, and nothing else.
expected=$WORK/expected
{
    echo usr/bin/pagello
    echo usr/bin/pagello-render
    echo usr/libexec/pagello/pagello
    echo usr/libexec/pagello/kavrin.fxp
    echo usr/share/applications/pagello.desktop
    echo usr/share/doc/pagello/changelog.Debian.gz
    echo usr/share/doc/pagello/copyright
    echo usr/share/doc/pagello/examples/pagello.desktop
    echo usr/share/doc/pagello/examples/smb.conf
    echo usr/share/lintian/overrides/pagello
    echo usr/share/metainfo/io.github.pagello.Pagello.metainfo.xml
    for size in $SIZES; do
        echo "usr/share/icons/hicolor/${size}x${size}/apps/pagello.png"
    done
    echo usr/share/man/man1/pagello.1.gz
    echo usr/share/man/man1/pagello-render.1.gz
} | sort >"$expected"
(cd "$DEST" && find . ! -type d | sed 's|^\./||' | sort) >"$WORK/installed"
if ! diff -u "$expected" "$WORK/installed" >"$WORK/diff"; then
    fail "the installed files differ from the expected ones (- missing, + unexpected):"
    cat "$WORK/diff" >&2
fi

# The programs; the spooler beside the switch of its watcher, reached through a relative
# link (so that it resolves under any prefix and DESTDIR).
for program in "$ROOT/libexec/pagello/pagello" "$ROOT/bin/pagello-render"; do
    [ -f "$program" ] && [ ! -L "$program" ] && [ -x "$program" ] || fail "$program is not an executable file"
done
[ -f "$ROOT/libexec/pagello/kavrin.fxp" ] && [ ! -s "$ROOT/libexec/pagello/kavrin.fxp" ] ||
    fail "kavrin.fxp is not an empty file beside the spooler"
if [ ! -L "$ROOT/bin/pagello" ]; then
    fail "bin/pagello is not a link"
else
    case $(readlink "$ROOT/bin/pagello") in
    /*) fail "bin/pagello links to an absolute path: $(readlink "$ROOT/bin/pagello")" ;;
    esac
    [ "$(readlink -f "$ROOT/bin/pagello")" = "$(readlink -f "$ROOT/libexec/pagello/pagello")" ] ||
        fail "bin/pagello does not lead to libexec/pagello/pagello"
fi

# The installed tool runs from where it was installed and tells its version.
out=$(QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$WORK "$ROOT/bin/pagello-render" --version 2>"$WORK/render.err")
[ "$out" = "pagello-render $VERSION" ] || fail "pagello-render --version gave '$out' $(cat "$WORK/render.err")"

# The desktop entries: valid, the same, starting the spooler on a spool directory of the
# user's own with the icon installed.
entry=$ROOT/share/applications/pagello.desktop
example=$ROOT/share/doc/pagello/examples/pagello.desktop
cmp -s "$entry" "$example" || fail "the autostart example differs from the desktop entry"
if has desktop-file-validate; then
    for file in "$entry" "$example"; do
        desktop-file-validate "$file" >"$WORK/validate" 2>&1 || {
            fail "desktop-file-validate $file:"
            cat "$WORK/validate" >&2
        }
    done
else
    unchecked="$unchecked desktop-file-validate"
fi
for line in 'Type=Application' 'Icon=pagello' 'Name\[cs\]=' 'Comment\[cs\]=' 'Exec=.*PAGELLO=.*\$HOME/tisk.* pagello"$'; do
    grep -q "^$line" "$entry" || fail "the desktop entry has no line '$line'"
done

# The software centre's entry: valid, launching the desktop entry installed beside it.
metainfo=$ROOT/share/metainfo/io.github.pagello.Pagello.metainfo.xml
if has appstreamcli; then
    appstreamcli validate --no-net "$metainfo" >"$WORK/appstream" 2>&1 || {
        fail "appstreamcli validate $metainfo:"
        cat "$WORK/appstream" >&2
    }
else
    unchecked="$unchecked appstreamcli"
fi
launched=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
[ -n "$launched" ] && [ -f "$ROOT/share/applications/$launched" ] ||
    fail "the metainfo launches '$launched', which is not installed"
for binary in pagello pagello-render; do
    grep -q "<binary>$binary</binary>" "$metainfo" || fail "the metainfo does not provide $binary"
done

# The icons: PNG files of their size (width and height are the big-endian words at 16).
for size in $SIZES; do
    icon=$ROOT/share/icons/hicolor/${size}x${size}/apps/pagello.png
    [ -f "$icon" ] || continue
    signature=$(od -An -tx1 -N8 "$icon" | tr -d ' \n')
    dimensions=$(od -An -tu1 -j16 -N8 "$icon" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }')
    [ "$signature" = 89504e470d0a1a0a ] || fail "$icon is not a PNG file"
    [ "$dimensions" = "${size}x${size}" ] || fail "$icon is $dimensions, not ${size}x${size}"
done

# The manual pages: gzipped, formatted without a warning, and telling what the programs
# take.
page_text() {
    gzip -dc "$ROOT/share/man/man1/$1.1.gz"
}
for page in pagello pagello-render; do
    gz=$ROOT/share/man/man1/$page.1.gz
    [ -f "$gz" ] || continue
    gzip -t "$gz" 2>/dev/null || {
        fail "$gz is not gzipped"
        continue
    }
    warnings=$(page_text "$page" | groff -k -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
    if has man; then
        MANWIDTH=80 man -l "$gz" >"$WORK/$page.txt" 2>"$WORK/man.err" || fail "man -l $gz: $(cat "$WORK/man.err")"
        grep -q "^NAME" "$WORK/$page.txt" || fail "man -l $gz shows no NAME section"
    else
        unchecked="$unchecked man"
    fi
done
help=$(QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$WORK "$ROOT/bin/pagello-render" --help 2>/dev/null)
options=$(printf '%s\n' "$help" | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || fail "pagello-render --help names no options"
for option in $options; do
    page_text pagello-render | grep -q -- "$(printf '%s' "$option" | sed 's/-/\\\\-/g')" ||
        fail "pagello-render.1 does not describe $option"
done
for word in PAGELLO PAGELLO_CP PAGELLO_REGISTRY /u /a tisk kavrin.fxp logo.bmp AutoStart PrinterIndex PagesSpool \
    /usr/libexec/pagello \
    "Pagello $VERSION"; do
    page_text pagello | grep -qF -- "$word" || fail "pagello.1 does not mention $word"
done

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
if [ -n "$unchecked" ]; then
    echo "not checked, not installed:$unchecked"
    exit 77
fi
echo "all installed in place"
