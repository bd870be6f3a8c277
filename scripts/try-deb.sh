#!/bin/sh
# Builds the Debian package and tries it on a fresh Debian 12, as a user would meet it:
#
#   1. builds the programs and `cpack -G DEB` in $BUILD (build-deb unless set), and checks
#      the package with lintian (no error, no warning) and its AppStream metadata with
#      `appstreamcli validate`;
#   2. makes a bookworm system with debootstrap from deb.debian.org in a temporary
#      directory (the bare system is cached as $PAGELLO_CHROOT_CACHE, by default
#      /tmp/pagello-bookworm-chroot.tar.gz, so a second run only unpacks it);
#   3. installs the package there with `apt-get install ./pagello_*.deb` (without the
#      recommended packages: what it depends on must be enough) and checks that the
#      installed programs find their libraries, fonts and files;
#   4. on a network, an X display (Xvfb) and a print server (a private cupsd whose
#      default printer keeps each job as a file) of the chroot's own, starts the spooler
#      as an ordinary user from the Exec line of its desktop entry, drops a .PRN file
#      into that user's ~/tisk, and waits for the job to arrive and the file to be
#      deleted; then ends the spooler with `pagello /u` and looks for its settings.
#
# A check by hand for developers, not part of the test suite. Needs root and the network.
# Everything it starts runs inside the chroot's own namespaces and ends with it.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD:-$ROOT/build-deb}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
CACHE=${PAGELLO_CHROOT_CACHE:-/tmp/pagello-bookworm-chroot.tar.gz}
MIRROR=http://deb.debian.org/debian
SECURITY=http://deb.debian.org/debian-security
JOBS=$(nproc 2>/dev/null || echo 2)
# What the trial itself needs in the chroot besides the package.
HARNESS="xvfb cups-daemon cups-client passwd"

