# Build switches. Every configuration that CI runs is also a preset in CMakePresets.json.

option(LAUNCHER_BUILD_TESTS "Build the test suite" ON)
option(LAUNCHER_BUILD_FUZZERS "Build the libFuzzer targets (needs clang)" OFF)
option(LAUNCHER_BUILD_BENCHMARKS "Build the benchmarks" OFF)

# Which implementation of the outside components the launcher links against:
#   standin - the small working components built from platform/standin
#   vendor  - the maker's libraries, found in LAUNCHER_VENDOR_LIBDIR, declared
#             by the maker's headers in LAUNCHER_VENDOR_INCLUDEDIR (default: the
#             declarations in platform/). Only the tests that treat the
#             components as a black box are built then: the end-to-end
#             scenarios and the simulator's own tests.
set(LAUNCHER_PLATFORM "standin" CACHE STRING "Outside components: standin or vendor")
set_property(CACHE LAUNCHER_PLATFORM PROPERTY STRINGS standin vendor)
set(LAUNCHER_VENDOR_LIBDIR "" CACHE PATH "Folder holding the maker's component libraries (LAUNCHER_PLATFORM=vendor)")
set(LAUNCHER_VENDOR_INCLUDEDIR "" CACHE PATH "Folder holding the maker's component headers (LAUNCHER_PLATFORM=vendor)")

# A native build must never change the clock of the machine it runs on (developer
# machines and CI run as root); a target build sets it. Either can be forced.
if(CMAKE_CROSSCOMPILING)
    set(_launcher_clock_default ON)
else()
    set(_launcher_clock_default OFF)
endif()
option(LAUNCHER_SET_SYSTEM_CLOCK "Really set the system clock from MCU time (otherwise log only)" ${_launcher_clock_default})

# Sanitizers for the whole tree: "", "address;undefined" or "thread".
set(LAUNCHER_SANITIZE "" CACHE STRING "Sanitizers: empty, address;undefined, or thread")
if(LAUNCHER_SANITIZE)
    string(REPLACE ";" "," _launcher_san "${LAUNCHER_SANITIZE}")
    add_compile_options(-fsanitize=${_launcher_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_launcher_san})
endif()

# The user the MCU service runs as, trusted by the MCU link besides root and the
# launcher's own user (looked up when the link starts; empty: nobody more).
# The default only: LAUNCHER_MCU_SERVICE_USER in the environment names it at
# run time.
set(LAUNCHER_MCU_SERVICE_USER "" CACHE STRING "User name of the MCU service, trusted as the link's peer")
