# Framing and transport of the MCU link.

launcher_add_unit_test(tst_mcuframer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mcuframer.cpp
    LIBS mcuframer)

# Links the whole link (the stand-in framework calls back into it); every test
# uses private socket names or a socketpair, so these run in parallel.
launcher_add_unit_test(tst_mcutransport
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mcutransport.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/stdoutcapture.cpp
    LIBS Platform::Framework Platform::Apis Platform::Settings Qt5::Core Threads::Threads
    EXPORTED launcher_mcu
    TIMEOUT 300)

# The unit's fixed socket names: one test at a time on this machine.
launcher_add_unit_test(tst_mcufixednames
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mcufixednames.cpp
    LIBS Platform::Framework Platform::Apis Platform::Settings Qt5::Core
    EXPORTED launcher_mcu
    RESOURCE_LOCK mcu_fixed_names)
