# The Bluetooth chip's upgrade end to end: the updater program against the
# device emulator in the test's process. Every test here starts quillon-upgrade.
quillon_add_test(e2e_bluetooth_test
  SOURCES EndToEndBluetooth_test.cpp
  LIBS quillon_e2e_rig quillon_emulator
  RESOURCE_LOCK quillon_private_runs)
if(TARGET e2e_bluetooth_test)
  add_dependencies(e2e_bluetooth_test quillon-upgrade quillon_images)
endif()
