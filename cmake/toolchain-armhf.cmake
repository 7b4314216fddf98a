# Cross build for the head unit's 32-bit ARM (hard-float) target on a Debian host.
#
# Everything comes from Debian's multiarch packages: the arm-linux-gnueabihf
# cross compiler (crossbuild-essential-armhf) and the armhf builds of Qt 5,
# GoogleTest and the C library under /usr/lib/arm-linux-gnueabihf. Qt's code
# generators (moc, uic, rcc) are the host's own (qtbase5-dev-tools): the armhf
# Qt package configuration already points at them under /usr/lib/qt5/bin.
#
# Test programs run through qemu-user; CTest and gtest_discover_tests use
# CMAKE_CROSSCOMPILING_EMULATOR for that. The scripts/test-armhf.sh leg
# installs the packages and runs the suite.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(LAUNCHER_TARGET_TRIPLET arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${LAUNCHER_TARGET_TRIPLET})

find_program(CMAKE_C_COMPILER NAMES ${LAUNCHER_TARGET_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${LAUNCHER_TARGET_TRIPLET}-g++ REQUIRED)

# The cross C library lives in /usr/arm-linux-gnueabihf; the multiarch packages
# (Qt, GoogleTest, their dependencies) in /usr with the armhf library folder,
# which CMAKE_LIBRARY_ARCHITECTURE makes find_package and find_library prefer.
set(CMAKE_FIND_ROOT_PATH /usr/${LAUNCHER_TARGET_TRIPLET} /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Only the armhf library folders: never an amd64 library by mistake.
set(CMAKE_IGNORE_PATH
    /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/cmake)

# pkg-config, should anything use it, must see the armhf .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${LAUNCHER_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig")

# Qt's host tools, in case a Qt package configuration looks for them elsewhere.
set(QT_MOC_EXECUTABLE /usr/lib/qt5/bin/moc CACHE FILEPATH "Host moc")
set(QT_UIC_EXECUTABLE /usr/lib/qt5/bin/uic CACHE FILEPATH "Host uic")
set(QT_RCC_EXECUTABLE /usr/lib/qt5/bin/rcc CACHE FILEPATH "Host rcc")

# Runs target programs on the build machine with the multiarch armhf C library
# and loader (libc6:armhf, /lib/ld-linux-armhf.so.3), the same copy that Qt and
# the other armhf packages were built against. "-L /" keeps qemu from mapping
# paths into the cross toolchain's own, older copy in /usr/arm-linux-gnueabihf:
# loading that one beside the multiarch libraries crashes threaded programs.
find_program(LAUNCHER_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(LAUNCHER_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${LAUNCHER_QEMU_ARM};-L;/")
endif()
