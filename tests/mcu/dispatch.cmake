# Senders, dispatch and handlers of the MCU link, and the clock layer below them.

set(_dispatch_libs
    launcher_clock Platform::Framework Platform::Apis Platform::Settings Platform::Core
    Qt5::Core Threads::Threads)

# Each links the whole link (the stand-in framework calls back into it) and runs
# it on a socketpair, so these run in parallel.
launcher_add_unit_test(tst_mcusenders
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mcusenders.cpp
            ${CMAKE_CURRENT_LIST_DIR}/linkharness.cpp
    LIBS ${_dispatch_libs}
    EXPORTED launcher_mcu)
target_include_directories(tst_mcusenders PRIVATE ${CMAKE_CURRENT_LIST_DIR})

launcher_add_unit_test(tst_mcudispatch
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mcudispatch.cpp
            ${CMAKE_CURRENT_LIST_DIR}/linkharness.cpp
    LIBS ${_dispatch_libs}
    EXPORTED launcher_mcu)
target_include_directories(tst_mcudispatch PRIVATE ${CMAKE_CURRENT_LIST_DIR})

if(LAUNCHER_SET_SYSTEM_CLOCK)
    set(_clock_on 1)
else()
    set(_clock_on 0)
endif()
launcher_add_unit_test(tst_systemclock
    SOURCES ${PROJECT_SOURCE_DIR}/tests/platform/tst_systemclock.cpp
    LIBS launcher_clock Qt5::Core)
target_compile_definitions(tst_systemclock PRIVATE LAUNCHER_SET_SYSTEM_CLOCK_ON=${_clock_on})
