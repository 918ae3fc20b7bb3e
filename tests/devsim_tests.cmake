velta_add_test(test_intel_hex SOURCES test_intel_hex.cpp LIBS velta_core)

velta_add_test(test_devsim SOURCES test_devsim.cpp LIBS velta_devsim_core)
# The test starts the real program, so building the test builds the program too.
add_dependencies(test_devsim velta-devsim)

velta_add_test(test_transfer_devsim SOURCES test_transfer_devsim.cpp test_support.h simulator_process.h
    LIBS velta_app velta_test_support)
add_dependencies(test_transfer_devsim velta-devsim)

velta_add_test(test_faults SOURCES test_faults.cpp test_support.h simulator_process.h
    LIBS velta_app velta_test_support)
add_dependencies(test_faults velta-devsim)
