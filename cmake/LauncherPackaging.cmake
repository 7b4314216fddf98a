# Debian packages with CPack, one per install component group:
#   headunit-launcher          the launcher and its documentation
#   headunit-platform-standin  the stand-in component libraries and headers (a
#                              real image installs the maker's libraries instead)
#   headunit-mcusim            the MCU simulator and its scenarios
# Dependencies are computed with dpkg-shlibdeps. The launcher depends on the
# virtual package headunit-platform, which the stand-in package provides (and a
# package of the maker's libraries would). scripts/package.sh builds them for
# this machine or, from the armhf preset, for the target.

# Documentation of the launcher package.
install(FILES README.md docs/homescreen.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/headunit-launcher COMPONENT docs)

set(_launcher_packages launcher platform simulator)
set(_launcher_package_launcher headunit-launcher)
set(_launcher_package_platform headunit-platform-standin)
set(_launcher_package_simulator headunit-mcusim)

# Every Debian package carries its copyright file and, as a native package, its
# changelog, compressed without a time stamp.
launcher_source_timestamp(_launcher_changelog_date "%a, %d %b %Y %H:%M:%S +0000")
launcher_source_timestamp(_launcher_copyright_year "%Y")
set(LAUNCHER_MAINTAINER "Head unit launcher developers <launcher@headunit.invalid>")
find_program(LAUNCHER_GZIP gzip)
foreach(_group IN LISTS _launcher_packages)
    set(_package ${_launcher_package_${_group}})
    set(_docdir ${CMAKE_CURRENT_BINARY_DIR}/package-doc/${_package})
    configure_file(cmake/packaging/copyright.in ${_docdir}/copyright @ONLY)
    configure_file(cmake/packaging/changelog.in ${_docdir}/changelog @ONLY)
    if(LAUNCHER_GZIP)
        execute_process(COMMAND ${LAUNCHER_GZIP} -9nf ${_docdir}/changelog)
        set(_changelog ${_docdir}/changelog.gz)
    else()
        set(_changelog ${_docdir}/changelog)
    endif()
    if(_group STREQUAL "launcher")
        set(_component docs)
    else()
        set(_component ${_group})
    endif()
    install(FILES ${_docdir}/copyright ${_changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package} COMPONENT ${_component})
endforeach()

# The Debian architecture of the build's target (armhf from the armhf preset).
find_program(LAUNCHER_DPKG_ARCHITECTURE dpkg-architecture)
set(LAUNCHER_DEB_ARCH "")
if(LAUNCHER_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(
        COMMAND ${LAUNCHER_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE LAUNCHER_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_PACKAGE_NAME headunit-launcher)
set(CPACK_PACKAGE_VENDOR "Head unit launcher developers")
set(CPACK_PACKAGE_CONTACT "${LAUNCHER_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description below starts with its own synopsis; CPack puts the
# project-wide summary in front of it unless the summary is CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/packages")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 2)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL launcher docs platform simulator)
set(CPACK_COMPONENT_LAUNCHER_GROUP launcher)
set(CPACK_COMPONENT_DOCS_GROUP launcher)
set(CPACK_COMPONENT_PLATFORM_GROUP platform)
set(CPACK_COMPONENT_SIMULATOR_GROUP simulator)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LAUNCHER_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
if(LAUNCHER_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${LAUNCHER_DEB_ARCH})
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file of the package with the libraries (the only one that has any).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The launcher's own component libraries come from no installed package: found
# in the build tree, and depended on through the virtual package below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR}/platform/standin)
# dpkg-shlibdeps must look for the target's libraries, not this machine's.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackProjectConfig.cmake)
file(CONFIGURE OUTPUT ${CPACK_PROJECT_CONFIG_FILE} CONTENT
"# Written by cmake/LauncherPackaging.cmake: read by cpack at packaging time.
if(NOT \"@LAUNCHER_DEB_ARCH@\" STREQUAL \"\")
    set(ENV{DEB_HOST_ARCH} \"@LAUNCHER_DEB_ARCH@\")
endif()
" @ONLY)

set(CPACK_DEBIAN_LAUNCHER_PACKAGE_NAME ${_launcher_package_launcher})
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_DEPENDS "headunit-platform")
set(CPACK_DEBIAN_LAUNCHER_DESCRIPTION "Head unit launcher: user-interface process and MCU link
The main user-interface process of a car head unit. It applies the saved
configuration, brings up the application framework, carries the records
between the MCU service and the framework over a Unix-domain socket, keeps
the system clock, versions and unit identity in step with the MCU and starts
the background services once the first frame is on screen.")

set(CPACK_DEBIAN_PLATFORM_PACKAGE_NAME ${_launcher_package_platform})
set(CPACK_DEBIAN_PLATFORM_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_PROVIDES "headunit-platform")
set(CPACK_DEBIAN_PLATFORM_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/packaging/triggers)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PLATFORM_DESCRIPTION "Head unit launcher: stand-in platform components
Small working stand-ins for the head unit's application framework, service
controller, settings store and control components, under the names of the
maker's libraries, with the headers that declare them. For development,
tests and demonstrations; a real image installs the maker's libraries.")

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME ${_launcher_package_simulator})
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIMULATOR_DESCRIPTION "Head unit launcher: MCU service simulator
mcusim listens where the head unit's MCU service does, shows every record
that crosses the socket and plays scenario files with expectations, so that
the launcher can be run and checked without the vehicle. Ships the demo
scenario.")

include(CPack)
