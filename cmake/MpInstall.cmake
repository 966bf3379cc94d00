# What `cmake --install` puts where (GNUInstallDirs), and the Debian package of mpimage (CPack).
#
#   DESTDIR=rootfs cmake --install build/ppc --prefix /usr       the board's programs, staged
#   cpack -G DEB                 (in a host build directory)      mpimage_<version>_<arch>.deb
#
# Two components: `board` (what a board's root filesystem needs of this project) and `mpimage`
# (the package tool, host builds only). The sandbox launcher, mpboard and the test programs are
# developer tools that run from their build tree and are not installed: mpboard carries the paths
# of its build's mplaunch-sandbox and BusyBox compiled in.
include(GNUInstallDirs)

# The board's programs: the launcher and the confirmation its application gives once it is up
# (boot attempts). Everything else the launcher runs belongs to the board's own root filesystem
# (BusyBox, tftp, rx, gdbserver, ...).
install(TARGETS mplaunch mplaunch-confirm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT board)

# The package tool for release engineers and build servers: a host build's.
if(NOT CMAKE_CROSSCOMPILING)
    install(TARGETS mpimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mpimage)
endif()

# `cpack -G DEB` packages the mpimage component alone, as the Debian package "mpimage". Its
# dependencies are what dpkg-shlibdeps finds the binary linked with.
set(MP_PACKAGE_MAINTAINER "mplaunch maintainers <maintainers@mplaunch.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME mplaunch)
set(CPACK_PACKAGE_VENDOR mplaunch)
# The package's summary line (its first line of Description); the component's description
# follows it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "image package tool of the mplaunch boot launcher")
set(CPACK_PACKAGE_CONTACT "${MP_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL mpimage)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_MPIMAGE_PACKAGE_NAME mpimage)
set(CPACK_DEBIAN_MPIMAGE_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_MPIMAGE_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MP_PACKAGE_MAINTAINER}")
set(CPACK_COMPONENT_MPIMAGE_DISPLAY_NAME "mpimage")
set(CPACK_COMPONENT_MPIMAGE_DESCRIPTION
    "mpimage creates, lists, verifies and unpacks the image packages that the launcher boots
from its image slots and that its installer writes to flash: records of a header, a payload
and a CRC-32, back to back.")
include(CPack)
