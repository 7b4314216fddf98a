# Where `cmake --install` puts things (GNUInstallDirs), in four components:
#   launcher   the launcher executable and its systemd unit
#   platform   the stand-in component libraries and the headers that declare them
#   simulator  mcusim and its scenarios
#   docs       the README and the home screen picture
# A staging folder (DESTDIR) works for a cross build as for a native one.

# Debian's multiarch library folder under /usr, for a cross build too (the
# armhf preset): GNUInstallDirs chooses it for a native build only.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version
   AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$" AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
    set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)

set(LAUNCHER_PLATFORM_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/headunit-platform")
set(LAUNCHER_SCENARIO_DIR "${CMAKE_INSTALL_DATADIR}/mcusim/scenarios")
# systemd's folder for the units of installed packages, under the prefix:
# /usr/lib/systemd/system for /usr (systemd and Debian 12's lintian take it as
# well as /lib/systemd/system), /usr/local/lib/systemd/system for /usr/local.
set(LAUNCHER_SYSTEMD_UNITDIR "lib/systemd/system" CACHE PATH
    "Folder of the launcher's systemd unit (relative: under the prefix)")

# Build-tree binaries find their libraries relative to themselves, so that a
# build's binaries do not depend on the folder it ran in.
set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
# Libraries linked from outside the build tree (the maker's, in a vendor build)
# are found where they were linked from, unless the system finds them anyway.
set(CMAKE_INSTALL_RPATH_USE_LINK_PATH ON)

# Installed binaries carry a RUNPATH to the installed component libraries only
# where the dynamic loader would not find them by itself.
set(_launcher_system_libdirs
    /lib /usr/lib /lib64 /usr/lib64
    ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
if(CMAKE_LIBRARY_ARCHITECTURE)
    list(APPEND _launcher_system_libdirs
        /lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
if(CMAKE_INSTALL_FULL_LIBDIR IN_LIST _launcher_system_libdirs)
    set(LAUNCHER_INSTALL_NEEDS_RUNPATH OFF)
else()
    set(LAUNCHER_INSTALL_NEEDS_RUNPATH ON)
endif()

# launcher_install_runpath(<target>): the installed RUNPATH of an executable or
# a shared library that needs the installed component libraries.
function(launcher_install_runpath target)
    if(NOT LAUNCHER_INSTALL_NEEDS_RUNPATH)
        return()
    endif()
    get_target_property(_type ${target} TYPE)
    if(_type STREQUAL "EXECUTABLE")
        file(RELATIVE_PATH _rel "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
        set(_runpath "$ORIGIN/${_rel}")
    else()
        set(_runpath "$ORIGIN")
    endif()
    set_property(TARGET ${target} APPEND PROPERTY INSTALL_RPATH "${_runpath}")
endfunction()

# The environment file of the launcher's service: an image's settings for it
# (the Qt platform, the MCU service's user, ...). Debian's place, whatever the
# prefix: the unit and `launcher --help` name it.
set(LAUNCHER_DEFAULTS_FILE "/etc/default/headunit-launcher")

# launcher_install_unit(<target>): the systemd unit that runs the installed
# <target>, in the launcher component. Whether it keeps CAP_SYS_TIME follows
# LAUNCHER_SET_SYSTEM_CLOCK: a build that sets the clock keeps that one
# capability; one that only logs the time keeps none.
function(launcher_install_unit target)
    get_target_property(_name ${target} OUTPUT_NAME)
    if(NOT _name)
        set(_name ${target})
    endif()
    set(LAUNCHER_UNIT_EXEC "${CMAKE_INSTALL_FULL_BINDIR}/${_name}")
    set(LAUNCHER_UNIT_DOCDIR "${CMAKE_INSTALL_FULL_DATADIR}/doc/headunit-launcher")
    if(LAUNCHER_SET_SYSTEM_CLOCK)
        set(LAUNCHER_UNIT_CAPABILITIES [=[
# Root, with every capability but one taken away. This build sets the system
# clock from MCU time (CAP_SYS_TIME), so no ProtectClock= either. The launcher
# reaches the display, input and sound devices, which are root's on a plain
# image; running as root needs no user made at install time and no
# image-specific device groups. An image with a user of its own for it sets
# User=, SupplementaryGroups= (video, render, input, audio) and
# AmbientCapabilities=CAP_SYS_TIME in a drop-in.
CapabilityBoundingSet=CAP_SYS_TIME]=])
    else()
        set(LAUNCHER_UNIT_CAPABILITIES [=[
# Root, with every capability taken away. This build never sets the system
# clock (it logs the time the MCU reports), so it keeps no CAP_SYS_TIME. Not
# ProtectClock= all the same: it puts a device rule on the unit (the clock
# devices read-only), and with any device rule in place systemd lets the unit
# reach only the devices listed, which would take the display, input and sound
# devices away; without the capability the clock is out of reach anyway. The
# launcher reaches those devices, which are root's on a plain machine; running
# as root needs no user made at install time and no device groups. A user of
# its own goes in a drop-in: User= and SupplementaryGroups= (video, render,
# input, audio).
CapabilityBoundingSet=]=])
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/dist/systemd/headunit-launcher.service.in
        ${CMAKE_CURRENT_BINARY_DIR}/headunit-launcher.service @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/headunit-launcher.service
        DESTINATION ${LAUNCHER_SYSTEMD_UNITDIR} COMPONENT launcher)
endfunction()
