# What `cmake --install` puts where (GNUInstallDirs), the manual pages, and the Debian packages
# mpimage and mpboard (CPack).
#
#   DESTDIR=rootfs cmake --install build/ppc --prefix /usr       the board's programs, staged
#   cmake -S . -B build/package -DMP_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build/package && (cd build/package && cpack -G DEB)
#                                    mpimage_<version>_<arch>.deb, mpboard_<version>_<arch>.deb
#
# (scripts/test's build_package adds Debian's build flags from dpkg-buildflags.)
#
# Components: `board` (what a board's root filesystem needs of this project), `mpimage` (the
# package tool, host builds only) and, in a package build, `mpboard` (sandbox and virtual-machine
# boards on a workstation). Outside a package build, mpboard, the sandbox launcher and the test
# programs run from their build tree and are not installed: mpboard carries the paths of its
# build's mplaunch-sandbox and BusyBox compiled in. A package build (MP_PACKAGE) compiles into
# mpboard the paths where its package puts them instead, and adds what Debian asks of a package:
# the copyright file and the changelog.
include(GNUInstallDirs)

option(MP_PACKAGE
    "Build for the Debian packages: mpboard looks for its board programs where they install" OFF)

# ---------------------------------------------------------------------------------------------
# The board's programs: the launcher and the confirmation its application gives once it is up
# (boot attempts). Everything else the launcher runs belongs to the board's own root filesystem
# (BusyBox, tftp, rx, gdbserver, ...).
install(TARGETS mplaunch mplaunch-confirm mplaunch-status RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT board)

# The package tool for release engineers and build servers: a host build's.
if(NOT CMAKE_CROSSCOMPILING)
    install(TARGETS mpimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mpimage)
endif()

