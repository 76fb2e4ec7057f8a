# kelvarn.exe: the process entry wires the Win32 adapter into the core.
add_executable(kelvarn src/win32/main.cpp)
target_compile_options(kelvarn PRIVATE ${KVN_WARNINGS})
target_link_libraries(kelvarn PRIVATE kvn_core)
# Output straight into the build folder, where the README and the tests look for it.
set_target_properties(kelvarn PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
