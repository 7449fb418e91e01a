#!/usr/bin/env bash
# The packages as a site gets them: builds the .deb and the Windows .zip from the build folders
# the test command made, checks what they hold, unpacks the .deb into a throw-away root, and
# there checks the man page, the service unit and its sandbox's exposure, the unit's command
# line and writable directory for sample line configurations, and one whole call between the installed device simulator and the installed
# ecgcomm on a pty pair (standing in for the null-modem cable), set up as the guide says.
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v systemd-analyze >/dev/null || ! command -v man >/dev/null ||
  ! command -v groff >/dev/null || ! command -v unzip >/dev/null || ! command -v socat >/dev/null
then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
    systemd man-db groff-base unzip socat
fi
# Under a loose umask, so that the package's modes are shown not to depend on the builder's.
(umask 002 && ./scripts/package.sh >/dev/null)
deb=$(ls dist/ecgcomm_*_amd64.deb)
zip=$(ls dist/ecgcomm-*-win64.zip)
work=$(mktemp -d "${TMPDIR:-/tmp}/ecgpkg.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
has() { # what, listing, wanted entries...
  local what=$1 listing=$2
  shift 2
  for want in "$@"; do grep -qxF -- "$want" <<<"$listing" || fail "$what lacks $want"; done
}

echo "-- $deb"
dpkg-deb -I "$deb" | grep -E '^ (Package|Version|Depends):'
depends=$(dpkg-deb -f "$deb" Depends | tr -d ' ' | tr ',' '\n' | sed 's/(.*//')
has "Depends" "$depends" python3 adduser libc6 libstdc++6
has "conffiles" "$(dpkg-deb -I "$deb" conffiles)" /etc/ecgcomm/win.ini /etc/ecgcomm/LOC_WIN.INI
listing=$(dpkg-deb -c "$deb")
files=$(awk '{print $6}' <<<"$listing")
writable=$(grep -E '^[-d].{4}w|^[-d].{7}w' <<<"$listing" || true)
[ -z "$writable" ] || fail "writable for group or others: $writable"
has "$deb" "$files" ./usr/bin/ecgcomm ./usr/bin/ecgcomm-service \
  ./usr/share/man/man1/ecgcomm.1 ./usr/lib/systemd/system/ecgcomm@.service \
  ./usr/lib/systemd/system-generators/ecgcomm-generator \
  ./usr/share/doc/ecgcomm/README.md ./usr/share/doc/ecgcomm/commissioning.md \
  ./usr/share/doc/ecgcomm/examples/line.conf ./usr/share/doc/ecgcomm/examples/LOC_WIN.INI \
  ./usr/share/doc/ecgcomm/examples/win.ini ./etc/ecgcomm/ports/ \
  ./usr/share/ecgcomm/testbench/serialport.py
for tool in device line modem parent objfile; do
  has "$deb" "$files" ./usr/bin/ecgcomm-$tool ./usr/share/ecgcomm/testbench/$tool.py
done
places='^\./((etc|usr|usr/lib|usr/lib/systemd|usr/share)/)?$'
places+='|^\./(etc/ecgcomm|usr/(bin|lib/systemd/system(-generators)?|share/(doc|man|ecgcomm)))(/|$)'
stray=$(grep -vE "$places" <<<"$files" || true)
[ -z "$stray" ] || fail "files outside the package's places: $stray"

# The maintainer scripts, as root, against this machine's /etc under an overlay in a mount
# namespace of their own (and no systemd to reload): they make the service's user once, in
# dialout, without a login, and a purge leaves it to the recordings it owns.
if [ "$(id -u)" -eq 0 ]; then
  dpkg-deb -e "$deb" "$work/control"
  mkdir "$work/upper" "$work/lower"
  user=$(unshare -m sh -ec 'mount -t overlay none -o "lowerdir=/etc,upperdir=$1/upper,workdir=$1/lower" /etc
    [ ! -d /run/systemd ] || mount -t tmpfs none /run/systemd
    "$1/control/postinst" configure && "$1/control/postinst" configure 7.0.0
    "$1/control/postrm" purge && id -nG ecgcomm && getent passwd ecgcomm | cut -d: -f6-' - "$work")
  [ "$(tr '\n' ' ' <<<"$user")" = "ecgcomm dialout /nonexistent:/usr/sbin/nologin " ] ||
    fail "the service's user: $user"
fi

echo "-- $zip"
entries=$(unzip -Z1 "$zip")
top=$(basename "$zip" .zip)
has "$zip" "$entries" "$top/ecgcomm.exe" "$top/README.md" "$top/commissioning.md" \
  "$top/examples/LOC_WIN.INI" "$top/examples/WIN.INI"
[ "$(unzip -p "$zip" "$top/ecgcomm.exe" | head -c 2)" = MZ ] || fail "ecgcomm.exe is no program"

echo "-- installed into a throw-away root"
root=$work/root
dpkg -x "$deb" "$root"
bin=$root/usr/bin
page=$root/usr/share/man/man1/ecgcomm.1
warnings=$(groff -ww -z -man "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns about the man page: $warnings"
MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^EXIT STATUS' || fail "man -l shows no page"
# The unit as installed, only with its commands naming the unpacked wrapper (verify wants it
# to exist); the man page named in Documentation= is looked up in the unpacked tree.
unit=$root/usr/lib/systemd/system/ecgcomm@.service
sed "s|^\(ExecStart\(Pre\)\?=+\?\)ecgcomm-service |\1$bin/ecgcomm-service |" "$unit" \
  >"$work/ecgcomm@.service"
# verify only warns about a value it cannot parse (and ignores the setting): any output fails.
verdict=$(MANPATH=$root/usr/share/man systemd-analyze verify "$work/ecgcomm@ward3.service" 2>&1) ||
  fail "systemd-analyze rejects the unit: $verdict"
[ -z "$verdict" ] || fail "systemd-analyze: $verdict"
# The sandbox as systemd rates it: 0 is fully shut off, 10 not at all; above 2.5 is no longer
# "OK". The list of what is still open shows in the log of this suite.
systemd-analyze security --offline=yes "$work/ecgcomm@ward3.service" 2>/dev/null |
  grep -v '^✓' >"$work/security" || true
exposure=$(sed -n 's/^→ Overall exposure level for ecgcomm@ward3.service: \([0-9.]*\) .*/\1/p' \
  "$work/security")
[ -n "$exposure" ] || fail "no exposure figure: $(cat "$work/security")"
cat "$work/security"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }' || fail "exposure $exposure is above 2.5"

# The unit's command line for a line: its ExecStart with the instance filled in, run with its
# Environment= settings (the line files live in a scratch folder here, not in /etc/ecgcomm).
read -r -a exec_start <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
mapfile -t unit_env < <(sed -n 's/^Environment=//p' "$unit")
confs=$work/conf
mkdir -p "$confs"
unit_cmd() { # line name, then options for ecgcomm-service (--print); sets cmd
  local rest=("${exec_start[@]:1}")
  cmd=(env "${unit_env[@]}" ECGCOMM_CONF_DIR="$confs" "$bin/${exec_start[0]}" "${@:2}"
    "${rest[@]/\%i/$1}")
}
conf_case() { # line, expected exit code, expected command line or error, file content
  local rc=0
  printf '%b' "$4" >"$confs/$1.conf"
  unit_cmd "$1" --print
  "${cmd[@]}" >"$work/out" 2>"$work/err" || rc=$?
  [ "$rc" = "$2" ] || fail "line $1: exit code $rc, expected $2 ($(cat "$work/err"))"
  if [ "$2" = 0 ]; then
    [ "$(tr '\n' ' ' <"$work/out")" = "$3 " ] || fail "line $1: got \"$(cat "$work/out")\""
  else
    [ ! -s "$work/out" ] || fail "line $1: a wrong file still printed a command line"
    grep -qF -- "$3" "$work/err" || fail "line $1: no \"$3\" in \"$(cat "$work/err")\""
  fi
}
args="$bin/ecgcomm -comport 3 -baudrate 576 -directory /srv/ecg/w3 -pipename nopipe"
conf_case ward3 0 "ECGCOMM_PORTS=/etc/ecgcomm/ports $args" \
  "# ward 3\r\n  COMPORT = 3\r\nBAUDRATE=576\r\n\r\nDIRECTORY=/srv/ecg/w3\r\n"
conf_case modem 0 "ECGCOMM_PORTS=/dev/null $args -initstring AT&F E0 V0 S0=1 -hangup-prefix +++ \
-hangup-suffix ATH0" "COMPORT=3\nBAUDRATE=576\nDIRECTORY=/srv/ecg/w3\nINITSTRING=\"AT&F E0 V0 \
S0=1\"\nHANGUP_PREFIX=+++\nHANGUP_SUFFIX='ATH0'\nECGCOMM_PORTS=/dev/null"
base="COMPORT=3\nBAUDRATE=576\nDIRECTORY=/srv/ecg/w3\n"
conf_case rate 1 "BAUDRATE is the baud code, the speed divided by 100: 576 for 57600 baud" \
  "${base/=576/=57600}"
conf_case port0 1 "COMPORT must be a number from 1 to 256, not \"0\"" "${base/=3/=0}"
conf_case port257 1 "COMPORT must be a number from 1 to 256, not \"257\"" "${base/=3/=257}"
conf_case nodir 1 "DIRECTORY is missing" "COMPORT=3\nBAUDRATE=576\n"
conf_case reldir 1 "DIRECTORY must be an absolute path" "${base/=\/srv/=srv}"
conf_case halfmodem 1 "a modem line needs INITSTRING, HANGUP_PREFIX and HANGUP_SUFFIX" \
  "${base}INITSTRING=ATS0=1\nHANGUP_SUFFIX=ATH0\n"
conf_case typo 1 "line 4: unknown key \"HANGUP-PREFIX\"" "${base}HANGUP-PREFIX=+++\n"
conf_case twice 1 "line 4: COMPORT given again (first on line 1)" "${base}COMPORT=4\n"
conf_case noequals 1 "line 2: expected KEY=VALUE" "COMPORT=3\nBAUDRATE 576\n"
unit_cmd gone --print
"${cmd[@]}" >/dev/null 2>"$work/err" && fail "a line without a file passed"
grep -qF "cannot read $confs/gone.conf" "$work/err" || fail "missing file: $(cat "$work/err")"

# The sandbox's writable directory per line, as systemd's generator derives it at a reload:
# a drop-in for each file that gives a command line, none for the wrong ones; quotes,
# backslashes and % survive systemd's unquoting (verify warns about what it cannot parse).
cat >"$confs/odd.conf" <<'CONF'
COMPORT=3
BAUDRATE=576
DIRECTORY=/srv/ecg/w "3"%\
CONF
ECGCOMM_CONF_DIR=$confs "$root/usr/lib/systemd/system-generators/ecgcomm-generator" "$work/gen" \
  2>/dev/null
dropins=$(cd "$work/gen" && find . -type f | sort | tr '\n' ' ')
[ "$dropins" = "$(printf './ecgcomm@%s.service.d/50-directory.conf ' modem odd ward3)" ] ||
  fail "generated drop-ins: $dropins"
want='ReadWritePaths="/srv/ecg/w \"3\"%%\\"'
grep -qxF "$want" "$work/gen/ecgcomm@odd.service.d/50-directory.conf" ||
  fail "drop-in: $(cat "$work/gen/ecgcomm@odd.service.d/50-directory.conf")"
cp -r "$work/gen/ecgcomm@odd.service.d" "$work/"
verdict=$(MANPATH=$root/usr/share/man systemd-analyze verify "$work/ecgcomm@odd.service" 2>&1) ||
  fail "systemd-analyze rejects the drop-in: $verdict"
[ -z "$verdict" ] || fail "systemd-analyze: $verdict"

echo "-- a call with the installed programs, set up as the commissioning guide says"
# Left in the terminal's cooked mode, as a serial port is before anyone set it up: each side
# must make its end raw itself.
socat pty,link="$work/ttyA" pty,link="$work/ttyB" &
pids+=($!)
# A port whose cable leads nowhere, for the check that must find nothing.
socat pty,link="$work/ttyC" system:'cat >/dev/null' &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/ttyB" ] && [ -e "$work/ttyC" ] && break; sleep 0.1; done
mkdir -p "$work/ports" "$work/etc" "$work/sent"
ln -s "$work/ttyA" "$work/ports/COM1"
# The package's profiles, with the fast pacing switched on to keep the call short.
cp "$root/etc/ecgcomm/LOC_WIN.INI" "$work/etc/"
sed -i 's/^CSI_FastLoop=0/CSI_FastLoop=1/' "$work/etc/LOC_WIN.INI"
sed "s|^VelmarAppDataPath=.*|VelmarAppDataPath=$work/etc|" "$root/etc/ecgcomm/win.ini" \
  >"$work/etc/win.ini"
sed -e 's/^COMPORT=.*/COMPORT=1/' -e "s|^DIRECTORY=.*|DIRECTORY=$work/in|" \
  -e "s|^#ECGCOMM_PORTS=.*|ECGCOMM_PORTS=$work/ports|" \
  -e "s|^#ECGCOMM_WIN_INI=.*|ECGCOMM_WIN_INI=$work/etc/win.ini|" \
  "$root/usr/share/doc/ecgcomm/examples/line.conf" >"$confs/bench.conf"
"$bin/ecgcomm-line" --check "$work/ttyC" --bytes 256 >"$work/check.out" &&
  fail "a loopback check passed without a loopback plug"
grep -q 'NOTHING ARRIVED' "$work/check.out" || fail "no loopback: $(cat "$work/check.out")"
"$bin/ecgcomm-line" --check "$work/ttyA" "$work/ttyB" --baud 57600 || fail "the line check failed"
# The unit's step before each start, as root: a file edited since the last reload is
# refused, then the line's directory is made for the service's user (nobody stands in).
unit_cmd bench --prepare
prepare=(env ECGCOMM_USER=nobody "${cmd[@]}")
chmod 0711 "$work" # so that it may reach the line's directory
"${prepare[@]}" 2>"$work/err" && fail "a line without its writable directory was prepared"
grep -qF 'run "systemctl daemon-reload"' "$work/err" || fail "stale: $(cat "$work/err")"
ECGCOMM_WRITABLE=$work/in "${prepare[@]}" || fail "the line's directory was not prepared"
[ "$(stat -c %A:%U "$work/in")" = drwxr-x---:nobody ] || fail "made $(stat -c %A:%U "$work/in")"
# Started as a plain command, so that its process becomes ecgcomm itself (env and the
# wrapper exec), as under systemd: the signal below reaches ecgcomm. With the unit's umask.
unit_cmd bench
umask 0027
"${cmd[@]}" >"$work/service.out" 2>&1 &
service=$!
umask 0022
pids+=("$service")
"$bin/ecgcomm-device" --port "$work/ttyB" --baud 57600 --generate 20000 --save-dir "$work/sent" |
  tee "$work/device.out" | grep RESULT || true
grep -q 'RESULT files=1 accepted=1' "$work/device.out" || fail "the call did not end accepted"
stored=$(ls "$work"/in/*.ECG)
cmp "$stored" "$work/sent/sent-1.obj" || fail "the stored recording differs from the one sent"
# The log writer writes once a second.
for _ in $(seq 30); do
  grep -qs 'successfully stored' "$work/in/logfile_1.log" && break
  sleep 0.1
done
grep -q 'successfully stored' "$work/in/logfile_1.log" || fail "the log does not show the file"
modes=$(stat -c %A "$stored" "$work/in/logfile_1.log" | sort -u)
[ "$modes" = -rw-r----- ] || fail "a recording or log readable beyond the group: $modes"
# Log files an older package's service left as root's: the line is not started, with a remedy.
ECGCOMM_WRITABLE=$work/in "${prepare[@]}" 2>"$work/err" && fail "root's log was taken as writable"
grep -qF "cannot write to $work/in/logfile_1.log; give" "$work/err" || fail "$(cat "$work/err")"
# Root passes the kernel's exclusive mode, so the kit's own lock keeps it off a served port.
"$bin/ecgcomm-line" --check "$work/ttyA" "$work/ttyB" >"$work/check.out" &&
  fail "the kit opened the port the service holds"
grep -qE 'in use by another program|Device or resource busy' "$work/check.out" ||
  fail "in use: $(cat "$work/check.out")"
[ "$(cat "/proc/$service/comm")" = ecgcomm ] || fail "the service's process is not ecgcomm"
kill -TERM "$service"
rc=0
wait "$service" || rc=$?
echo "stored $(basename "$stored"); ecgcomm ended with $rc after SIGTERM"