# ---------------------------------------------------------------------------------------------
# Manual pages, compressed as Debian ships them: written ones for the board's programs
# (doc/man/*.8), and for the host tools made from their --help by help2man
# (cmake/MpManPage.cmake, with what doc/man/TOOL.h2m adds).
set(MP_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(MP_MAN_PAGES "")
foreach(page mplaunch.8 mplaunch-confirm.8 mplaunch-status.8)
    add_custom_command(OUTPUT ${MP_MAN_DIR}/${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${MP_MAN_DIR}
        COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/doc/man/${page} > ${MP_MAN_DIR}/${page}.gz
        DEPENDS ${PROJECT_SOURCE_DIR}/doc/man/${page} VERBATIM)
    list(APPEND MP_MAN_PAGES ${MP_MAN_DIR}/${page}.gz)
endforeach()
install(FILES ${MP_MAN_DIR}/mplaunch.8.gz ${MP_MAN_DIR}/mplaunch-confirm.8.gz
              ${MP_MAN_DIR}/mplaunch-status.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT board)

# mp_tool_man_page(TOOL "what it is"): TOOL.1.gz, built with the tool, installed with it.
function(mp_tool_man_page tool name)
    set(out ${MP_MAN_DIR}/${tool}.1.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${MP_MAN_DIR}
        COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${MP_HELP2MAN} -DTOOL=$<TARGET_FILE:${tool}>
                -DNAME=${name} -DVERSION=${PROJECT_VERSION} -DOUT=${out}
                -DEXTRA=${PROJECT_SOURCE_DIR}/doc/man/${tool}.h2m
                -P ${PROJECT_SOURCE_DIR}/cmake/MpManPage.cmake
        DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/MpManPage.cmake
                ${PROJECT_SOURCE_DIR}/doc/man/${tool}.h2m
        VERBATIM)
    set(MP_MAN_PAGES ${MP_MAN_PAGES} ${out} PARENT_SCOPE)
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${tool})
endfunction()

set(MP_MPIMAGE_SUMMARY "create, list, verify and sign image packages of mplaunch")
set(MP_MPBOARD_SUMMARY "make and run sandbox boards of the mplaunch boot launcher")
if(NOT CMAKE_CROSSCOMPILING)
    find_program(MP_HELP2MAN help2man)
    if(MP_HELP2MAN)
        mp_tool_man_page(mpimage "${MP_MPIMAGE_SUMMARY}")
        if(MP_PACKAGE)
            mp_tool_man_page(mpboard "${MP_MPBOARD_SUMMARY}")
        endif()
    elseif(MP_PACKAGE)
        message(FATAL_ERROR "help2man not found: a package build makes the tools' manual pages")
    else()
        message(STATUS "help2man not found: no manual page for mpimage")
    endif()
endif()
add_custom_target(mp_man_pages ALL DEPENDS ${MP_MAN_PAGES})

if(NOT MP_PACKAGE)
    return()
endif()
if(CMAKE_CROSSCOMPILING)
    message(FATAL_ERROR "MP_PACKAGE: the packages are made by a host build")
endif()

# ---------------------------------------------------------------------------------------------
# The mpboard package: mpboard, and below libexec/mpboard/ what it puts into boards and runs them
# with: the sandbox launcher and confirmation program, BusyBox, and in vm/ the board build of the
# launcher and its confirmation with the clock library of `run --vm`. The virtual machine's
# kernel is not in the package: MPBOARD_VM_DIR names one, by default /var/lib/mpboard/vm. Nor is
# anything of `run --vm --ppc` (its kernel, BusyBox and powerpc board build): the MPBOARD_VM_PPC_*
# variables name them.
set(MP_MPBOARD_LIBDIR ${CMAKE_INSTALL_LIBEXECDIR}/mpboard)
set(at ${CMAKE_INSTALL_PREFIX}/${MP_MPBOARD_LIBDIR})
set(installed_paths
    LAUNCHER=${at}/mplaunch-sandbox
    CONFIRM=${at}/mplaunch-confirm-sandbox
    STATUS=${at}/mplaunch-status-sandbox
    BUSYBOX=${at}/busybox
    VM_LAUNCHER=${at}/vm/mplaunch
    VM_CONFIRM=${at}/vm/mplaunch-confirm
    VM_STATUS=${at}/vm/mplaunch-status
    VM_CLOCK=${at}/vm/$<TARGET_FILE_NAME:mpboard-vm-clock>
    VM_DIR=/var/lib/mpboard/vm
    VM_PPC_DIR=/var/lib/mpboard/vm-ppc
    VM_PPC_BUSYBOX=
    VM_PPC_BUILD=)
# mpboard's MPBOARD_DEFAULT_* definitions (tools/mpboard/CMakeLists.txt) name this build's
# programs; these name the installed ones.
get_target_property(definitions mpboard COMPILE_DEFINITIONS)
foreach(pair IN LISTS installed_paths)
    string(REGEX MATCH "^[^=]*" key "${pair}")
    string(REGEX REPLACE "^[^=]*=" "" value "${pair}")
    list(LENGTH definitions before)
    list(FILTER definitions EXCLUDE REGEX "^MPBOARD_DEFAULT_${key}=")
    list(LENGTH definitions after)
    if(before EQUAL after)
        message(FATAL_ERROR "mpboard has no definition MPBOARD_DEFAULT_${key} to set")
    endif()
    list(APPEND definitions "MPBOARD_DEFAULT_${key}=\"${value}\"")
endforeach()
set_property(TARGET mpboard PROPERTY COMPILE_DEFINITIONS ${definitions})

install(TARGETS mpboard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mpboard)
install(TARGETS mplaunch-sandbox mplaunch-confirm-sandbox mplaunch-status-sandbox RUNTIME
        DESTINATION ${MP_MPBOARD_LIBDIR} COMPONENT mpboard)
install(TARGETS mplaunch mplaunch-confirm mplaunch-status RUNTIME DESTINATION ${MP_MPBOARD_LIBDIR}/vm
        COMPONENT mpboard)
install(TARGETS mpboard-vm-clock LIBRARY DESTINATION ${MP_MPBOARD_LIBDIR}/vm COMPONENT mpboard)
# Debian's busybox packages lack rx: the package carries the static BusyBox scripts/test builds
# from Debian's source (its copyright is in the package's copyright file).
if(NOT EXISTS ${MPBOARD_BUSYBOX})
    message(FATAL_ERROR "MP_PACKAGE: no BusyBox at ${MPBOARD_BUSYBOX} (MPBOARD_BUSYBOX)")
endif()
install(PROGRAMS ${MPBOARD_BUSYBOX} DESTINATION ${MP_MPBOARD_LIBDIR} COMPONENT mpboard)

# ---------------------------------------------------------------------------------------------
# /usr/share/doc/PACKAGE/: copyright (machine-readable) and changelog.Debian.gz of each package;
# its lintian overrides.
set(MP_PACKAGE_MAINTAINER "mplaunch maintainers <maintainers@mplaunch.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")
set(MP_DEB_RELEASE 1)
set(MP_DEB_VERSION ${PROJECT_VERSION}-${MP_DEB_RELEASE})
# The changelog's entries are written by hand, each release with its own: its first one is this
# version's.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog.in latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^@MP_DEB_PACKAGE@ \\(${MP_DEB_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog.in: its first entry is not version ${MP_DEB_VERSION}")
endif()
set(MP_DOC_FILES "")
foreach(MP_DEB_PACKAGE mpimage mpboard)
    set(dir ${PROJECT_BINARY_DIR}/packaging/${MP_DEB_PACKAGE})
    # mpboard's holds BusyBox's paragraphs too.
    set(parts copyright)
    if(MP_DEB_PACKAGE STREQUAL mpboard)
        list(APPEND parts copyright-busybox)
    endif()
    set(text "")
    foreach(part IN LISTS parts)
        file(READ ${PROJECT_SOURCE_DIR}/packaging/${part} part_text)
        string(APPEND text "${part_text}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
            ${PROJECT_SOURCE_DIR}/packaging/${part})
    endforeach()
    file(CONFIGURE OUTPUT ${dir}/copyright CONTENT "${text}" @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${dir}/changelog @ONLY)
    add_custom_command(OUTPUT ${dir}/changelog.Debian.gz
        COMMAND gzip -9 -n -c ${dir}/changelog > ${dir}/changelog.Debian.gz
        DEPENDS ${dir}/changelog VERBATIM)
    list(APPEND MP_DOC_FILES ${dir}/changelog.Debian.gz)
    install(FILES ${dir}/copyright ${dir}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${MP_DEB_PACKAGE}
            COMPONENT ${MP_DEB_PACKAGE})
    # What lintian is told to accept, each with its reason.
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/${MP_DEB_PACKAGE}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
            RENAME ${MP_DEB_PACKAGE} COMPONENT ${MP_DEB_PACKAGE})
