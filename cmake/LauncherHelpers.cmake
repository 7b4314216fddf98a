# Small helpers shared by the folders.

# Links static libraries whole into an executable and exports, of the
# executable's symbols, those the component libraries call back into
# (exports/launcher.dynlist: MainAppProtocolComm::GetInstance and its senders,
# MEventFilter::GetInstance, the entry points of launcherexports.h).
function(launcher_link_exported target)
    foreach(lib IN LISTS ARGN)
        get_target_property(_type ${lib} TYPE)
        if(_type STREQUAL "OBJECT_LIBRARY")
            # Object files are always linked whole.
            target_link_libraries(${target} PRIVATE ${lib})
        else()
            target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${lib}>")
        endif()
    endforeach()
    target_link_options(${target} PRIVATE
        "LINKER:--dynamic-list=${PROJECT_SOURCE_DIR}/exports/launcher.dynlist")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/exports/launcher.dynlist)
endfunction()

# launcher_add_unit_test(<name> SOURCES ... [LIBS ...] [EXPORTED ...] [RESOURCE_LOCK lock]
#                        [TIMEOUT seconds] [LABELS ...])
# One GoogleTest executable per unit; every case becomes a CTest test.
# EXPORTED libraries are linked whole with the executable's symbols exported.
function(launcher_add_unit_test name)
    cmake_parse_arguments(T "" "RESOURCE_LOCK;TIMEOUT" "SOURCES;LIBS;EXPORTED;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE testsupport ${T_LIBS})
    if(T_EXPORTED)
        launcher_link_exported(${name} ${T_EXPORTED})
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    if(LAUNCHER_TEST_TIME_SCALE)
        math(EXPR T_TIMEOUT "${T_TIMEOUT} * ${LAUNCHER_TEST_TIME_SCALE}")
    endif()
    set(_props TIMEOUT ${T_TIMEOUT} ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
    if(T_RESOURCE_LOCK)
        list(APPEND _props RESOURCE_LOCK ${T_RESOURCE_LOCK})
    endif()
    if(T_LABELS)
        list(APPEND _props LABELS "${T_LABELS}")
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES ${_props})
endfunction()
