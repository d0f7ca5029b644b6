#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Qt for 64-bit Windows (mingw-w64) from Debian's own qt6-base source, with only what the
# window needs, statically, into a cache folder outside the clone. The folder's name carries the
# Qt version and a hash of the build options, so a change of options builds a new one; a second
# run with the cache present does nothing.
#
#   scripts/qt-windows.sh            build when missing, print the prefix on the last line
#   scripts/qt-windows.sh --prefix   only print the prefix the options lead to (built or not)
#   scripts/qt-windows.sh --built    exit 0 when that prefix is built, 1 when it is not
#
# Environment: QT_WINDOWS_JOBS (default 2), XDG_CACHE_HOME.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
qt_version=6.4.2
debian_version="6.4.2+dfsg"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/linkloader"
jobs="${QT_WINDOWS_JOBS:-2}"

# Everything the window does not use is off: fewer sources to compile, a smaller program.
# OpenGL stays on because 6.4.2's Windows platform plugin does not compile without it.
# Optimised for size: the window does not need speed, and -Os compiles faster than Release's -O3.
# Sources are compiled sixteen to a batch (see cmake/qt-windows-unity.cmake).
options=(
  -DCMAKE_BUILD_TYPE=MinSizeRel
  -DCMAKE_UNITY_BUILD=ON
  -DCMAKE_UNITY_BUILD_BATCH_SIZE=16
  -DBUILD_SHARED_LIBS=OFF
  -DQT_BUILD_EXAMPLES=OFF
  -DQT_BUILD_TESTS=OFF
  -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DQt6HostInfo_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt6HostInfo
  -DFEATURE_system_zlib=OFF
  -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_freetype=OFF
  -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_png=OFF
  -DFEATURE_system_jpeg=OFF
  -DFEATURE_system_doubleconversion=OFF
  -DFEATURE_zstd=OFF
  -DFEATURE_icu=OFF
  -DFEATURE_glib=OFF
  -DFEATURE_sql=OFF
  -DFEATURE_network=OFF
  -DFEATURE_dbus=OFF
  -DFEATURE_printsupport=OFF
  -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF
  -DFEATURE_testlib=OFF
  -DFEATURE_tabletevent=OFF
  -DFEATURE_vulkan=OFF
  -DFEATURE_direct2d=OFF
  -DFEATURE_opengl=ON
  # Core: nothing in the window shares memory, starts processes, converts time zones, guesses
  # file types or counts in other calendars.
  -DFEATURE_sharedmemory=OFF
  -DFEATURE_systemsemaphore=OFF
  -DFEATURE_process=OFF
  -DFEATURE_timezone=OFF
  -DFEATURE_mimetype=OFF
  -DFEATURE_hijricalendar=OFF
  -DFEATURE_islamiccivilcalendar=OFF
  -DFEATURE_jalalicalendar=OFF
  # Gui: the Windows font database draws with GDI, so the bundled FreeType (and the offscreen
  # platform that needs it) goes; the window reads no JPEG, GIF or ICO files (its icon is a
  # resource of the program), writes no PDF and shows no Markdown, ODF or animations.
  -DFEATURE_freetype=OFF
  -DFEATURE_jpeg=OFF
  -DFEATURE_gif=OFF
  -DFEATURE_ico=OFF
  -DFEATURE_pdf=OFF
  -DFEATURE_movie=OFF
  -DFEATURE_textmarkdownreader=OFF
  -DFEATURE_textmarkdownwriter=OFF
  -DFEATURE_textodfwriter=OFF
  -DFEATURE_syntaxhighlighter=OFF
  -DFEATURE_undocommand=OFF
  -DFEATURE_undostack=OFF
  -DFEATURE_undogroup=OFF
  # Widgets the window never shows; the file dialog, message boxes and item views it does use
  # stay.
  -DFEATURE_graphicsview=OFF
  -DFEATURE_calendarwidget=OFF
  -DFEATURE_datetimeedit=OFF
  -DFEATURE_mdiarea=OFF
  -DFEATURE_undoview=OFF
  -DFEATURE_wizard=OFF
  -DFEATURE_fontdialog=OFF
  -DFEATURE_colordialog=OFF
  -DFEATURE_errormessage=OFF
  -DFEATURE_splashscreen=OFF
  -DFEATURE_lcdnumber=OFF
  -DFEATURE_dial=OFF
  -DFEATURE_keysequenceedit=OFF
  -DFEATURE_columnview=OFF
  -DFEATURE_datawidgetmapper=OFF
  -DFEATURE_fontcombobox=OFF
  -DFEATURE_systemtrayicon=OFF
  -DFEATURE_toolbox=OFF
  -DFEATURE_dockwidget=OFF
  -DFEATURE_style_fusion=OFF
)
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
unity_exclusions="$root/cmake/qt-windows-unity.cmake"
# 6.4.2 builds the DirectWrite font database into Gui only with Direct2D, while the Windows
# platform plugin refers to it whenever DirectWrite 3 is there: without Direct2D the window would
# not link. The plugin asks for it on the same condition as Gui builds it.
source_patches=(
  's/^#if QT_CONFIG(directwrite3)$/#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)/'
  src/plugins/platforms/windows/qwindowsintegration.cpp
  # No feature leaves these out, and the window links none of them: the OpenGL widget module, the
  # framebuffer and device-discovery helpers of the embedded platforms, the "minimal" platform.
  's/^\( *\)add_subdirectory(\(openglwidgets\|platformsupport\))$/\1# \2: not used by the window/'
  src/CMakeLists.txt
  's/^\( *\)add_subdirectory(minimal)$/\1# minimal: not used by the window/'
  src/plugins/platforms/CMakeLists.txt
)
# The key: everything that changes what is built — Qt's version, these options, the patches, the
# toolchain and unity files (their text, not the clone's path) and the compiler.
options_hash="$( { printf '%s\n' "$qt_version" "${options[@]}" "${source_patches[@]}"
  cat "$toolchain" "$unity_exclusions"; x86_64-w64-mingw32-g++-posix -dumpfullversion; } |
  sha256sum | cut -c1-10)"
