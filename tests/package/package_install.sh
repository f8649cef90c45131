#!/usr/bin/env bash
# The Debian packages built by scripts/package.sh (dpkg-buildpackage, then lintian, which must
# find no error or warning), installed into the machine, used, and purged: the installed tarvo
# shows the installed example configuration and runs the example plant against the installed
# tvioctrld on the simulated board, started as its unit starts it, from its file in /etc. The
# machine is left as it was found (the user and group quorix included); it skips where that
# cannot be promised.
#   package_install.sh SOURCE_DIR BUILD_DIR [SANITIZERS]
set -euo pipefail
SOURCE="$1" BUILD="$2" SANITIZE="${3:-}"
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ -z "$SANITIZE" ]] || skip "sanitizer build ($SANITIZE); packages are made from plain builds"
[[ "$(id -u)" == 0 ]] || skip "installing packages needs root"
for tool in dpkg dpkg-deb dpkg-query dpkg-buildpackage dh lintian rsync; do
    command -v "$tool" >/dev/null || skip "$tool is not available (scripts/install-deps.sh installs it)"
done
for p in quorix quorix-iosvc quorix-dev; do
    dpkg-query -W "$p" >/dev/null 2>&1 && skip "package $p is already known to dpkg here; left alone"
done

WORK="$(mktemp -d "${TMPDIR:-/tmp}/quorix-package.XXXXXX")"
SVC_PID="" INSTALLED=0
ACCOUNTS=(/etc/passwd /etc/group /etc/shadow /etc/gshadow)
for f in "${ACCOUNTS[@]}"; do
    for g in "$f" "$f-"; do [[ -e "$g" ]] && cp -p "$g" "$WORK/$(basename "$g").saved"; done
done
HAD_USER=0 HAD_GROUP=0
getent passwd quorix >/dev/null && HAD_USER=1
getent group quorix >/dev/null && HAD_GROUP=1

cleanup() {
    local rc=$?
    set +e
    if [[ -n "$SVC_PID" ]]; then kill -TERM "$SVC_PID" 2>/dev/null; wait "$SVC_PID" 2>/dev/null; fi
    if [[ "$INSTALLED" == 1 ]]; then
        dpkg --purge quorix-dev quorix quorix-iosvc >"$WORK/purge.log" 2>&1 || { cat "$WORK/purge.log" >&2; rc=1; }
        [[ -e /etc/quorix ]] && { echo "FAIL: /etc/quorix is left after the purge" >&2; rc=1; }
    fi
    [[ "$HAD_USER" == 0 ]] && getent passwd quorix >/dev/null && userdel quorix
    [[ "$HAD_GROUP" == 0 ]] && getent group quorix >/dev/null && groupdel quorix
    # The tools' backup files (passwd- ...) as they were; the files themselves must match.
    for f in "${ACCOUNTS[@]}"; do
        local b; b="$WORK/$(basename "$f")"
        if [[ -e "$b-.saved" ]]; then cp -p "$b-.saved" "$f-"; elif [[ -e "$f-" && ! -e "$b-.saved" ]]; then rm -f "$f-"; fi
        if [[ -e "$b.saved" ]]; then
            if cmp -s "$b.saved" "$f"; then touch -r "$b.saved" "$f"; else
                echo "FAIL: $f differs from before the test" >&2
                rc=1
            fi
        fi
    done
    rm -rf "$WORK"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== building the packages (scripts/package.sh, lintian included)"
# Its own build folder, kept between runs, so that a second run builds only what changed.
QX_PACKAGE_BUILD_DIR="$BUILD/package" "$SOURCE/scripts/package.sh" >"$WORK/package.log" 2>&1 ||
    { cat "$WORK/package.log" >&2; fail "scripts/package.sh"; }
DEB="$BUILD/package/deb"
debs=("$DEB"/quorix_*.deb "$DEB"/quorix-iosvc_*.deb "$DEB"/quorix-dev_*.deb)
for d in "${debs[@]}"; do [[ -f "$d" ]] || fail "no package $d"; done
# The service's package stands alone on a headless PC: nothing of Qt, nor the driver's package.
iosvc_depends="$(dpkg-deb -f "$DEB"/quorix-iosvc_*.deb Depends)"
[[ "$iosvc_depends" != *qt* && "$iosvc_depends" != *"quorix "* ]] ||
    fail "quorix-iosvc depends on $iosvc_depends"
# Every binary hardened as dpkg-buildflags asks: full RELRO, PIE, a stack protector.
mkdir "$WORK/x"
for d in "${debs[@]}"; do dpkg-deb -x "$d" "$WORK/x"; done
# (Output in a variable first: grep -q would close a pipe early, which pipefail takes as failure.)
while read -r elf; do
    dyn="$(readelf -d "$elf")" segments="$(readelf -lhW "$elf")"
    grep -q 'FLAGS.*NOW' <<<"$dyn" || fail "$elf is not bound at once (BIND_NOW)"
    grep -q GNU_RELRO <<<"$segments" || fail "$elf has no RELRO"
    grep -q 'Type: *DYN' <<<"$segments" || fail "$elf is not position-independent"
done < <(find "$WORK/x" -type f \( -name '*.so' -o -perm -u+x \) -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print)
for elf in "$WORK"/x/usr/sbin/tvioctrld "$WORK"/x/usr/lib/*/quorix/{tarvo,libQuorix.so}; do
    symbols="$(readelf -sW --dyn-syms "$elf")"
    grep -q __stack_chk_fail <<<"$symbols" || fail "$elf has no stack protector"
    grep -q '__[a-z]*printf_chk' <<<"$symbols" || fail "$elf is not built with FORTIFY"
done

# A file of the packages already on the machine would be overwritten, and purged afterwards.
while read -r path; do
    [[ -e "$path" || -L "$path" ]] && skip "$path exists on this machine; the packages would replace it"
done < <(for d in "${debs[@]}"; do dpkg-deb --fsys-tarfile "$d" | tar -t | grep -v '/$' | sed 's#^\.##'; done)

echo "== installing ${debs[*]##*/}"
INSTALLED=1
dpkg -i "${debs[@]}" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log" >&2; fail "dpkg -i"; }
getent group quorix >/dev/null || fail "the package made no group quorix"

