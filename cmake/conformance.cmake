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

# The device is Unicode only: TEXT() and the unsuffixed names are the wide ones. Its WinMain takes
# a wide command line, which on the desktop is wWinMain (platform/ce.h maps the name).
function(qs_conformance_exe name)
  add_executable(${name} WIN32 ${QS_SHELL_SOURCES} ${QS_WIN32_SOURCES}
                 ${CMAKE_SOURCE_DIR}/platform/probe/ce_probe.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE UNICODE _UNICODE ${ARGN})
  target_compile_options(${name} PRIVATE -municode)
  target_link_options(${name} PRIVATE -municode -static)
  target_link_libraries(${name} PRIVATE winmm user32)
  # Every file reaches the Windows headers through platform/ce.h, first; parsed once a program,
  # they no longer take four fifths of the build (14 CPU-s against 58).
  target_precompile_headers(${name} PRIVATE ${CMAKE_SOURCE_DIR}/platform/ce.h)
endfunction()

qs_conformance_exe(quorshell_conformance)
# The safe-update variant is the same sources with QS_SAFE_UPDATE: it builds against the real
# headers too.
qs_conformance_exe(quorshell_safe_conformance QS_SAFE_UPDATE)
target_sources(quorshell_safe_conformance PRIVATE ${QS_SAFE_SOURCES})