endforeach()
add_custom_target(mp_package_docs ALL DEPENDS ${MP_DOC_FILES})

# `cpack -G DEB` makes one package per component: mpimage and mpboard. Their dependencies on
# libraries are what dpkg-shlibdeps finds the programs linked with.
set(CPACK_PACKAGE_NAME mplaunch)
set(CPACK_PACKAGE_VENDOR mplaunch)
set(CPACK_PACKAGE_CONTACT "${MP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL mpimage mpboard)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${MP_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MP_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Descriptions: the summary line, then lines of at most 80 columns (Debian's width).
set(CPACK_DEBIAN_MPIMAGE_PACKAGE_NAME mpimage)
set(CPACK_DEBIAN_MPIMAGE_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_MPIMAGE_DESCRIPTION "${MP_MPIMAGE_SUMMARY}
mpimage creates, lists, verifies, unpacks and signs the image packages that
the mplaunch boot launcher boots from its image slots and that its installer
writes to flash: records of a header, a payload and a CRC-32, back to back.")

# mpboard: Suggests qemu-system-x86 for `run --vm` (which also needs a kernel directory, see
# above), and mpimage, which makes the packages `slot` and `install` put into boards; jailed
# boards need nothing more than the kernel's user namespaces.
set(CPACK_DEBIAN_MPBOARD_PACKAGE_NAME mpboard)
set(CPACK_DEBIAN_MPBOARD_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_MPBOARD_PACKAGE_SUGGESTS "qemu-system-x86, mpimage")
set(CPACK_COMPONENT_MPBOARD_DESCRIPTION "${MP_MPBOARD_SUMMARY}
A sandbox board is a directory that plays the management processor of a
network switch: its flash partitions, VPD EEPROM, I2C buses and CPLD as
files, /user, and a BusyBox userland. mpboard makes boards, sets their boot
environment, VPD, flash and image slots, and boots the mplaunch launcher on
them, jailed in namespaces of their own, or in a virtual machine (with
qemu-system-x86 and a kernel the package does not hold).")
include(CPack)