say() {
    printf '\n== %s\n' "$*"
}
die() {
    printf 'try-deb: %s\n' "$*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || die "must run as root (debootstrap, chroot)"
for tool in unshare chroot tar; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done
if ! command -v debootstrap >/dev/null; then
    say "Installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
fi

say "Building the package in $BUILD"
scripts/install-deps
launcher=""
if command -v ccache >/dev/null; then
    launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
# shellcheck disable=SC2086
QT_QPA_PLATFORM=offscreen cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release $launcher >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target pagello pagello-render pagello-install-data
rm -f "$BUILD"/pagello_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
set -- "$BUILD"/pagello_*.deb
[ -f "$1" ] || die "cpack made no package"
DEB=$1
echo "package: $DEB"
dpkg-deb -f "$DEB" Depends Recommends

# What the archive and a software centre would say of it: any error or warning stops here.
say "Checking the package with lintian and appstreamcli"
for tool in lintian appstreamcli; do
    command -v "$tool" >/dev/null || die "$tool is not installed (scripts/install-deps installs it)"
done
lintian_out=$(lintian --no-cfg --display-info "$DEB" 2>&1) || true
[ -z "$lintian_out" ] || printf '%s\n' "$lintian_out"
if printf '%s\n' "$lintian_out" | grep -qE '^[EW]: '; then
    die "lintian reports errors or warnings"
fi
echo "lintian: no error, no warning"
metainfo_dir=$(mktemp -d /tmp/pagello-metainfo.XXXXXX)
dpkg-deb --fsys-tarfile "$DEB" | tar -x -C "$metainfo_dir" ./usr/share/metainfo
if ! appstreamcli validate --no-net "$metainfo_dir"/usr/share/metainfo/*.metainfo.xml; then
    rm -rf "$metainfo_dir"
    die "appstreamcli reports errors or warnings"
fi
rm -rf "$metainfo_dir"

WORK=$(mktemp -d /tmp/pagello-try-deb.XXXXXX)
R=$WORK/root
cleanup() {
    # The mounts live in namespaces that are gone by now; never delete through one.
    if grep -q " $WORK/" /proc/self/mountinfo; then
        echo "try-deb: $WORK still has mounts; left in place" >&2
    else
        rm -rf --one-file-system "$WORK"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Runs a command in the chroot with /proc and /dev, in a mount namespace of its own.
# Extra unshare options (such as --net --pid) go before "--".
in_chroot() {
    opts=""
    while [ "$1" != "--" ]; do
        opts="$opts $1"
        shift
    done
    shift
    # shellcheck disable=SC2086
    unshare --mount --fork $opts -- sh -c '
        set -e
        r=$1
        shift
        mount -t proc proc "$r/proc"
        mount --rbind /dev "$r/dev"
        mount -t tmpfs tmpfs "$r/tmp"
        exec chroot "$r" "$@"' sh "$R" "$@"
}

if [ -f "$CACHE" ]; then
    say "Unpacking the cached bookworm system $CACHE"
    mkdir "$R"
    tar -xzf "$CACHE" -C "$R"
else
    say "Making a bookworm system with debootstrap (cached afterwards as $CACHE)"
    debootstrap --variant=minbase bookworm "$R" "$MIRROR" >"$WORK/debootstrap.log" 2>&1 ||
        {
            tail -20 "$WORK/debootstrap.log" >&2
            die "debootstrap failed"
        }
    cat >"$R/etc/apt/sources.list" <<EOF
deb $MIRROR bookworm main
deb $MIRROR bookworm-updates main
deb $SECURITY bookworm-security main
EOF
    # Packages installed in a chroot start no services.
    printf '#!/bin/sh\nexit 101\n' >"$R/usr/sbin/policy-rc.d"
    chmod 755 "$R/usr/sbin/policy-rc.d"
    cp /etc/resolv.conf "$R/etc/resolv.conf"
    # The packages are fetched now, installed later: each run starts from a system where
    # none of them is installed yet.
    cp "$DEB" "$R/var/tmp/"
    in_chroot -- /bin/sh -c "apt-get update -qq &&
        apt-get install -y -qq --no-install-recommends --download-only /var/tmp/$(basename "$DEB") $HARNESS" \
        >"$WORK/apt.log" 2>&1 ||
        {
            tail -20 "$WORK/apt.log" >&2
            die "apt-get in the new system failed"
        }
    rm -f "$R/var/tmp/$(basename "$DEB")"
    tar -czf "$CACHE.part" -C "$R" . && mv "$CACHE.part" "$CACHE"
fi
cp /etc/resolv.conf "$R/etc/resolv.conf"

say "Installing the package: apt-get install ./$(basename "$DEB")"
mkdir -p "$R/try"
cp "$DEB" "$R/try/"
cp tests/integration/capture-backend.sh tests/integration/test-laser.ppd "$R/try/"
cat >"$R/try/installed.sh" <<'EOF'
#!/bin/sh
# In the chroot: installs the package alone, checks what it brought, then the harness.
set -eu
export DEBIAN_FRONTEND=noninteractive
cd /try
apt-get install -y -q --no-install-recommends ./pagello_*.deb
echo
ls -l /usr/bin/pagello /usr/bin/pagello-render /usr/libexec/pagello
[ "$(readlink -f /usr/bin/pagello)" = /usr/libexec/pagello/pagello ]
[ -f /usr/libexec/pagello/kavrin.fxp ]
[ -f /usr/share/man/man1/pagello.1.gz ] && [ -f /usr/share/applications/pagello.desktop ]
[ -f /usr/share/icons/hicolor/256x256/apps/pagello.png ]
missing=$(ldd /usr/libexec/pagello/pagello /usr/bin/pagello-render \
    /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqxcb.so | grep "not found" || true)
[ -z "$missing" ] || { echo "missing libraries: $missing"; exit 1; }
echo "ok: every library the programs and Qt's X11 plugin need is installed"
echo "fc-match \"Courier New\": $(fc-match "Courier New")"
fc-match "Courier New" | grep -q LiberationMono
export XDG_RUNTIME_DIR=/run/user/0
install -d -m 0700 "$XDG_RUNTIME_DIR"
pagello-render --version
printf 'PAGELLO TRY-DEB\r\nZkou\347ka tisku \263 \315\315\315\r\n' >/tmp/try.prn
pagello-render /tmp/try.prn --device 600:4960x7016:100,100 -o /tmp/try.pdf
head -c 5 /tmp/try.pdf | grep -q '%PDF-'
echo "ok: pagello-render made a PDF ($(wc -c </tmp/try.pdf) bytes) on what the package depends on"
echo
apt-get install -y -qq --no-install-recommends $* >/dev/null
echo "harness installed: $*"
EOF
# shellcheck disable=SC2086
in_chroot -- /bin/sh /try/installed.sh $HARNESS

# The command of the desktop entry, as a desktop runs it: the Exec value is unescaped as a
# string (\s \n \t \r \\), its field codes dropped, then split into words by the entry's
# quoting rules, which are the shell's for double quotes.
ENTRY=$R/usr/share/applications/pagello.desktop
exec_value=$(awk '/^\[/ { group = $0 } group == "[Desktop Entry]" && /^Exec=/ { sub(/^Exec=/, ""); print; exit }' "$ENTRY")
[ -n "$exec_value" ] || die "the desktop entry has no Exec line"
unescaped=$(printf '%s\n' "$exec_value" | awk '{
    out = ""
    for (i = 1; i <= length($0); i++) {
        c = substr($0, i, 1)
        if (c == "\\" && i < length($0)) {
            d = substr($0, ++i, 1)
            if (d == "s") c = " "; else if (d == "n") c = "\n"; else if (d == "t") c = "\t";
            else if (d == "r") c = "\r"; else if (d == "\\") c = "\\"; else c = c d
        }
        out = out c
    }
    print out
}' | sed 's/%[fFuUdDnNickvm]//g; s/%%/%/g')
eval "set -- $unescaped"
say "Starting the spooler from its desktop entry"
printf 'Exec=%s\n' "$exec_value"
i=0
for word in "$@"; do
    printf '  argv[%d] = %s\n' "$i" "$word"
    i=$((i + 1))
done

cat >"$R/try/run.sh" <<'EOF'
#!/bin/sh
# In the chroot, as the first process of its own namespaces: a print server, an X
# display, a user; the spooler started with the words given; a .PRN file dropped in.
set -eu
USER_NAME=tester
CAPTURE=/var/tmp/capture

mkdir -p /run/cups "$CAPTURE"
install -m 0700 /try/capture-backend.sh /usr/lib/cups/backend/pagello-capture
cat >/etc/cups/cupsd.conf <<CONF
Listen /run/cups/cups.sock
LogLevel info
Browsing No
WebInterface No
DefaultShared No
ErrorPolicy abort-job
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
/usr/sbin/cupsd -f >/var/tmp/cupsd.out 2>&1 &
for _ in $(seq 300); do
    lpstat -r >/dev/null 2>&1 && break
    sleep 0.1
done
lpstat -r || {
    cat /var/tmp/cupsd.out
    tail -20 /var/log/cups/error_log 2>/dev/null
    /usr/sbin/cupsd -t
    exit 1
}
lpadmin -p capture -E -v "pagello-capture:$CAPTURE" -P /try/test-laser.ppd
lpadmin -d capture
lpstat -d

Xvfb :1 -screen 0 1024x768x24 -nolisten tcp -ac >/var/tmp/xvfb.out 2>&1 &
for _ in $(seq 100); do
    [ -S /tmp/.X11-unix/X1 ] && break
    sleep 0.1
done
[ -S /tmp/.X11-unix/X1 ] || { cat /var/tmp/xvfb.out; exit 1; }
echo "X display :1 is up"

useradd -m -s /bin/sh "$USER_NAME"
HOME_DIR=/home/$USER_NAME
RUNTIME=/run/user/$(id -u "$USER_NAME")
install -d -m 0700 -o "$USER_NAME" -g "$USER_NAME" "$RUNTIME"
as_user() {
    setpriv --reuid="$USER_NAME" --regid="$USER_NAME" --init-groups \
        env -i HOME="$HOME_DIR" USER="$USER_NAME" LOGNAME="$USER_NAME" SHELL=/bin/sh \
        PATH=/usr/local/bin:/usr/bin:/bin DISPLAY=:1 XDG_RUNTIME_DIR="$RUNTIME" LANG=C.UTF-8 "$@"
}

# The process whose program file is the installed spooler, reached through the link on
# the path.
spooler_pid() {
    for exe in /proc/[0-9]*/exe; do
        if [ "$(readlink "$exe" 2>/dev/null)" = /usr/libexec/pagello/pagello ]; then
            pid=${exe#/proc/}
            echo "${pid%/exe}"
            return
        fi
    done
}

# The words of the Exec line, run as a desktop would.
cd "$HOME_DIR"
as_user "$@" >/var/tmp/pagello.out 2>&1 &
for _ in $(seq 100); do
    [ -e "$RUNTIME/pagello.lock" ] && break
    sleep 0.1
done
SPOOLER=$(spooler_pid)
[ -e "$RUNTIME/pagello.lock" ] && [ -n "$SPOOLER" ] ||
    { echo "the spooler did not start"; cat /var/tmp/pagello.out; exit 1; }
echo "spooler running: pid $SPOOLER, $(readlink /proc/$SPOOLER/exe), as $(stat -c %U /proc/$SPOOLER)"
tr '\0' '\n' </proc/$SPOOLER/environ | grep '^PAGELLO=' || { echo "the spooler has no PAGELLO"; exit 1; }
# A file that comes after the start is only seen by the directory's watcher, which
# kavrin.fxp beside the program switches on.
sleep 3
as_user sh -c 'printf "PAGELLO TRY-DEB\r\nZkou\347ka tisku z DOSu \263 \315\315\315\r\n\f" > "$HOME/tisk/ZKOUSKA.PRN"'
echo "dropped $HOME_DIR/tisk/ZKOUSKA.PRN at $(date +%T)"

result=1
for _ in $(seq 600); do
    if ls "$CAPTURE"/job-*.pdf >/dev/null 2>&1 && [ ! -e "$HOME_DIR/tisk/ZKOUSKA.PRN" ]; then
        result=0
        break
    fi
    sleep 0.1
done
echo "at $(date +%T):"
ls -l "$CAPTURE" "$HOME_DIR/tisk"
if [ "$result" = 0 ]; then
    for title in "$CAPTURE"/job-*.title; do
        echo "job title: $(cat "$title")"
    done
    job=$(ls "$CAPTURE"/job-*.pdf | head -n 1)
    head -c 5 "$job" | grep -q '%PDF-' || { echo "the job is no PDF"; result=1; }
    cp "$job" /try/job.pdf
    grep -q 'Pagello : ZKOUSKA.PRN' "$CAPTURE"/job-*.title || { echo "the job's title is not the file's"; result=1; }
fi

as_user pagello /u
for _ in $(seq 100); do
    kill -0 "$SPOOLER" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$SPOOLER" 2>/dev/null; then
    echo "the spooler did not end on pagello /u"
    result=1
else
    echo "the spooler ended on pagello /u"
    if [ -f "$HOME_DIR/.local/share/pagello/system.reg" ]; then
        echo "settings written to ~/.local/share/pagello/system.reg:"
        cat "$HOME_DIR/.local/share/pagello/system.reg"
    else
        echo "no settings were written in the user's own file"
        result=1
    fi
fi
if [ "$result" != 0 ]; then
    echo "--- spooler output"; cat /var/tmp/pagello.out
    echo "--- cupsd error log"; tail -30 /var/log/cups/error_log 2>/dev/null || true
fi
exit "$result"
EOF
if ! in_chroot --net --pid -- /bin/sh /try/run.sh "$@"; then
    say "FAILED"
    exit 1
fi
# The job's text, read on this side, where poppler's tools are.
if command -v pdftotext >/dev/null; then
    text=$(pdftotext -layout "$R/try/job.pdf" - | sed '/^ *$/d')
    printf 'text of the job:\n%s\n' "$text"
    for words in 'PAGELLO TRY-DEB' 'Zkouška tisku z DOSu' '═══'; do
        printf '%s\n' "$text" | grep -q "$words" || die "the job does not hold the file's text '$words'"
    done
fi
say "PASSED: the package installed on a fresh Debian 12, and the spooler started from its desktop entry printed and deleted a file"
