# SPDX-License-Identifier: MIT
# The Windows packages: `cpack -G ZIP` in the windows build gives one folder that runs on a Windows
# with nothing else installed: the two programs, the Qt DLLs and plugins they load, and the
# MinGW-w64 runtime. Plugins sit in folders beside the programs, where Qt looks for them.
# `cpack -G NSIS` gives the installer of the same files (makensis, from Debian's nsis), made from
# the template in packaging/windows: its pages, the shortcuts, the run mode and the uninstaller.
install(TARGETS velmora velmora-cli RUNTIME DESTINATION .)

install(FILES
        $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
        $<TARGET_FILE:Qt6::Sql>
        DESTINATION .)
foreach(plugin_dir IN ITEMS
        "platforms|Qt6::QWindowsIntegrationPlugin"
        "styles|Qt6::QWindowsVistaStylePlugin"
        "sqldrivers|Qt6::QSQLiteDriverPlugin"
        "sqldrivers|Qt6::QODBCDriverPlugin")
    string(REPLACE "|" ";" pair "${plugin_dir}")
    list(GET pair 0 dir)
    list(GET pair 1 target)
    install(FILES $<TARGET_FILE:${target}> DESTINATION ${dir})
endforeach()

# The C++ runtime: the stripped copies that come with Qt's DLLs (the ones the tests ran with), or
# else the compiler's own.
get_target_property(_velmora_qtcore Qt6::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(_velmora_qt_bin "${_velmora_qtcore}" DIRECTORY)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    set(path "${_velmora_qt_bin}/${dll}")
    if(NOT EXISTS "${path}")
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "The MinGW-w64 runtime ${dll} was found neither beside Qt's DLLs "
                            "nor beside the compiler")
    endif()
    install(FILES "${path}" DESTINATION .)
endforeach()

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_FILE_NAME "velmora-${PROJECT_VERSION}-windows-x86_64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/windows/CPackOptions.cmake")
# cpack takes NSIS.template.in from the module path before its own.
list(PREPEND CMAKE_MODULE_PATH "${PROJECT_SOURCE_DIR}/packaging/windows")
# zlib: 12 MB, made in some 3 s of processor time; lzma would make 9 MB in some 19 s.
set(CPACK_NSIS_COMPRESSOR zlib)
set(CPACK_VELMORA_ICON "${PROJECT_SOURCE_DIR}/packaging/velmora.ico")
include(CPack)
