#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# linkloader-cli.exe under Wine, where no serial line is needed: the help, the port option, and
# a port that does not exist, which must end with the port's exit code and say why in the
# system's words.
#   check_cli_wine.sh WINE_RUN LINKLOADER_CLI_EXE
set -uo pipefail
run=$1
exe=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# NAME, expected exit code, text stdout+stderr must hold, arguments...
check() {
  local name=$1 code=$2 text=$3
  shift 3
  "$run" "$exe" "$@" >"$work/out" 2>&1
  local rc=$?
  tr -d '\r' <"$work/out" >"$work/text"
  [ "$rc" -eq "$code" ] || fail "$name: exit $rc, expected $code"
  grep -qF -- "$text" "$work/text" || fail "$name: no \"$text\" in: $(cat "$work/text")"
}

check help 0 "Usage: linkloader-cli" --help
# The help says how this system numbers its ports.
check help-numbering 0 'the system'"'"'s port COM<n>, \\.\COM<n>' --help
check port-zero 2 "--port takes COM<n>" --port COM0 version
# 3: the port could not be opened.
check missing-port 3 "Error opening port" --port COM202 version
check missing-port-reason 3 'COM202: \\.\COM202 does not exist' --port COM202 version
check missing-port-json 3 '"error":"port"' --json --port COM202 version
# The system's own device names: COM<n>'s, any case, and any other device's.
check device-name 3 'COM202: \\.\COM202 does not exist' --port '\\.\com202' version
check other-device-name 3 'COM1: \\.\NoSuchDevice does not exist' --port '\\.\NoSuchDevice' version
# The environment is read as UTF-16: a device named outside the ANSI code page arrives whole.
LC_ALL=C.UTF-8 LINKLOADER_COM9='Z:\Łódź\Прошивка' check wide-environment 3 \
  'COM9: Z:\Łódź\Прошивка does not exist' --port COM9 version
[ "$failures" -eq 0 ] && echo "linkloader-cli.exe under Wine: all checks passed"
[ "$failures" -eq 0 ]