prefix="$cache/qt-$qt_version-mingw64-$options_hash"
stamp="$prefix/.linkloader-built"

if [ "${1:-}" = "--prefix" ]; then
  echo "$prefix"
  exit 0
fi
if [ "${1:-}" = "--built" ]; then
  [ -f "$stamp" ]
  exit
fi
# One build at a time: a second run waits for the first and then finds its result.
mkdir -p "$cache"
exec 9>"$cache/.qt-windows.lock"
flock 9
if [ -f "$stamp" ]; then
  echo "Qt for Windows is already built: $prefix"
  echo "$prefix"
  exit 0
fi

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"

# Debian's source packages come from the same archive as its binaries: a deb-src twin of the
# bookworm entry, signed by the same key.
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src ' /etc/apt/sources.list; then
  echo "Adding Debian's bookworm source index (/etc/apt/sources.list.d/linkloader-debian-src.sources)"
  $SUDO tee /etc/apt/sources.list.d/linkloader-debian-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $SUDO apt-get update -qq
fi

download="$cache/download"
mkdir -p "$download"
# The signed Sources index names the .dsc with its SHA-256 (apt checked the index's signature when
# it fetched it): that hash is the root of trust for the tarballs the .dsc lists in turn.
index_entry() {
  apt-get source --print-uris qt6-base 2>/dev/null | awk -v v="$debian_version" \
    'index($2, "qt6-base_" v "-") == 1 && $2 ~ /\.dsc$/ { sub(/^SHA256:/, "", $4); print $2, $4 }' |
    tail -n1
}
entry="$(index_entry)"
[ -n "$entry" ] || { $SUDO apt-get update -qq; entry="$(index_entry)"; }
[ -n "$entry" ] || { echo "error: the Sources index names no qt6-base $debian_version .dsc" >&2; exit 1; }
read -r dsc_name dsc_sha256 <<<"$entry"
dsc="$download/$dsc_name"
if [ ! -f "$dsc" ] || [ "$(sha256sum "$dsc" | cut -d' ' -f1)" != "$dsc_sha256" ]; then
  rm -f "$dsc"
  # apt checks every file against the hashes of the signed Sources index while downloading.
  (cd "$download" && apt-get source --download-only qt6-base)
fi
echo "Checking $dsc_name against the signed Sources index"
[ "$(sha256sum "$dsc" | cut -d' ' -f1)" = "$dsc_sha256" ] \
  || { echo "error: $dsc_name does not match the index's SHA-256" >&2; exit 1; }

# The .dsc names every tarball with its SHA-256; check them again here, so a file damaged or
# replaced in the download folder since then is caught.
echo "Checking $(basename "$dsc") against its Checksums-Sha256"
checked=0
while read -r sum size name; do
  [ -n "$name" ] || continue
  actual="$(sha256sum "$download/$name" | cut -d' ' -f1)"
  if [ "$actual" != "$sum" ] || [ "$(stat -c %s "$download/$name")" != "$size" ]; then
    echo "error: $name does not match the archive's checksum" >&2
    exit 1
  fi
  checked=$((checked + 1))
done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$dsc")
[ "$checked" -ge 2 ] || { echo "error: no checksums found in $dsc" >&2; exit 1; }
echo "  $checked files match"

work="$cache/work-$qt_version-$options_hash"
source_dir="$work/qtbase"
build_dir="$work/build"
if [ ! -f "$source_dir/.unpacked" ]; then
  rm -rf "$source_dir"
  mkdir -p "$work"
  dpkg-source --no-check -x "$dsc" "$source_dir" >/dev/null
  touch "$source_dir/.unpacked"
fi

for ((i = 0; i < ${#source_patches[@]}; i += 2)); do
  sed -i "${source_patches[i]}" "$source_dir/${source_patches[i + 1]}"
done

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_SLOPPINESS="${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}"
  # Paths relative to the cache folder: a build with other options reuses what did not change.
  export CCACHE_BASEDIR="$cache"
  # A miss runs the compiler alone, without a preprocessor pass first (see scripts/test.sh).
  export CCACHE_DEPEND=1
fi

started=$(date +%s)
cmake -S "$source_dir" -B "$build_dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_PROJECT_INCLUDE="$unity_exclusions" \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  "${launcher[@]}" "${options[@]}"
# With the options and patches above, everything the build holds is what the window links (Core,
# Gui, OpenGL for the platform plugin, Widgets, the Windows platform and style plugins, the bundled
# libraries), so building all of it costs nothing extra and leaves the install complete.
# ccache once failed here on a precompiled header's dependency file that the compiler had not yet
# written; ninja goes on where it stopped, so one more try costs only what was left.
cmake --build "$build_dir" -j"$jobs" || cmake --build "$build_dir" -j"$jobs"
rm -rf "$prefix"
cmake --install "$build_dir"
finished=$(date +%s)
printf 'qt %s\noptions %s\nbuild_seconds %s\n' "$qt_version" "$options_hash" "$((finished - started))" > "$stamp"
echo "Qt for Windows built in $(( (finished - started) / 60 )) min $(( (finished - started) % 60 )) s: $prefix"
echo "$prefix"
