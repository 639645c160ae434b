# Device-ABI conformance build: the shell and the device-only calls, compiled and linked against
# the real Windows headers and libraries. The .exe is never run; building it proves the shell
# uses the real calls with their real types and record sizes.

file(GLOB QS_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/win32/*.cpp)

# The entry point belongs to the shell. Until the shell has sources, probe_main.cpp stands in
# with an entry point that runs the probe; once it has, the shell's own WinMain is the one, and
# two would not link.
set(QS_PROBE_MAIN ${CMAKE_SOURCE_DIR}/platform/win32/probe_main.cpp)
list(REMOVE_ITEM QS_WIN32_SOURCES ${QS_PROBE_MAIN})
if(NOT QS_SHELL_SOURCES)
  list(APPEND QS_WIN32_SOURCES ${QS_PROBE_MAIN})
endif()

add_executable(quorshell_conformance WIN32
  ${QS_SHELL_SOURCES}
  ${QS_WIN32_SOURCES}
  ${CMAKE_SOURCE_DIR}/platform/probe/ce_probe.cpp)
set_target_properties(quorshell_conformance PROPERTIES OUTPUT_NAME quorshell_conformance)
target_include_directories(quorshell_conformance PRIVATE ${CMAKE_SOURCE_DIR})
# The device is Unicode only: TEXT() and the unsuffixed names are the wide ones. Its WinMain takes
# a wide command line, which on the desktop is wWinMain (platform/ce.h maps the name).
target_compile_definitions(quorshell_conformance PRIVATE UNICODE _UNICODE)
target_compile_options(quorshell_conformance PRIVATE -municode)
target_link_options(quorshell_conformance PRIVATE -municode -static)
target_link_libraries(quorshell_conformance PRIVATE winmm user32)
