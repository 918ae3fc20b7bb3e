# End-to-end: the real window under Xvfb, clicked with xdotool, against the device simulator.
find_program(VELTA_XVFB_RUN xvfb-run)
find_program(VELTA_XDOTOOL xdotool)
if(VELTA_XVFB_RUN AND VELTA_XDOTOOL)
    add_test(NAME e2e_window_download
        COMMAND ${CMAKE_CURRENT_LIST_DIR}/window_download_test.sh
                $<TARGET_FILE:velta-bootloader> $<TARGET_FILE:velta-devsim> ${CMAKE_SOURCE_DIR})
    # It owns port 111 while it runs and must not share the machine's two cores with other tests.
    set_tests_properties(e2e_window_download PROPERTIES
        TIMEOUT 300 RUN_SERIAL TRUE SKIP_RETURN_CODE 77
        ENVIRONMENT "XDG_RUNTIME_DIR=${VELTA_TEST_RUNTIME_DIR}")
endif()
if(VELTA_XVFB_RUN AND VELTA_XDOTOOL)
    add_test(NAME e2e_window_titles
        COMMAND ${CMAKE_CURRENT_LIST_DIR}/titles_test.sh $<TARGET_FILE:velta-bootloader>)
    set_tests_properties(e2e_window_titles PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)
endif()
