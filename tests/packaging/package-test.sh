#!/bin/sh
# Makes the Debian package of the build tree (`cpack -G DEB`, into a temporary directory)
# and checks it as the archive would: lintian reports no error and no warning, and the
# AppStream metadata it carries is valid. Also that it holds the programs stripped, its
# Debian documentation, and hardened programs.
#
#   package-test.sh BUILD_DIR
#
# Without lintian, dpkg-deb or cpack there is nothing to check: the test ends as skipped (77).
set -u

BUILD=$1
for tool in cpack lintian dpkg-deb; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "$tool is not installed"
        exit 77
    }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/pagello-package-test.XXXXXX") || exit 1
trap 'rm -rf "$WORK"' EXIT INT TERM
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK" >"$WORK/cpack.log" 2>&1; then
    cat "$WORK/cpack.log" >&2
    echo "FAIL: cpack made no package" >&2
    exit 1
fi
set -- "$WORK"/pagello_*.deb
DEB=$1
[ -f "$DEB" ] || {
    echo "FAIL: cpack made no package" >&2
    exit 1
}
echo "package: $(basename "$DEB")"

# Errors and warnings fail; what lintian only mentions (info, pedantic) is shown.
lintian --no-cfg --display-info "$DEB" >"$WORK/lintian" 2>&1
cat "$WORK/lintian"
if grep -E '^[EW]: ' "$WORK/lintian" >"$WORK/lintian-faults"; then
    fail "lintian reports errors or warnings:"
    cat "$WORK/lintian-faults" >&2
fi

dpkg-deb -x "$DEB" "$WORK/root"
dpkg-deb -c "$DEB" >"$WORK/contents"
for file in usr/share/doc/pagello/copyright usr/share/doc/pagello/changelog.Debian.gz \
    usr/share/metainfo/io.github.pagello.Pagello.metainfo.xml; do
    [ -f "$WORK/root/$file" ] || fail "the package has no $file"
done
if command -v appstreamcli >/dev/null 2>&1; then
    appstreamcli validate --no-net "$WORK/root/usr/share/metainfo/io.github.pagello.Pagello.metainfo.xml" \
        >"$WORK/appstream" 2>&1 || {
        fail "appstreamcli validate:"
        cat "$WORK/appstream" >&2
    }
fi
# Stripped, position-independent, bound at start: what readelf sees of each program (lintian
# judges the checked functions: a program whose calls need none has none).
for program in usr/libexec/pagello/pagello usr/bin/pagello-render; do
    elf=$WORK/root/$program
    [ -f "$elf" ] || {
        fail "the package has no $program"
        continue
    }
    readelf -S "$elf" | grep -q '\.debug_info' && fail "$program carries debug symbols"
    readelf -S "$elf" | grep -q '\.symtab' && fail "$program is not stripped"
    readelf -h "$elf" | grep -q 'DYN (' || fail "$program is not position-independent"
    readelf -d "$elf" | grep -Eq 'BIND_NOW|FLAGS.*NOW' || fail "$program is not bound at start (-z now)"
    readelf -l "$elf" | grep -q GNU_RELRO || fail "$program has no read-only relocations (-z relro)"
done

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "the package is clean"
