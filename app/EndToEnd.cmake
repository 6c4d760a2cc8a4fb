# End-to-end tests: the programs quillon-upgrade and quillon-devemu as a user
# runs them, and the upgrader against the emulator program.

# Starting programs and capturing what they did; the benchmarks use it too.
add_library(quillon_program_runner STATIC testing/ProgramRunner.cpp)

# The rig the end-to-end tests share (no GoogleTest in it).
add_library(quillon_e2e_rig STATIC testing/EndToEndRig.cpp testing/PrivateSystemBus.cpp)
target_link_libraries(quillon_e2e_rig PUBLIC quillon_program_runner PRIVATE PkgConfig::SYSTEMD)
target_compile_definitions(quillon_e2e_rig PRIVATE QUILLON_E2E_BUILD_DIR="${PROJECT_BINARY_DIR}"
                           QUILLON_E2E_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

# The HID channel and the upgrader against the emulator program.
quillon_add_test(e2e_device_test
  SOURCES EndToEndDevice_test.cpp
  LIBS quillon_e2e_rig quillon_upgrader quillon_hid)

# The updater program against the emulator, in-process or as a program. Every
# test here starts quillon-upgrade.
quillon_add_test(e2e_upgrade_test
  SOURCES EndToEndUpgrade_test.cpp
  LIBS quillon_e2e_rig quillon_upgrader quillon_emulator
  RESOURCE_LOCK quillon_instance)

# An upgrade cut at each of its steps, by the cable or by the host, and the
# next run that restores the device.
quillon_add_test(e2e_recovery_test
  SOURCES EndToEndRecovery_test.cpp
  LIBS quillon_e2e_rig quillon_emulator
  RESOURCE_LOCK quillon_private_runs)

foreach(e2e_target IN ITEMS e2e_device_test e2e_upgrade_test e2e_recovery_test)
  if(TARGET ${e2e_target})
    add_dependencies(${e2e_target} quillon-upgrade quillon-devemu quillon_images)
  endif()
endforeach()
