# SPDX-License-Identifier: GPL-3.0-or-later
# What `cmake --install` puts under the prefix besides the programs (their install() rules live in
# their own folders), and the Debian package built from it with CPack (scripts/package.sh).

set(LL_HOMEPAGE "https://linkloader.example.org" CACHE STRING
    "Project web address: the package's homepage and the base of the metainfo's screenshots")
set(LL_MAINTAINER "The LinkLoader developers <linkloader@example.org>" CACHE STRING
    "Maintainer field of the Debian package")

set(LL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(LL_APP_ID org.linkloader.LinkLoader)

# The version lives in project(); the changelog and the metainfo's release entry repeat it and
# must not drift from it.
file(STRINGS ${LL_PACKAGING_DIR}/changelog LL_CHANGELOG_TOP LIMIT_COUNT 1)
file(READ ${LL_PACKAGING_DIR}/${LL_APP_ID}.metainfo.xml.in LL_METAINFO_TEMPLATE)
if(NOT LL_CHANGELOG_TOP MATCHES "^linkloader \\(${PROJECT_VERSION}\\) "
   OR NOT LL_METAINFO_TEMPLATE MATCHES "<release version=\"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "packaging/changelog and the metainfo's newest release must name version "
                      "${PROJECT_VERSION}")
endif()

# Each program's own folder installs it; these are the ones the package lists.
set(LL_PROGRAMS)
foreach(program IN ITEMS linkloader linkloader-hexfw linkloader-sim linkloader-cli)
  if(TARGET ${program})
    list(APPEND LL_PROGRAMS ${program})
  endif()
endforeach()

# Debian wants manual pages and the changelog compressed, without a time stamp in the gzip
# header, so that the package is the same on every build.
set(LL_GZIPPED)
function(ll_gzip source destination_dir)
  get_filename_component(name ${source} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND gzip -9 -n -c ${source} > ${out}
    DEPENDS ${source} VERBATIM)
  install(FILES ${out} DESTINATION ${destination_dir})
  set(LL_GZIPPED ${LL_GZIPPED} ${out} PARENT_SCOPE)
endfunction()

file(GLOB LL_MAN_PAGES CONFIGURE_DEPENDS ${LL_PACKAGING_DIR}/man/*.1)
foreach(page IN LISTS LL_MAN_PAGES)
  ll_gzip(${page} share/man/man1)
endforeach()
ll_gzip(${LL_PACKAGING_DIR}/changelog share/doc/linkloader)
install(FILES ${LL_PACKAGING_DIR}/copyright DESTINATION share/doc/linkloader)
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo.hexfw ${PROJECT_SOURCE_DIR}/examples/demo.hex
        DESTINATION share/linkloader/examples)

if(TARGET linkloader)
  install(FILES ${LL_PACKAGING_DIR}/${LL_APP_ID}.desktop DESTINATION share/applications)
  set(LL_PROVIDED_BINARIES)
  foreach(program IN LISTS LL_PROGRAMS)
    string(APPEND LL_PROVIDED_BINARIES "    <binary>${program}</binary>\n")
  endforeach()
  string(STRIP "${LL_PROVIDED_BINARIES}" LL_PROVIDED_BINARIES)
  set(LL_PROVIDED_BINARIES "    ${LL_PROVIDED_BINARIES}")
  configure_file(${LL_PACKAGING_DIR}/${LL_APP_ID}.metainfo.xml.in
                 ${CMAKE_CURRENT_BINARY_DIR}/packaging/${LL_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/${LL_APP_ID}.metainfo.xml
          DESTINATION share/metainfo)
  install(FILES ${LL_PACKAGING_DIR}/linkloader.svg
          DESTINATION share/icons/hicolor/scalable/apps)
  file(GLOB LL_ICON_SIZES RELATIVE ${LL_PACKAGING_DIR}/icons ${LL_PACKAGING_DIR}/icons/*)
  foreach(size IN LISTS LL_ICON_SIZES)
    install(FILES ${LL_PACKAGING_DIR}/icons/${size}/linkloader.png
            DESTINATION share/icons/hicolor/${size}/apps)
  endforeach()
endif()

# One target builds everything the installation takes, so that packaging need not build the tests.
add_custom_target(ll_installables DEPENDS ${LL_GZIPPED})
if(LL_PROGRAMS)
  add_dependencies(ll_installables ${LL_PROGRAMS})
endif()
if(WIN32)
  # Every program carries the process manifest: long paths, per-monitor DPI, run as invoked.
  set(LL_WINDOWS_MANIFEST_RC ${LL_PACKAGING_DIR}/windows/manifest.rc)
  set_source_files_properties(${LL_WINDOWS_MANIFEST_RC} PROPERTIES
                              OBJECT_DEPENDS ${LL_PACKAGING_DIR}/windows/linkloader.manifest)
  foreach(program IN LISTS LL_PROGRAMS)
    target_sources(${program} PRIVATE ${LL_WINDOWS_MANIFEST_RC})
  endforeach()
  # The installer's and the uninstaller's PATH editor; they carry it, it is not installed.
  add_executable(linkloader-path ${LL_PACKAGING_DIR}/windows/path_entry.cpp ${LL_WINDOWS_MANIFEST_RC})
  target_link_options(linkloader-path PRIVATE -municode -s)
  set_target_properties(linkloader-path PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/packaging/windows)
  add_dependencies(ll_installables linkloader-path)
endif()
# `all` makes the compressed files too, so that `cmake --install` after a plain build works.
add_custom_target(ll_packaging_files ALL DEPENDS ${LL_GZIPPED})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME linkloader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The LinkLoader developers")
set(CPACK_PACKAGE_CONTACT "${LL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for a CAN-bus alarm module's bootloader")
set(CPACK_PACKAGE_DESCRIPTION
"LinkLoader is the desktop service tool for a CAN-bus alarm interface module
with a resident serial bootloader. Over one serial line at 9600 baud it reads
the module's program version, uploads firmware from line-encoded .hexfw files,
reads and writes the module's working parameters and lists the vehicle programs
that a firmware file names.

The package also holds linkloader-hexfw, which converts firmware files and
shows what an upload would load, and linkloader-sim, which simulates the
module's bootloader on a pseudo-terminal.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${LL_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window is drawn for MS Sans Serif and Tahoma (fonts-wine has free faces with their
# metrics); Liberation Sans (Arial's metrics) is the number fields' face and the fallback.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wine, fonts-liberation")
include(CPack)
