# Display and language configuration, in process against the stand-ins.
launcher_add_unit_test(tst_sysconfig
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sysconfig.cpp
    LIBS Platform::Settings Platform::Core
    EXPORTED launcher_config launcher_mcu)

# The built launcher binary as a process: banner, launch order, teardown.
launcher_add_unit_test(tst_launchsequence
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_launchsequence.cpp
    LIBS Platform::Settings
    EXPORTED launcher_mcu
    TIMEOUT 180)
add_dependencies(tst_launchsequence launcher)

# The launcher binary under a service manager: notify socket and signals.
launcher_add_unit_test(tst_servicemanager
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_servicemanager.cpp
    EXPORTED launcher_mcu
    RESOURCE_LOCK mcu_fixed_names
    TIMEOUT 180)
add_dependencies(tst_servicemanager launcher)
