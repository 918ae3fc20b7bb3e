# The command-line flasher; its tests start the real flasher and the device simulator.
velta_add_test(test_flash SOURCES test_flash.cpp LIBS velta_flash_core)
add_dependencies(test_flash velta-flash velta-devsim)
set_tests_properties(test_flash PROPERTIES TIMEOUT 120)
