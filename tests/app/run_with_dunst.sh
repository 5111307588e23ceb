#!/bin/sh
# Runs the notification cases of a test program against dunst on a private session bus, on a
# virtual X display (dunst draws its notes there). The bus has no service files, so nothing is
# started behind the test's back and a note sent before dunst runs finds no service at all.
# Exits 77 (skipped) where the program or one of the tools is missing.
# Usage: run_with_dunst.sh PROGRAM
[ -x "$1" ] || exit 77
for tool in xvfb-run dbus-daemon dbus-run-session dbus-monitor dunst dunstctl; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "skipped: $tool is missing (scripts/deps installs it)"
    exit 77
  fi
done
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT INT TERM
cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$work</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
# dunst reads no configuration of whoever runs the suite; the icon file goes to scratch too.
XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" VESPERO_DUNST_BUS=1 \
  xvfb-run -a dbus-run-session --config-file="$work/bus.conf" -- \
  "$1" --gtest_filter='DunstNotifications.*'
