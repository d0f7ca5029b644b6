# SPDX-License-Identifier: GPL-3.0-or-later
# Cross build for 64-bit Windows with the window: the mingw-w64 toolchain plus the Qt for Windows
# that scripts/qt-windows.sh builds from Debian's source into a cache folder. The folder comes
# from LINKLOADER_QT_WINDOWS when set, otherwise from the script (which knows the folder its
# options lead to); Qt's build tools (moc, rcc, uic) are the build machine's own Qt 6.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

# Asked at every configure: when Qt for Windows is built anew with other options it lands in
# another folder, and a build folder must follow it rather than keep linking the old one.
if(DEFINED ENV{LINKLOADER_QT_WINDOWS} AND NOT "$ENV{LINKLOADER_QT_WINDOWS}" STREQUAL "")
  set(prefix "$ENV{LINKLOADER_QT_WINDOWS}")
else()
  execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/qt-windows.sh --prefix
                  OUTPUT_VARIABLE prefix OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
if(NOT EXISTS "${prefix}/lib/cmake/Qt6/Qt6Config.cmake")
  message(FATAL_ERROR "No Qt for Windows in ${prefix}: run scripts/qt-windows.sh first "
                      "(or set LINKLOADER_QT_WINDOWS to a Qt for mingw-w64)")
endif()
if(LL_QT_WINDOWS_PREFIX AND NOT LL_QT_WINDOWS_PREFIX STREQUAL prefix)
  # find_package keeps the folders it found in the cache: those in the old Qt are forgotten.
  get_cmake_property(cached CACHE_VARIABLES)
  foreach(variable IN LISTS cached)
    get_property(value CACHE ${variable} PROPERTY VALUE)
    string(FIND "${value}" "${LL_QT_WINDOWS_PREFIX}/" at)
    if(at EQUAL 0)
      unset(${variable} CACHE)
    endif()
  endforeach()
endif()
set(LL_QT_WINDOWS_PREFIX "${prefix}" CACHE PATH "Qt for Windows (mingw-w64) the window links" FORCE)

list(APPEND CMAKE_FIND_ROOT_PATH ${LL_QT_WINDOWS_PREFIX})
list(APPEND CMAKE_PREFIX_PATH ${LL_QT_WINDOWS_PREFIX})
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
