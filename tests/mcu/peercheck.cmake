# Who may be the MCU service: the peer credentials check at every connect,
# against service processes (mcusim --serve) running as another user (needs
# root to make them).

launcher_add_unit_test(tst_mcupeercheck
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mcupeercheck.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/stdoutcapture.cpp
    LIBS launcher_clock Platform::Framework Platform::Apis Platform::Settings
         Qt5::Core Threads::Threads
    EXPORTED launcher_mcu launcher_input
    TIMEOUT 120)
add_dependencies(tst_mcupeercheck mcusim)
