# Packaging: what `cmake --install` and `cpack -G DEB` produce.
add_test(NAME packaging COMMAND ${CMAKE_CURRENT_LIST_DIR}/packaging/packaging_test.sh
    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set_tests_properties(packaging PROPERTIES TIMEOUT 300)
