# Two builds of one commit give the same binaries, wherever they are built and
# whenever they are configured.
#
# The build's date version (the stand-in components report it) is the time of
# SOURCE_DATE_EPOCH when that is set, else the time of the last commit, else a
# fixed time for a tree without history. The launcher's banner (__DATE__ and
# __TIME__) takes the same time.

set(_launcher_fixed_epoch 1704067200) # 2024-01-01 00:00 UTC

if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    set(LAUNCHER_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
    set(_launcher_epoch_origin "SOURCE_DATE_EPOCH")
else()
    set(LAUNCHER_SOURCE_DATE_EPOCH "")
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(
            COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
            WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
            OUTPUT_VARIABLE LAUNCHER_SOURCE_DATE_EPOCH
            OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE _launcher_git_rc
            ERROR_QUIET)
        if(NOT _launcher_git_rc EQUAL 0)
            set(LAUNCHER_SOURCE_DATE_EPOCH "")
        endif()
        # A new commit or checkout configures anew, so the date version follows.
        execute_process(
            COMMAND "${GIT_EXECUTABLE}" rev-parse --absolute-git-dir
            WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
            OUTPUT_VARIABLE _launcher_git_dir
            OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE _launcher_git_rc
            ERROR_QUIET)
        if(_launcher_git_rc EQUAL 0 AND EXISTS "${_launcher_git_dir}/logs/HEAD")
            set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_launcher_git_dir}/logs/HEAD")
        endif()
    endif()
    if(LAUNCHER_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
        set(_launcher_epoch_origin "the last commit")
    else()
        set(LAUNCHER_SOURCE_DATE_EPOCH ${_launcher_fixed_epoch})
        set(_launcher_epoch_origin "a fixed time (no history)")
    endif()
endif()

# launcher_epoch_timestamp(<var> <epoch> <format>): the time <epoch> in UTC.
# string(TIMESTAMP) reads SOURCE_DATE_EPOCH from the environment: it is set for
# the one call, then the environment is put back as it was.
function(launcher_epoch_timestamp var epoch format)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        set(_saved "$ENV{SOURCE_DATE_EPOCH}")
    endif()
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
    string(TIMESTAMP _stamp "${format}" UTC)
    if(DEFINED _saved)
        set(ENV{SOURCE_DATE_EPOCH} "${_saved}")
    else()
        unset(ENV{SOURCE_DATE_EPOCH})
    endif()
    set(${var} "${_stamp}" PARENT_SCOPE)
endfunction()

# launcher_source_timestamp(<var> <format>): the build's time (above), in UTC.
function(launcher_source_timestamp var format)
    launcher_epoch_timestamp(_stamp "${LAUNCHER_SOURCE_DATE_EPOCH}" "${format}")
    set(${var} "${_stamp}" PARENT_SCOPE)
endfunction()

launcher_source_timestamp(LAUNCHER_BUILD_DATE_VERSION "%Y%m%d%H%M")
message(STATUS "Build date version ${LAUNCHER_BUILD_DATE_VERSION}, from ${_launcher_epoch_origin}")

# The version the launcher reports and the packages carry: the project's
# version, then the commit's date and time (UTC) and its short hash, so that
# every commit has its own and a later commit a greater one:
#   1.0.0+git20240101.1530.0123abc
# A package build (debian/rules) passes the version of its changelog, which
# scripts/package.sh wrote the same way; the commit is read back from it.
# Without history and without a version given: the project's version alone.
set(LAUNCHER_PACKAGE_VERSION "" CACHE STRING
    "Version reported by the launcher and carried by the packages (empty: from the commit)")
set(LAUNCHER_COMMIT "")
if(LAUNCHER_PACKAGE_VERSION STREQUAL "")
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(
            COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct:%H
            WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
            OUTPUT_VARIABLE _launcher_head
            OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE _launcher_git_rc
            ERROR_QUIET)
    endif()
    if(GIT_FOUND AND _launcher_git_rc EQUAL 0 AND _launcher_head MATCHES "^([0-9]+):([0-9a-f]+)$")
        set(_launcher_commit_epoch ${CMAKE_MATCH_1})
        string(SUBSTRING "${CMAKE_MATCH_2}" 0 7 LAUNCHER_COMMIT)
        launcher_epoch_timestamp(_launcher_commit_date ${_launcher_commit_epoch} "%Y%m%d.%H%M")
        set(LAUNCHER_VERSION_FULL "${PROJECT_VERSION}+git${_launcher_commit_date}.${LAUNCHER_COMMIT}")
    else()
        set(LAUNCHER_VERSION_FULL "${PROJECT_VERSION}")
    endif()
else()
    set(LAUNCHER_VERSION_FULL "${LAUNCHER_PACKAGE_VERSION}")
    if(LAUNCHER_PACKAGE_VERSION MATCHES "\\+git[0-9]+\\.[0-9]+\\.([0-9a-f]+)")
        set(LAUNCHER_COMMIT "${CMAKE_MATCH_1}")
    endif()
endif()
if(LAUNCHER_COMMIT STREQUAL "")
    set(LAUNCHER_COMMIT "unknown")
endif()
message(STATUS "Launcher version ${LAUNCHER_VERSION_FULL}")

# launcher_dated_target(<target>): the compiler takes __DATE__ and __TIME__ of
# the target's sources from the build's time above, as GCC does from
# SOURCE_DATE_EPOCH. The time is on the compile command, so that a build in
# another time recompiles them and an unchanged one does not.
function(launcher_dated_target target)
    set_property(TARGET ${target} PROPERTY CXX_COMPILER_LAUNCHER
        env "SOURCE_DATE_EPOCH=${LAUNCHER_SOURCE_DATE_EPOCH}" ${CMAKE_CXX_COMPILER_LAUNCHER})
endfunction()

# File names as the log context (__FILE__) and the debug information carry them:
# relative to the source tree, and "." for the build folder (the last matching
# map wins, so the build folder's own takes its files even inside the source
# tree), never the folders the build happened to run in. Builds in different
# folders with the same layout (build/<name> in the checkout) match byte for byte.
add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=" "-ffile-prefix-map=${PROJECT_BINARY_DIR}=.")