installed() { dpkg -L "$1" | grep -E "$2" | head -n 1; }
TARVO="$(installed quorix '/bin/tarvo$')"
TVIOCTRLD="$(installed quorix-iosvc '/sbin/tvioctrld$')"
EX="$(dirname "$(installed quorix '/examples/plant.json$')")"
SCENARIO="$(installed quorix-iosvc '/examples/plant.scenario.json$')"
[[ -x "$TARVO" && -x "$TVIOCTRLD" && -f "$EX/plant.tags" && -f "$SCENARIO" ]] || fail "installed files missing"
# A daemon run as root must not search its own folder for libraries.
[[ "$(readelf -d "$TVIOCTRLD")" == *ORIGIN* ]] && fail "installed tvioctrld has \$ORIGIN in its run path"

if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify --man=no $(dpkg -L quorix-iosvc | grep '\.service$') >"$WORK/verify.log" 2>&1 \
        && [[ ! -s "$WORK/verify.log" ]] || { cat "$WORK/verify.log" >&2; fail "installed units"; }
fi

echo "== tarvo cfg import / show on the installed example"
"$TARVO" cfg import "$EX/plant.json" "$WORK/plant.cfg"
"$TARVO" cfg show "$WORK/plant.cfg" >"$WORK/show.out"
grep -q "Stations: 4" "$WORK/show.out" || { cat "$WORK/show.out" >&2; fail "cfg show"; }

[[ "$(dpkg-query -W -f='${Conffiles}' quorix-iosvc)" == *"/etc/quorix/tvioctrld-sim.conf"* ]] ||
    fail "/etc/quorix/tvioctrld-sim.conf is not a conffile"

echo "== tarvo run against tvioctrld, started from /etc/quorix/tvioctrld-sim.conf as its unit is"
export QX_DEVICE_DIR="$WORK/dev"
mkdir "$QX_DEVICE_DIR"
exec_start="$(sed -n 's/^ExecStart=//p' "$(installed quorix-iosvc 'tvioctrld-sim.service$')")"
read -r -a svc_cmd <<<"${exec_start/\/run\/quorix\/TVIOCTRL.sock/$QX_DEVICE_DIR/TVIOCTRL.sock}"
"${svc_cmd[@]}" --ready-file "$WORK/ready" >/dev/null 2>"$WORK/svc.log" &
SVC_PID=$!
for _ in $(seq 100); do
    [[ -f "$WORK/ready" ]] && break
    kill -0 "$SVC_PID" 2>/dev/null || { cat "$WORK/svc.log" >&2; fail "tvioctrld did not start"; }
    sleep 0.1
