# SPDX-License-Identifier: GPL-3.0-or-later
# Qt for Windows is compiled in unity batches (scripts/qt-windows.sh): one compiler run reads the
# precompiled header and instantiates the shared templates once for sixteen sources, which takes
# about a third of the processor time of compiling them one by one. Qt's sources were not yet
# written to be joined, so the ones that clash with a neighbour (file-static names, anonymous
# structs of the same name, macros left defined) are compiled alone, and so are the bundled C
# libraries, whose sources share static names by design.
#
# Qt's build includes this file after each project() call (CMAKE_PROJECT_INCLUDE); the exclusions
# are applied once every target exists, at the end of the top-level directory.
if(COMMAND linkloader_unity_exclusions)
  return()
endif()

set(linkloader_unity_alone
  src/corelib/global/qlogging.cpp
  src/corelib/global/qrandom.cpp
  src/corelib/io/qbuffer.cpp
  src/corelib/io/qurlquery.cpp
  src/corelib/io/qurlrecode.cpp
  src/corelib/kernel/qmetaobjectbuilder.cpp
  src/corelib/serialization/qcborstreamwriter.cpp
  src/corelib/text/qstring.cpp
  src/corelib/text/qunicodetools.cpp
  src/gui/accessible/qaccessible.cpp
  src/gui/image/qicon.cpp
  src/gui/image/qimagereaderwriterhelpers.cpp
  src/gui/image/qpixmapcache.cpp
  src/gui/kernel/qgenericpluginfactory.cpp
  src/gui/kernel/qplatforminputcontextfactory.cpp
  src/gui/kernel/qplatformintegrationfactory.cpp
  src/gui/kernel/qplatformthemefactory.cpp
  src/gui/kernel/qwindowsysteminterface.cpp
  src/gui/opengl/qopengl.cpp
  src/gui/text/windows/qwindowsfontengine.cpp
  src/gui/util/qpkmhandler.cpp
  src/opengl/qopengltexturehelper.cpp
  src/plugins/platforms/windows/qwindowsmenu.cpp
  src/plugins/platforms/windows/qwindowspointerhandler.cpp
  src/plugins/styles/windowsvista/qwindowsxpstyle.cpp
  src/widgets/accessible/qaccessiblewidgets.cpp
  src/widgets/dialogs/qfiledialog.cpp
  src/widgets/dialogs/qsidebar.cpp
  src/widgets/styles/qstylefactory.cpp
)

function(linkloader_unity_exclusions)
  foreach(target BundledZLIB BundledPcre2 BundledLibpng BundledFreetype BundledLibjpeg)
    if(TARGET ${target})
      set_target_properties(${target} PROPERTIES UNITY_BUILD OFF)
    endif()
  endforeach()
  # A source's properties live in the directory that adds it to a target: the nearest folder
  # with a CMakeLists.txt.
  foreach(relative IN LISTS linkloader_unity_alone)
    set(source "${CMAKE_SOURCE_DIR}/${relative}")
    get_filename_component(directory "${source}" DIRECTORY)
    while(NOT EXISTS "${directory}/CMakeLists.txt")
      get_filename_component(directory "${directory}" DIRECTORY)
    endwhile()
    set_source_files_properties("${source}" DIRECTORY "${directory}"
      PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL linkloader_unity_exclusions)
