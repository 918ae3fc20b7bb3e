# Packaging: what `cmake --install` and `cpack -G DEB` produce. The install test fills a prefix
# inside the build folder that the checks after it read.
set(VELTA_PKG_ROOT ${CMAKE_CURRENT_BINARY_DIR}/packaging-root)
set(VELTA_PKG_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/packaging)

add_test(NAME packaging_install_tree
    COMMAND ${VELTA_PKG_SCRIPTS}/install_tree_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${VELTA_PKG_ROOT})
set_tests_properties(packaging_install_tree PROPERTIES FIXTURES_SETUP velta_install_root TIMEOUT 120)

add_test(NAME packaging_desktop_entry COMMAND ${VELTA_PKG_SCRIPTS}/desktop_entry_test.sh ${VELTA_PKG_ROOT})
set_tests_properties(packaging_desktop_entry PROPERTIES
    FIXTURES_REQUIRED velta_install_root SKIP_RETURN_CODE 77 TIMEOUT 60)

add_executable(test_installed_icons packaging/test_installed_icons.cpp)
target_link_libraries(test_installed_icons PRIVATE Qt6::Test velta_icons)
set_target_properties(test_installed_icons PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
add_test(NAME test_installed_icons COMMAND test_installed_icons)
target_compile_definitions(test_installed_icons PRIVATE VELTA_INSTALL_ROOT="${VELTA_PKG_ROOT}")
set_tests_properties(test_installed_icons PROPERTIES FIXTURES_REQUIRED velta_install_root TIMEOUT 120
    ENVIRONMENT "${VELTA_TEST_ENV}")

add_test(NAME packaging_deb
    COMMAND ${VELTA_PKG_SCRIPTS}/deb_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/packaging-deb)
set_tests_properties(packaging_deb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
