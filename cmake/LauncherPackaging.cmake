# The Debian packages are built by debhelper from debian/ (scripts/package.sh
# runs dpkg-buildpackage): it installs the components below with
# `cmake --install` into debian/tmp and sorts the files into
#   headunit-launcher          the launcher, its systemd unit, its settings
#                              file in /etc/default and the documentation
#   headunit-platform-standin  the stand-in component libraries and headers (a
#                              real image installs the maker's libraries instead)
#   headunit-mcusim            the MCU simulator and its scenarios
# each with a -dbgsym package of its debug information. The package version
# is LAUNCHER_VERSION_FULL (cmake/LauncherReproducible.cmake).

# Documentation of the launcher package (the docs component): the README and
# the manuals it links to, laid out as in the tree so that its links hold.
set(_launcher_docdir ${CMAKE_INSTALL_DATADIR}/doc/headunit-launcher)
install(FILES README.md DESTINATION ${_launcher_docdir} COMPONENT docs)
install(FILES docs/design.md docs/service.md docs/packaging.md docs/building.md docs/benchmarks.md
    docs/homescreen.png DESTINATION ${_launcher_docdir}/docs COMPONENT docs)
install(FILES tools/mcusim/README.md DESTINATION ${_launcher_docdir}/tools/mcusim COMPONENT docs)
# The manual pages, in the components of their programs.
install(FILES docs/launcher.8
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT launcher)
install(FILES tools/mcusim/mcusim.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT simulator)
