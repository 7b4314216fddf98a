# Chooses the tests of the armhf leg (cmake -P, called by scripts/test-armhf.sh).
#
#   cmake -DTESTS_JSON=<ctest --show-only=json-v1 output> -DNM=<target nm>
#         -DOUT=<file> -P scripts/test-armhf-select.cmake
#
# Writes to OUT the ctest -I argument ("0,0,0,n1,n2,...") of the tests to run,
# and prints every test left out with its reason. The target launcher sets the
# system clock, so every program of this build must be started the one way that
# keeps the clock safe: through the emulator, the launcher inside new user,
# network and mount namespaces (tests/support/targetprogram.h,
# tests/e2e/run-scenario.sh). Left out are:
#   - tests run on the host (a script as the command) whose environment does not
#     name the emulator (LAUNCHER_TEST_EMULATOR): such a driver would start
#     this build's programs some other way;
#   - test executables that start programs (QProcess::start, ::execute,
#     ::startDetached, posix_spawn, execve, execvp, execl, system, popen)
#     without the test support's program starter linked in. fork, execv and
#     clone alone do not count: GoogleTest's death tests import them into every
#     test program.
# Everything else runs.
if(NOT TESTS_JSON OR NOT OUT OR NOT NM)
    message(FATAL_ERROR "usage: cmake -DTESTS_JSON=f -DNM=nm -DOUT=f -P test-armhf-select.cmake")
endif()
file(READ "${TESTS_JSON}" json)
string(JSON count LENGTH "${json}" tests)

set(run "")
set(left_out 0)
set(on_host 0)
set(spawn_cache "")
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
    math(EXPR number "${i} + 1")
    string(JSON name GET "${json}" tests ${i} name)
    string(JSON argc ERROR_VARIABLE no_command LENGTH "${json}" tests ${i} command)
    if(no_command)
        message(STATUS "left out: ${name} (no command)")
        math(EXPR left_out "${left_out} + 1")
        continue()
    endif()
    string(JSON program GET "${json}" tests ${i} command 0)
    get_filename_component(program_name "${program}" NAME)
    if(NOT program_name MATCHES "^qemu-arm")
        # A driver on the host: it must be told how to start the target programs.
        set(told NO)
        string(JSON nprops ERROR_VARIABLE no_props LENGTH "${json}" tests ${i} properties)
        if(NOT no_props AND nprops GREATER 0)
            math(EXPR lastprop "${nprops} - 1")
            foreach(p RANGE ${lastprop})
                string(JSON pname GET "${json}" tests ${i} properties ${p} name)
                if(pname STREQUAL "ENVIRONMENT")
                    string(JSON penv GET "${json}" tests ${i} properties ${p} value)
                    if(penv MATCHES "\"LAUNCHER_TEST_EMULATOR=[^\"]")
                        set(told YES)
                    endif()
                endif()
            endforeach()
        endif()
        if(NOT told)
            message(STATUS "left out: ${name} (runs ${program_name} on the host without "
                "LAUNCHER_TEST_EMULATOR: it would not start this build's programs through the "
                "emulator in a user namespace)")
            math(EXPR left_out "${left_out} + 1")
            continue()
        endif()
        list(APPEND run ${number})
        math(EXPR on_host "${on_host} + 1")
        continue()
    endif()
    # The emulator's arguments come first ("-L" and the prefix); the test
    # executable is the first argument that is an existing file of the build.
    set(exe "")
    math(EXPR argl "${argc} - 1")
    foreach(a RANGE 1 ${argl})
        string(JSON arg GET "${json}" tests ${i} command ${a})
        if(IS_ABSOLUTE "${arg}" AND EXISTS "${arg}" AND NOT IS_DIRECTORY "${arg}")
            set(exe "${arg}")
            break()
        endif()
    endforeach()
    if(NOT exe)
        message(STATUS "left out: ${name} (no test executable found in its command)")
        math(EXPR left_out "${left_out} + 1")
        continue()
    endif()
    string(MAKE_C_IDENTIFIER "${exe}" key)
    if(NOT DEFINED spawns_${key})
        execute_process(COMMAND "${NM}" -D --undefined-only "${exe}"
            OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_rc ERROR_QUIET)
        if(NOT nm_rc EQUAL 0)
            message(FATAL_ERROR "${NM} failed on ${exe}")
        endif()
        set(spawns_${key} 0)
        if(symbols MATCHES "_ZN8QProcess(5start|7execute|13startDetached)"
           OR symbols MATCHES "[ \t](execve|execvp|execvpe|execl|execlp|execle|posix_spawnp?|system|popen)(@|\n)")
            # It starts programs: only through the program starter.
            execute_process(COMMAND "${NM}" --defined-only "${exe}"
                OUTPUT_VARIABLE defined RESULT_VARIABLE nm_rc ERROR_QUIET)
            if(NOT nm_rc EQUAL 0)
                message(FATAL_ERROR "${NM} failed on ${exe}")
            endif()
            if(NOT defined MATCHES "_ZN11testsupport8emulatedEv")
                set(spawns_${key} 1)
            endif()
        endif()
    endif()
    if(spawns_${key})
        get_filename_component(exe_name "${exe}" NAME)
        message(STATUS "left out: ${name} (${exe_name} starts programs without "
            "tests/support/targetprogram.h, which runs them through the emulator)")
        math(EXPR left_out "${left_out} + 1")
        continue()
    endif()
    list(APPEND run ${number})
endforeach()

list(LENGTH run run_count)
if(run_count EQUAL 0)
    message(FATAL_ERROR "no test is left to run under the emulator")
endif()
string(REPLACE ";" "," run "${run}")
file(WRITE "${OUT}" "0,0,0,${run}")
message(STATUS "armhf: ${run_count} tests run (${on_host} of them drivers on the host that start "
    "the launcher through the emulator), ${left_out} left out")
