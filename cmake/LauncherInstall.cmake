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
