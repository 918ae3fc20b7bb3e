# The simulator's parts live in a library so the tests drive the same device model and server.
add_library(velta_devsim_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/device_simulator.cpp ${CMAKE_CURRENT_LIST_DIR}/device_simulator.h
    ${CMAKE_CURRENT_LIST_DIR}/sim_server.cpp ${CMAKE_CURRENT_LIST_DIR}/sim_server.h
)
target_include_directories(velta_devsim_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(velta_devsim_core PUBLIC velta_protocol Qt6::Core Qt6::Network)

add_executable(velta-devsim ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(velta-devsim PRIVATE velta_devsim_core velta_protocol Qt6::Network)
set_target_properties(velta-devsim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
install(TARGETS velta-devsim RUNTIME DESTINATION bin)
