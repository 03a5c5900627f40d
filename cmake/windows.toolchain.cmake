# SPDX-License-Identifier: MIT
# Cross-builds for Windows x86_64 with MinGW-w64 (posix threads) against the Qt for Windows that
# VELMORA_QT_MINGW names, or the one that tools/velmora-setup unpacks into build/qt-mingw.
# Qt's own toolchain file chain-loads the compiler settings and runs the .exe tests under Wine.
if(DEFINED ENV{VELMORA_QT_MINGW} AND NOT "$ENV{VELMORA_QT_MINGW}" STREQUAL "")
    set(_velmora_qt "$ENV{VELMORA_QT_MINGW}")
else()
    get_filename_component(_velmora_qt "${CMAKE_CURRENT_LIST_DIR}/../build/qt-mingw/qt6-mingw"
                           ABSOLUTE)
endif()
if(NOT EXISTS "${_velmora_qt}/lib/cmake/Qt6/qt.toolchain.cmake")
    message(FATAL_ERROR "No Qt for Windows at ${_velmora_qt}: set VELMORA_QT_MINGW to its "
                        "folder, or run ../shared/qt-mingw/unpack build/qt-mingw")
endif()
include("${_velmora_qt}/lib/cmake/Qt6/qt.toolchain.cmake")
