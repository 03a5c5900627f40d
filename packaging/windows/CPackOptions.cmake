# SPDX-License-Identifier: MIT
# Read by cpack for each generator: the installer is named apart from the zip, and holds the
# programs' folder's contents without the zip's top folder.
if(CPACK_GENERATOR STREQUAL "NSIS")
    set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
