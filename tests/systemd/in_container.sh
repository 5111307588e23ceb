#!/bin/bash
# The package checks that need systemd as PID 1. scripts/check-systemd boots a minimal Debian in
# a container and runs this inside it, as root, with the packages in /check/debs and the
# README's simulator recipe in /check/recipe.sh. Prints a line per check; exit status 1 if any
# failed.
set -uo pipefail

failures=0
passed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; passed=$((passed + 1)); }
step() { echo "-- $*"; }
check() { # DESCRIPTION COMMAND...; the command's output is shown only when it fails
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then pass "$what"; else fail "$what"; [ -z "$out" ] || printf '%s\n' "$out" | tail -n 20; fi
}
# Polls COMMAND every 0.2 s for at most SECONDS.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

cursor() { journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p'; }
# The service's journal lines since a cursor.
log_since() { journalctl -q --no-pager -o cat --after-cursor="$1" -u vesperod.service; }
log_has() { log_since "$1" | grep -qF -- "$2"; }
main_pid() { systemctl show -p MainPID --value vesperod.service; }
answers() { upsc vespero0@localhost ups.status 2>/dev/null | grep -q '^OL'; }

conf=/etc/vespero/vesperod.conf
ports=/etc/vespero/Tralvane/ports
export SYSTEMD_PAGER=

step "boot"
# The manager may not answer yet when this starts.
booted() { state=$(systemctl is-system-running --wait 2>/dev/null); [ -n "$state" ] && [ "$state" != offline ]; }
state=
wait_for 60 booted
check "the container booted ($state)" test "$state" = running

step "install"
check "dpkg installs vespero-sim and vesperod" dpkg -i /check/debs/vespero-sim_*.deb /check/debs/vesperod_*.deb
check "the unit is installed disabled" test "$(systemctl is-enabled vesperod.service)" = disabled
check "and not started" test "$(systemctl is-active vesperod.service)" = inactive
check "the system user vesperod exists" getent passwd vesperod
check "vespero-sim runs" vespero-sim --version

# Pseudo-terminals are outside the unit's device rules: a simulator run as the service's own
# user (as the recipe does) is refused until the drop-in admits them.
step "a pseudo-terminal without the drop-in"
c=$(cursor)
systemd-run -q --unit=vespero-sim --uid=vesperod --gid=vesperod \
  -p Environment=XDG_CONFIG_HOME=/etc/vespero /usr/bin/vespero-sim --com 1
wait_for 10 test -L "$ports/COM1"
systemctl start vesperod.service
check "refused by the device rules, with the drop-in named" \
  wait_for 10 log_has "$c" "Operation not permitted. The device rules this process runs under do not admit"
check "the hint names DeviceAllow=char-pts" log_has "$c" "DeviceAllow=char-pts rw"
check "no data is served from it" bash -c '! upsc vespero0@localhost ups.status >/dev/null 2>&1'
systemctl stop vesperod.service vespero-sim.service

step "the README's simulator recipe, as written"
if bash -e /check/recipe.sh >/check/recipe.out 2>&1; then
  pass "the recipe runs"
else
  fail "the recipe fails: $(tail -5 /check/recipe.out)"
fi
check "its upsc prints the unit's status" grep -q '^ups.status: OL' /check/recipe.out
check "upsc answers" wait_for 10 answers

step "reload"
pid=$(main_pid)
c=$(cursor)
check "systemctl reload of a good file succeeds" systemctl reload vesperod.service
check "the reload is logged" wait_for 5 log_has "$c" "reloaded $conf"
cp "$conf" /check/vesperod.conf.good
sed -i 's/^\[server\]$/[server]\nno_such_setting = 1/' "$conf"
line=$(grep -n '^no_such_setting' "$conf" | cut -d: -f1)
c=$(cursor)
if systemctl reload vesperod.service 2>/dev/null; then
  fail "systemctl reload of a bad file exits 0"
else
  pass "systemctl reload of a bad file fails"
fi
check "the fault is in the journal as FILE:LINE" wait_for 5 log_has "$c" "$conf:$line:"
check "the service keeps running, same process" test "$(main_pid)" = "$pid"
check "and keeps serving" answers
cp /check/vesperod.conf.good "$conf"
check "a reload after mending the file succeeds" systemctl reload vesperod.service

step "watchdog"
pid=$(main_pid)
c=$(cursor)
kill -STOP "$pid"
restarted() { local now; now=$(main_pid); [ "$now" != 0 ] && [ "$now" != "$pid" ] && systemctl -q is-active vesperod.service; }
check "a hung service is restarted (new PID)" wait_for 60 restarted
check "systemd logged the watchdog timeout" log_has "$c" "Watchdog timeout"
check "the restarted service answers" wait_for 15 answers

step "pseudo-terminals of other users"
systemctl stop vesperod.service vespero-sim.service
c=$(cursor)
systemd-run -q --unit=vespero-sim -p Environment=XDG_CONFIG_HOME=/etc/vespero /usr/bin/vespero-sim --com 1
wait_for 10 test -L "$ports/COM1"
systemctl start vesperod.service
check "a root-owned pty is refused with a hint naming vesperod" \
  wait_for 10 log_has "$c" "A pseudo-terminal opens only for the user who made it, here root: run its program (vespero-sim, socat, ...) as vesperod"
systemctl stop vesperod.service vespero-sim.service

# The device rules themselves: a virtual console stays shut even where the file's modes would
# let the service in; a serial port is admitted (it opens, or fails for want of hardware).
step "devices"
mknod /dev/tty5 c 4 5 2>/dev/null
mknod /dev/ttyS31 c 4 95 2>/dev/null
mknod /dev/ttyS30 c 4 94 2>/dev/null
chgrp dialout /dev/tty5 /dev/ttyS31
chgrp uucp /dev/ttyS30
chmod 0660 /dev/tty5 /dev/ttyS31 /dev/ttyS30
check "root can open /dev/tty5 here, so only the rules stand in the way" bash -c 'exec 3<>/dev/tty5'
cp /etc/vespero/Tralvane/Ups.ini /check/Ups.ini.before
sed -i '/^AlderaPresent[123]=/d; /^Com[123]=/d' /etc/vespero/Tralvane/Ups.ini
sed -i 's/^\[Orbo\]$/[Orbo]\nAlderaPresent1=1\nCom1=2\nAlderaPresent2=1\nCom2=3\nAlderaPresent3=1\nCom3=4/' \
  /etc/vespero/Tralvane/Ups.ini
ln -sfn /dev/tty5 "$ports/COM2"
ln -sfn /dev/ttyS31 "$ports/COM3"
ln -sfn /dev/ttyS30 "$ports/COM4"
c=$(cursor)
systemctl start vesperod.service
check "the service cannot open the virtual console /dev/tty5" \
  wait_for 10 log_has "$c" "COM2 (/dev/tty5): Operation not permitted"
# No UART stands behind ttyS31 here: the open gets past the rules and fails in the driver.
admitted() {
  local lines
  lines=$(log_since "$c" | grep -F 'COM3 (/dev/ttyS31)')
  [ -n "$lines" ] && ! grep -qF 'Operation not permitted' <<<"$lines"
}
check "the serial port /dev/ttyS31 is admitted (its open fails for want of hardware, not by the rules)" \
  wait_for 10 admitted
check "a port of a group vesperod is not in names the service's user and that group" wait_for 10 log_has "$c" \
  'COM4 (/dev/ttyS30): Permission denied. The user vesperod must be in the group that owns the device, "uucp" (sudo adduser vesperod uucp'
systemctl stop vesperod.service
cp /check/Ups.ini.before /etc/vespero/Tralvane/Ups.ini
rm -f "$ports/COM2" "$ports/COM3" "$ports/COM4" /dev/tty5 /dev/ttyS31 /dev/ttyS30

step "remove and purge"
systemctl revert vesperod.service >/dev/null 2>&1
check "dpkg purges both packages" dpkg --purge vesperod vespero-sim
systemctl daemon-reload
check "no user vesperod" bash -c '! getent passwd vesperod'
check "no group vesperod" bash -c '! getent group vesperod'
left=$(find /etc /lib/systemd /usr/lib/systemd /run/systemd /var/lib /usr/bin /usr/share /run/lock \
  \( -name '*vesperod*' -o -name '*vespero-sim*' -o -path /etc/vespero -o -name 'LCK..*' \) 2>/dev/null)
check "no file left behind${left:+: $left}" test -z "$left"
# shellcheck disable=SC2016  # expanded by the inner shell
check "systemd knows no vesperod unit" \
  bash -c '[ "$(systemctl show -p LoadState --value vesperod.service)" = not-found ]'

if [ "$failures" -ne 0 ]; then
  echo "-- the service's journal, for the failures above"
  journalctl -q --no-pager -o short-monotonic -u vesperod.service -u vespero-sim.service | tail -n 300
fi
echo "in the container: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
