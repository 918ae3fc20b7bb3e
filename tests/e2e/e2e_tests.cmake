# End-to-end: the real window under Xvfb, clicked with xdotool, against the device simulator.
find_program(VELTA_XVFB_RUN xvfb-run)
find_program(VELTA_XDOTOOL xdotool)
if(VELTA_XVFB_RUN AND VELTA_XDOTOOL)
    add_test(NAME e2e_window COMMAND ${CMAKE_CURRENT_LIST_DIR}/window_test.sh
        $<TARGET_FILE:velta-bootloader> $<TARGET_FILE:velta-devsim> ${CMAKE_SOURCE_DIR})
    # It owns port 111 while it runs and must not share the machine's two cores with other tests.
    set_tests_properties(e2e_window PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE SKIP_RETURN_CODE 77
        ENVIRONMENT "XDG_RUNTIME_DIR=${VELTA_TEST_RUNTIME_DIR}")
    # The line window against twelve simulators on 127.0.0.21-32, compared with velta-flash.
    add_test(NAME e2e_line COMMAND ${CMAKE_CURRENT_LIST_DIR}/line_test.sh
        $<TARGET_FILE:velta-line> $<TARGET_FILE:velta-flash> $<TARGET_FILE:velta-devsim>)
    set_tests_properties(e2e_line PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE SKIP_RETURN_CODE 77)
endif()
