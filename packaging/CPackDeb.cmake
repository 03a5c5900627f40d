# SPDX-License-Identifier: MIT
# Read by cpack for each generator. A Debian package installs into /usr, whatever prefix the
# build was configured with; DESTDIR staging lets the install step see /usr as its prefix, so
# that the service names /usr/bin/velmora-cli.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_SET_DESTDIR ON)
    set(CPACK_INSTALL_PREFIX /usr)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_STRIP_FILES ON)
    # Each package's description begins with its own summary line; the project's summary would
    # be put in front of both.
    unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
endif()
