#!/bin/sh
# Runs the X11 cases of a test program (lock keys, a tray started later) on a virtual X display. Exits 77 (skipped) when the
# program was not built, as in the sanitizer presets that build only some suites.
# Usage: run_under_xvfb.sh XVFB-RUN PROGRAM
[ -x "$2" ] || exit 77
exec "$1" -a "$2" --gtest_filter='LockKeysX11.*:TrayX11.*'
