# Phone-projection USB modes, in process against the stand-ins.
launcher_add_unit_test(tst_usbsetting
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_usbsetting.cpp
    LIBS Platform::Settings Platform::Apis Platform::Core
    EXPORTED launcher_config launcher_mcu)
