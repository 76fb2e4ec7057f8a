# kelvarn.exe: the process entry wires the Win32 adapter into the core.

# The event-log message table: windmc turns messages.mc into a binary table and a resource
# script, windres the script into an object linked into the executable.
set(KVN_MC_SOURCE ${CMAKE_SOURCE_DIR}/src/win32/messages.mc)
set(KVN_MC_DIR ${CMAKE_BINARY_DIR}/messages)
if(MSVC)
  # Visual Studio: mc.exe writes messages.rc, which the resource compiler builds with the rest.
  find_program(KVN_MC mc REQUIRED)
  add_custom_command(
    OUTPUT ${KVN_MC_DIR}/messages.rc ${KVN_MC_DIR}/messages.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KVN_MC_DIR}
    COMMAND ${KVN_MC} -h ${KVN_MC_DIR} -r ${KVN_MC_DIR} ${KVN_MC_SOURCE}
    DEPENDS ${KVN_MC_SOURCE}
    COMMENT "Building the event-log message table"
    VERBATIM)
  set(KVN_MC_OBJECT ${KVN_MC_DIR}/messages.rc)
else()
  # Cross builds name the tool in their toolchain file; a native MinGW (MSYS2) finds it.
  if(NOT KVN_WINDMC)
    find_program(KVN_WINDMC windmc REQUIRED)
  endif()
  set(KVN_MC_OBJECT ${KVN_MC_DIR}/messages_res.obj)
  add_custom_command(
    OUTPUT ${KVN_MC_OBJECT} ${KVN_MC_DIR}/messages.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KVN_MC_DIR}
    COMMAND ${KVN_WINDMC} -h ${KVN_MC_DIR} -r ${KVN_MC_DIR} ${KVN_MC_SOURCE}
    COMMAND ${CMAKE_RC_COMPILER} --input-format=rc --output-format=coff -I ${KVN_MC_DIR}
            -i ${KVN_MC_DIR}/messages.rc -o ${KVN_MC_OBJECT}
    WORKING_DIRECTORY ${KVN_MC_DIR}
    DEPENDS ${KVN_MC_SOURCE}
    COMMENT "Building the event-log message table"
    VERBATIM)
endif()
if(MSVC)
  set_source_files_properties(${KVN_MC_OBJECT} PROPERTIES GENERATED TRUE)
else()
  set_source_files_properties(${KVN_MC_OBJECT} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
endif()

# The version resource, of the version the top-level CMakeLists.txt settled.
string(REPLACE "." "," KVN_EXE_VERSION_COMMAS ${KVN_EXE_VERSION})
enable_language(RC)
configure_file(${CMAKE_SOURCE_DIR}/src/win32/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)

add_executable(kelvarn src/win32/main.cpp ${KVN_MC_OBJECT} ${CMAKE_BINARY_DIR}/version.rc)
target_compile_options(kelvarn PRIVATE ${KVN_WARNINGS})
target_link_libraries(kelvarn PRIVATE kvn_core)
# The shipped executable carries no symbol tables (they are two thirds of its size).
if(NOT MSVC)
  target_link_options(kelvarn PRIVATE $<$<CONFIG:Release>:-s>)
endif()
# Output straight into the build folder, where the README and the tests look for it.
set_target_properties(kelvarn PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
