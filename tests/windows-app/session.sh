#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows program as a user gets it, under Wine in a private prefix: the installer runs
# silently, the installed window starts (screenshots in English and Polish), a whole service
# session runs through the window against linkloader-sim on a COM port that Wine maps to the
# simulator's pseudo-terminal, the command-line programs answer from a console, and the silent
# uninstaller leaves no file of the program behind (but the user's EEPROM copies).
#
#   session.sh SOURCE_DIR WINDOWS_BUILD_DIR
#
# Runs on an X display with a window manager (tests/app/desktop/under-openbox.sh provides one).
# LL_HOST_SIM names a Linux linkloader-sim (default: build/release's, built when missing);
# LL_WINDOWS_SHOTS names a folder for the screenshots (default: inside the work folder).
# Exits 77 (skipped) when a tool it needs is missing.
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)

for tool in wine wineserver makensis xdotool import gcc cmp; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed" >&2; exit 77; }
done
[ -n "${DISPLAY:-}" ] || { echo "skipped: no X display" >&2; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/ll-windows-app.XXXXXX")
shots=${LL_WINDOWS_SHOTS:-$work/shots}
mkdir -p "$shots"
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null
  [ -n "${LL_KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
die() { echo "FAIL: $*"; exit 1; }
# reg_value HIVE KEY [NAME]: prints the string NAME of KEY (@, its default) or, without NAME, succeeds
# when KEY exists. It reads the hive (system.reg is HKLM, user.reg HKCU) as Wine's server saved it
# at `wineserver --wait`: no Wine start-up that goes wrong can make a check read a wrong answer.
# reg_raw prints NAME as the hive holds it, type and escapes included (str(2):"..." is REG_EXPAND_SZ).
reg_raw() { raw=1 reg_value "$@"; }
reg_value() {
  # Through the environment: awk -v would take the key's backslashes for escapes.
  key=$2 name=${3-} awk 'function plain(s) { gsub(/\\\\/, "\001", s); gsub(/\\"/, "\"", s); gsub(/\001/, "\\", s); return s }
    BEGIN { key = tolower(ENVIRON["key"]); want = tolower(ENVIRON["name"] == "@" ? "@" : "\"" ENVIRON["name"] "\"") "=" }
    /^\[/ { section = $0; sub(/^\[/, "", section); sub(/\]( [0-9]+)?$/, "", section); inside = tolower(plain(section)) == key
           if (inside && ENVIRON["name"] == "") { found = 1; exit }; next }
    inside && tolower(substr($0, 1, length(want))) == want {
      value = substr($0, length(want) + 1); if (ENVIRON["raw"]) { print value; found = 1; exit }
      sub(/^str\([0-9]+\):/, "", value)
      if (value ~ /^".*"$/) { print plain(substr(value, 2, length(value) - 2)); found = 1; exit } }
    END { exit !found }' "$WINEPREFIX/$1"
}

# ---- What the session needs on the Linux side ------------------------------------------------
sim=${LL_HOST_SIM:-$src/build/release/tools/sim/linkloader-sim}
if [ ! -x "$sim" ]; then
  echo "building the Linux simulator (release preset)"
  (cd "$src" && cmake --preset release >/dev/null && cmake --build --preset release --target linkloader-sim linkloader-hexfw >/dev/null) ||
    die "could not build linkloader-sim"
fi
hexfw=$(dirname "$(dirname "$sim")")/hexfw/linkloader-hexfw
[ -x "$hexfw" ] || (cd "$(dirname "$(dirname "$(dirname "$sim")")")" && cmake --build . --target linkloader-hexfw >/dev/null) ||
  die "no Linux linkloader-hexfw beside $sim"

# Wine's serial layer asks a pty for modem lines it does not have; the helper answers for it.
preload=$work/modem_lines_preload.so
gcc -shared -fPIC -O2 -o "$preload" "$(dirname "$0")/../wine/modem_lines_preload.c" -ldl || die "could not build the preload helper"

installer=$("$src/scripts/package-windows.sh" "$build" "$work/package" | tail -n1)
version=$(sed -n 's/^project(LinkLoader VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(basename "$installer")" = "LinkLoader-$version-setup.exe" ] && [ -f "$installer" ] ||
  die "package-windows.sh made '$installer', expected LinkLoader-$version-setup.exe"
pass "installer $(basename "$installer") ($(( $(stat -c %s "$installer") / 1024 )) KiB)"

# ---- A private Wine prefix --------------------------------------------------------------------
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
"$src/cmake/wine-new-prefix.sh" "$WINEPREFIX" || die "could not make a Wine prefix"
drive_c=$WINEPREFIX/drive_c
user_dir=$(find "$drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n1)
list_files() { (cd "$drive_c" && find . -type f -o -type l | sort); }
# Runs an uninstaller silently and prints the files since FILES-BEFORE it left, the user's data
# aside. It runs from a copy in the temporary folder, which Wine's restart removes as Windows would.
files_left_by() {  # UNINSTALLER FILES-BEFORE
  wine "$1" /S; wineserver --wait
  wine wineboot --restart >/dev/null 2>&1; wineserver --wait
  list_files | grep -v '^\./users/[^/]*/AppData/Local/LinkLoader/' | comm -13 "$2" - |
    grep -vE '^\./windows/(temp|Installer|system32/config|inf)/|\.log$' || true
}

# PATH, machine's and user's: each install must leave both values as they were before it (as
# path_snapshot saved them) but for its one entry, appended to its own; each uninstall exactly as
# they were.
env_keys='machine system.reg HKLM System\CurrentControlSet\Control\Session Manager\Environment
user user.reg HKCU Environment'
path_snapshot() {
  while read -r scope hive _ key; do
    reg_raw "$hive" "$key" Path >"$work/path-$scope"
    reg_value "$hive" "$key" Path >"$work/path-$scope.text"
  done <<<"$env_keys"
}
# paths_are WHAT MACHINE-ENTRY USER-ENTRY: each value is the one from before with the entry for it
# ("" for none) appended the installer's way, as the hive stores it.
paths_are() {
  local scope hive key want got entry
  while read -r scope hive _ key; do
    want=$(cat "$work/path-$scope")
    entry=$2; [ "$scope" = user ] && entry=$3
    entry=${entry//\\/\\\\}
    case "$entry:$want" in
      :*) ;;
      *:) want="str(2):\"$entry\"" ;;
      *';"') want="${want%\"}$entry;\"" ;;
      *) want="${want%\"};$entry\"" ;;
    esac
    got=$(reg_raw "$hive" "$key" Path)
    [ "$got" = "$want" ] && pass "$1: the $scope PATH (${#got} characters) is as it should be" ||
      fail "$1: the $scope PATH ends in '${got: -60}', expected '${want: -60}' (${#got}/${#want} characters)"
  done <<<"$env_keys"
}
path_snapshot
list_files >"$work/files-before"

# ---- Install --------------------------------------------------------------------------------
wine "$installer" /S
wineserver --wait
instdir="$drive_c/Program Files/LinkLoader"
for f in linkloader.exe linkloader-cli.exe linkloader-hexfw.exe uninstall.exe LICENSE.txt linkloader.ico; do
  [ -f "$instdir/$f" ] || fail "installed $f missing in $instdir"
done
startmenu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/LinkLoader"
[ -f "$startmenu/LinkLoader.lnk" ] && pass "Start-menu entry" || fail "no Start-menu entry in $startmenu"
seen=$(reg_value system.reg 'Software\Microsoft\Windows\CurrentVersion\Uninstall\LinkLoader' DisplayVersion)
[ "$seen" = "$version" ] && pass "uninstall entry names version $version" || fail "uninstall entry: version '$seen', not $version"
grep -qF 'linkloader.exe" "%1"' <<<"$(reg_value system.reg 'Software\Classes\LinkLoader.hexfw\shell\open\command' @)" && pass ".hexfw opens in LinkLoader" || fail "no .hexfw association"
# A new console finds the command-line programs by name.
out=$(wine cmd /c "linkloader-cli --help" 2>&1 | tr -d '\r')
grep -q "Usage: linkloader-cli" <<<"$out" && pass "linkloader-cli answers from a console (PATH)" ||
  fail "linkloader-cli not found from a console: $out"
out=$(wine cmd /c "linkloader-hexfw --help" 2>&1 | tr -d '\r')
grep -qi "usage" <<<"$out" && pass "linkloader-hexfw answers from a console" || fail "linkloader-hexfw from a console: $out"
paths_are "all-users install" "$(reg_value system.reg 'Software\LinkLoader' InstallDir)" ""
# Each program's manifest: long paths, per-monitor DPI awareness (once each, in the one manifest).
for exe in linkloader linkloader-cli linkloader-hexfw; do
  for pattern in '<assembly xmlns=' '<longPathAware [^>]*>true</longPathAware>' '<dpiAwareness [^>]*>PerMonitorV2,'; do
    [ "$(grep -a -o -E "$pattern" "$instdir/$exe.exe" | wc -l)" -eq 1 ] || fail "$exe.exe: '$pattern' is not in its manifest once"
  done
done

# The window program asked its version answers on the output it was given and opens no window.
# (Without DISPLAY here Wine's desktop process would start without one for the rest of the run.)
out=$(wine "$instdir/linkloader.exe" --version 2>/dev/null | tr -d '\r')
[ "$out" = "linkloader $version" ] && pass "linkloader --version answers on its output" ||
  fail "linkloader --version: '$out'"

# From here on PATH is as on a PC with vendor and development tools: far beyond NSIS's 1,024
# characters, REG_EXPAND_SZ with %VARIABLES%, the user's ending in ';'. (Wine cuts the PATH it
# gives a process at about 1,024 characters, so consoles are asked above, before this.)
long=$(for i in $(seq 70); do printf ';%s\\Vendor Tool %d\\bin;%s\\.tools\\%d' %ProgramFiles% "$i" %USERPROFILE% "$i"; done)
while read -r scope hive root key; do
  value=$(cat "$work/path-$scope.text")  # as before the install: LinkLoader's entry is not in it
  if [ "$scope" = user ]; then value="%USERPROFILE%\bin$long;"; else value="$value$long"; fi
  wine reg add "$root\\$key" /v Path /t REG_EXPAND_SZ /d "$value" /f >/dev/null 2>&1
done <<<"$env_keys"
wineserver --wait
path_snapshot
while read -r scope hive _ key; do
  value=$(reg_value "$hive" "$key" Path)
  [ "${#value}" -ge 4000 ] && grep -q '^str(2):' "$work/path-$scope" ||
    die "no long REG_EXPAND_SZ $scope PATH to start from: $(head -c 80 "$work/path-$scope")"
done <<<"$env_keys"

# ---- Installing over an installation ----------------------------------------------------------
# Into its own folder, then into another: each time the one before is gone, its PATH entry too.
for target in '' 'C:\Tools\LinkLoader'; do
  wine "$installer" /S ${target:+"/D=$target"}; status=$?
  wineserver --wait
  now=$(reg_value system.reg 'Software\Microsoft\Windows\CurrentVersion\Uninstall\LinkLoader' InstallLocation)
  rel=${now#?:\\}; newdir="$drive_c/${rel//\\//}"
  [ "$status" -eq 0 ] && [ -f "$newdir/linkloader.exe" ] && [ "$newdir" = "$instdir" -o ! -e "$instdir" ] &&
    ! reg_value user.reg 'Software\Microsoft\Windows\CurrentVersion\Uninstall\LinkLoader' &&
    pass "install over it into ${target:-its folder}: one installation, in $now" ||
    fail "install over it into ${target:-its folder} (exit $status): in '$now', the old folder $([ -e "$instdir" ] && echo kept || echo gone)"
  paths_are "install over it into ${target:-its folder}" "$now" ""
  instdir=$newdir
done

# ---- The window -----------------------------------------------------------------------------
window=
wait_window() {
  local tries=0
  window=
  until window=$(xdotool search --onlyvisible --name '^LINK LOADER$' 2>/dev/null | head -n1) && [ -n "$window" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 600 ] || return 1
    sleep 0.1
  done
  sleep 2  # the first paint
}
start_window() {
  (cd "$user_dir" && LD_PRELOAD=$preload wine "$instdir/linkloader.exe" "$@" >"$work/window.log" 2>&1 &)
  wait_window || die "the window did not appear; its output: $(cat "$work/window.log")"
}
stop_window() {
  wineserver -k 2>/dev/null
  wineserver --wait 2>/dev/null
}
shot() { import -window "$window" "$1" 2>/dev/null || fail "no screenshot $1"; }

for lang in 1:en 0:pl; do
  export LINKLOADER_SHOT_LANG=${lang%%:*}
  start_window
  unset LINKLOADER_SHOT_LANG
  shot "$shots/windows-${lang#*:}.png"
  geometry=$(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: //p')
  [ "$geometry" = "457x344" ] && pass "window ${lang#*:}: client area $geometry" ||
    fail "window ${lang#*:}: client area $geometry, expected 457x344"
  stop_window
done

# ---- A session against the simulator --------------------------------------------------------
"$hexfw" dump "$src/examples/demo.hexfw" --out "$work/images" >/dev/null || die "linkloader-hexfw dump failed"
stdbuf -oL "$sim" --dump-flash "$work/flash.bin" --dump-eeprom "$work/eeprom.bin" --frames "$work/frames.txt" \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
tries=0
until pty=$(head -n1 "$work/sim.out" 2>/dev/null) && [ -n "$pty" ]; do
  tries=$((tries + 1)); [ "$tries" -lt 100 ] || die "linkloader-sim printed no device"; sleep 0.1
done
# Wine maps the COM ports it finds (/dev/ttyS*) afresh at each start, COM1 included; a port
# named in its Ports key wins over that.
pty=$(readlink -f "$pty")
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$pty" /f >/dev/null 2>&1
wineserver --wait
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com1"

resets() { grep -c '^cmd=4 ' "$work/frames.txt" 2>/dev/null || echo 0; }
wait_resets() {
  local n=$1 tries=0
  until [ "$(resets)" -ge "$n" ]; do
    tries=$((tries + 1)); [ "$tries" -lt 3000 ] || return 1; sleep 0.1
  done
  sleep 0.3  # the dumps follow the frame log
}
# Window coordinates of a point given on a page: the page control's pages start below its tabs,
# as high as the style makes them; the English screenshot shows where.
if [ -n "${LL_PAGE_X:-}" ] && [ -n "${LL_PAGE_Y:-}" ]; then
  page_x=$LL_PAGE_X; page_y=$LL_PAGE_Y
else
  read -r page_x page_y < <(python3 "$(dirname "$0")/page_origin.py" "$shots/windows-en.png") ||
    die "no page origin in the English screenshot"
fi
pass "the first page begins at $page_x,$page_y of the window"
click_window() { xdotool mousemove --window "$window" "$1" "$2" click 1; sleep 0.5; }
click_page() { click_window $((page_x + $1)) $((page_y + $2)); }

cp "$src/examples/demo.hexfw" "$user_dir/demo.hexfw"
start_window
[ "$(readlink "$WINEPREFIX/dosdevices/com1")" = "$pty" ] && pass "COM1 is $pty" ||
  fail "COM1 is $(readlink "$WINEPREFIX/dosdevices/com1"), not the simulator's $pty"
# "Open file" (GroupBox3 at 204,3; bbOpen at 10,22, 85x25), then the system's file dialog.
click_page $((204 + 10 + 42)) $((3 + 22 + 12))
sleep 3
xdotool type --delay 50 'C:\users\'"$(basename "$user_dir")"'\demo.hexfw'
xdotool key Return
sleep 2
shot "$work/opened.png"
# "Write" (bbUpload at 10,76 in GroupBox3).
click_page $((204 + 10 + 42)) $((3 + 76 + 12))
wait_resets 1 || die "Write: the module was never reset (frames: $(wc -l <"$work/frames.txt" 2>/dev/null))"
if cmp -s <(tail -c +$((0x200 + 1)) "$work/flash.bin") <(tail -c +$((0x200 + 1)) "$work/images/flash.bin") &&
   cmp -s "$work/eeprom.bin" "$work/images/eeprom.bin"; then
  pass "Write: the module's FLASH from 0x200 and its EEPROM are the file's images"
else
  fail "Write: the module's memory is not the file's images"
fi
# "Read" (Button2 at 12,22 in GroupBox2 at 88,100).
click_page $((88 + 12 + 42)) $((100 + 22 + 12))
wait_resets 2 && pass "Read ran to its reset" || fail "Read: no reset"
sleep 1
shot "$shots/windows-session.png"
cmp -s "$work/eeprom.bin" "$work/images/eeprom.bin" || fail "Read changed the EEPROM"
# The second page ("Parametry pracy" tab, right of the first), "Reading" (BitBtn2 at 16,20 in
# GroupBox4 at 352,0).
click_window $((226 + 113)) 10
click_page $((352 + 16 + 32)) $((0 + 20 + 14))
wait_resets 3 && pass "Reading ran to its reset" || fail "Reading: no reset"
cp "$work/eeprom.bin" "$work/eeprom-before.bin"
# One option: the pair in GroupBox6 (0,48): RadioButton6 at 8,16, RadioButton7 at 72,16; the
# one not showing the module's setting of bit 1 of byte 0x21.
option_byte=$(od -An -tu1 -j $((0x21)) -N1 "$work/eeprom-before.bin" | tr -d ' ')
if (( option_byte & 2 )); then click_page $((0 + 8 + 8)) $((48 + 16 + 8)); else click_page $((0 + 72 + 8)) $((48 + 16 + 8)); fi
# "Saving" (BitBtn1 at 16,72 in GroupBox4).
click_page $((352 + 16 + 32)) $((0 + 72 + 14))
wait_resets 4 && pass "Saving ran to its reset" || fail "Saving: no reset"
shot "$shots/windows-saved.png"
expected_after=$(( option_byte ^ 2 ))
ok=1
saw_option=0
while read -r position old new; do  # cmp -l: 1-based position, the two bytes in octal
  offset=$((position - 1)); old=$((8#$old)); new=$((8#$new))
  if [ "$offset" -eq $((0x21)) ] && [ "$new" -eq "$expected_after" ]; then saw_option=1
  elif [ "$offset" -eq $((0x61)) ]; then :  # the second options byte's unused bits, which Saving clears
  else ok=0; fail "Saving changed EEPROM byte $offset: $old -> $new"
  fi
done < <(cmp -l "$work/eeprom-before.bin" "$work/eeprom.bin")
[ "$saw_option" -eq 1 ] && [ "$ok" -eq 1 ] && pass "Saving changed exactly bit 1 of byte 0x21" ||
  fail "Saving: byte 0x21 is not $expected_after"
# While the window runs, its uninstaller (run in place, as an installer runs it) and a new install
# end with 2 (aborted) and remove nothing; the registry and PATH are looked at once Wine has saved them.
windir=$(reg_value system.reg 'Software\LinkLoader' InstallDir)
ls -lR "$instdir" >"$work/installed"
for run in "\"$windir\\uninstall.exe\" /S _?=$windir" "\"$(winepath -w "$installer" 2>/dev/null)\" /S"; do
  printf '@%s\r\n@exit /b %%errorlevel%%\r\n' "$run" >"$drive_c/run.bat"
  wine cmd /c 'C:\run.bat' >/dev/null 2>&1; status=$?
  rm -f "$drive_c/run.bat"
  [ "$status" -eq 2 ] && ls -lR "$instdir" | cmp -s - "$work/installed" && pass "while LinkLoader runs: $run removes nothing" ||
    fail "while LinkLoader runs: $run exits $status, files $(ls -lR "$instdir" | cmp -s - "$work/installed" && echo kept || echo changed)"
done
stop_window
paths_are "after both were refused" "$windir" ""
[ "$(reg_value system.reg 'Software\Microsoft\Windows\CurrentVersion\Uninstall\LinkLoader' DisplayVersion)" = "$version" ] ||
  fail "the uninstall entry went while LinkLoader ran"
kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; sim_pid=

# ---- Uninstall ------------------------------------------------------------------------------
# The session's firmware file is the test's, not the program's.
rm -f "$user_dir/demo.hexfw"
data_dir="$user_dir/AppData/Local/LinkLoader"
had_data=0; [ -d "$data_dir" ] && had_data=1
left=$(files_left_by "$instdir/uninstall.exe" "$work/files-before")
[ -z "$left" ] && pass "uninstaller left no file of the program" || fail "files left after uninstalling: $left"
[ ! -e "$instdir" ] || fail "$instdir still exists"
[ ! -e "$startmenu" ] || fail "Start-menu folder still exists"
reg_value system.reg 'Software\Classes\LinkLoader.hexfw' && fail ".hexfw association left behind"
reg_value system.reg 'Software\Microsoft\Windows\CurrentVersion\Uninstall\LinkLoader' && fail "uninstall entry left behind"
paths_are "all-users uninstall" "" ""
if [ "$had_data" -eq 1 ]; then
  [ -d "$data_dir" ] && pass "the user's EEPROM copies stay in $(basename "$data_dir")" || fail "uninstaller removed the user's data"
fi

# ---- For this user only ---------------------------------------------------------------------
# Not silent this time: every page (and any message) is answered with Enter, as a user taking the
# defaults would. Wine's accounts are administrators, so the finish page must start nothing.
list_files >"$work/files-before-user"
wine "$installer" /CurrentUser >/dev/null 2>&1 &
setup_pid=$!
for _ in $(seq 90); do
  kill -0 "$setup_pid" 2>/dev/null || break
  page=$(xdotool search --onlyvisible --name '^LinkLoader .* Setup' 2>/dev/null | head -n1)
  [ -n "$page" ] && xdotool windowactivate --sync "$page" key Return 2>/dev/null
  sleep 1
done
if kill "$setup_pid" 2>/dev/null; then fail "the per-user install through its pages did not end"
elif wait "$setup_pid"; then pass "per-user install through its pages"
else fail "the per-user install through its pages ended with $?"
fi
sleep 3
for pid in $(pgrep -f 'linkloader\.exe'); do  # this prefix's, not another test's
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
    fail "the finish page started LinkLoader with administrator rights"
done
wineserver -k 2>/dev/null
wineserver --wait
userdir="$user_dir/AppData/Local/Programs/LinkLoader"
[ -f "$userdir/linkloader.exe" ] && pass "per-user install into $(basename "$(dirname "$userdir")")/LinkLoader" ||
  fail "per-user install: no $userdir/linkloader.exe"
[ -f "$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/LinkLoader/LinkLoader.lnk" ] ||
  fail "per-user install: no Start-menu entry of the user"
[ ! -e "$instdir" ] || fail "per-user install wrote into Program Files"
# (No console is asked here: with PATH this long, Wine gives it only the first 1,024 characters.)
paths_are "per-user install" "" "$(reg_value user.reg 'Software\LinkLoader' InstallDir)"
left=$(files_left_by "$userdir/uninstall.exe" "$work/files-before-user")
[ -z "$left" ] && pass "per-user uninstall left no file of the program" || fail "files left after the per-user uninstall: $left"
paths_are "per-user uninstall" "" ""
reg_value user.reg 'Software\LinkLoader' && fail "per-user uninstall left its registry key"

# The user's Path missing (the install creates it, the uninstall removes it again) and no string
# (left alone, the install goes on without it).
for preset in missing 'REG_DWORD 7'; do
  if [ "$preset" = missing ]; then wine reg delete 'HKCU\Environment' /v Path /f
  else wine reg add 'HKCU\Environment' /v Path /t "${preset% *}" /d "${preset#* }" /f; fi >/dev/null 2>&1
  wineserver --wait
  path_snapshot
  wine "$installer" /S /CurrentUser
  wineserver --wait
  [ -f "$userdir/linkloader.exe" ] || fail "user Path $preset: not installed"
  entry=; [ "$preset" = missing ] && entry=$(reg_value user.reg 'Software\LinkLoader' InstallDir)
  paths_are "user Path $preset, install" "" "$entry"
  wine "$userdir/uninstall.exe" /S
  wineserver --wait
  paths_are "user Path $preset, uninstall" "" ""
done

[ "$failures" -eq 0 ] && echo "Windows program under Wine: all checks passed"
[ "$failures" -eq 0 ]