done
[[ -f "$WORK/ready" ]] || { cat "$WORK/svc.log" >&2; fail "tvioctrld not ready"; }
"$TARVO" run "$WORK/plant.cfg" "$EX/plant.tags" --for 3 </dev/null >"$WORK/run.out" 2>&1 \
    || { cat "$WORK/run.out" >&2; fail "tarvo run"; }
# The installed module beside the installed tarvo, text values, and a counter that moved.
grep -q "loaded from $(dirname "$(readlink -f "$TARVO")")/libQuorix.so" "$WORK/run.out" &&
    grep -q 'Press.Recipe = "PRESS-01"' "$WORK/run.out" &&
    [[ "$(grep -c 'Press.Count = ' "$WORK/run.out")" -ge 2 ]] ||
    { cat "$WORK/run.out" >&2; fail "no values came through"; }
echo "values came through: $(grep -c ' = ' "$WORK/run.out") value lines"

echo "== tarvo serve from /etc/quorix/tarvo-serve.conf on the installed example plant"
[[ "$(dpkg-query -W -f='${Conffiles}' quorix)" == *"/etc/quorix/tarvo-serve.conf"* ]] ||
    fail "/etc/quorix/tarvo-serve.conf is not a conffile"
# No broker here: it says so and serves on; the web view on a free port.
"$TARVO" serve --config /etc/quorix/tarvo-serve.conf --broker mqtt://127.0.0.1:9 --http 127.0.0.1:0 \
    --for 3 >"$WORK/serve.out" 2>&1 || { cat "$WORK/serve.out" >&2; fail "tarvo serve"; }
grep -q 'serving 25 of 25 tags' "$WORK/serve.out" && grep -q 'cannot reach the broker' "$WORK/serve.out" ||
    { cat "$WORK/serve.out" >&2; fail "tarvo serve did not serve the example plant"; }

echo "== the C and C++ hosts of quorix-dev, built from the installed headers, examples and pkg-config file"
if command -v gcc >/dev/null && command -v g++ >/dev/null && command -v pkg-config >/dev/null; then
    SRC="$(dirname "$(installed quorix-dev '/examples/c_host.c$')")"
    PKG="$(dirname "$(readlink -f "$TARVO")")"
    QX="$(pkg-config --cflags --libs quorix)" || fail "pkg-config knows no quorix"
    mkdir "$WORK/chost"
    # shellcheck disable=SC2086
    gcc -shared -fPIC -o "$WORK/chost/libTarvoDbm.so" "$SRC/host_dbm.c" $QX -lpthread &&
        gcc -shared -fPIC -o "$WORK/chost/libDezudurE.so" "$SRC/host_messages.c" $QX &&
        gcc -o "$WORK/chost/c_host" "$SRC/c_host.c" -L"$WORK/chost" -lTarvoDbm \
            -Wl,-rpath,'$ORIGIN' $QX || fail "the C host does not build"
    for lib in libQuorix.so libTarvoSub.so libQxFramework.so; do ln -s "$PKG/$lib" "$WORK/chost/"; done
    "$WORK/chost/c_host" "$WORK/plant.cfg" 3 >"$WORK/chost.out" 2>&1 || { cat "$WORK/chost.out" >&2; fail "c_host"; }
    grep -q 'value Press.Setpoint = 1234' "$WORK/chost.out" && grep -q '^stopped' "$WORK/chost.out" ||
        { cat "$WORK/chost.out" >&2; fail "the C host saw no written value"; }
    echo "the C host built from the installed files ran"

    # The C++ example shares the package's own host libraries: only the module is linked beside it.
    mkdir "$WORK/cpphost"
    # shellcheck disable=SC2086
    g++ -std=c++20 -o "$WORK/cpphost/minimal_host" "$SRC/minimal_host.cpp" $QX -lTarvoDbm \
        -lDezudurE -lQxFramework || fail "the C++ host does not build from the installed headers"
    ln -s "$PKG/libQuorix.so" "$WORK/cpphost/"
    "$WORK/cpphost/minimal_host" "$WORK/plant.cfg" 2 >"$WORK/cpphost.out" 2>&1 || { cat "$WORK/cpphost.out" >&2; fail "minimal_host"; }
    grep -q '^value Press.Count = ' "$WORK/cpphost.out" || { cat "$WORK/cpphost.out" >&2; fail "the C++ host saw no value"; }
    echo "the C++ host built from the installed files ran"
fi
