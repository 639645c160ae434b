# Cross toolchain of the conformance build: i686 MinGW-w64, a 32-bit ABI like the device's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(QS_MINGW_TRIPLE i686-w64-mingw32)

# The posix thread model is the one Debian ships for C++11 threads; the plain names are the same
# compilers on systems where the alternatives point at it.
find_program(QS_MINGW_CC NAMES ${QS_MINGW_TRIPLE}-gcc-posix ${QS_MINGW_TRIPLE}-gcc REQUIRED)
find_program(QS_MINGW_CXX NAMES ${QS_MINGW_TRIPLE}-g++-posix ${QS_MINGW_TRIPLE}-g++ REQUIRED)
set(CMAKE_C_COMPILER ${QS_MINGW_CC})
set(CMAKE_CXX_COMPILER ${QS_MINGW_CXX})
find_program(CMAKE_RC_COMPILER NAMES ${QS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained .exe: no libgcc or libstdc++ DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
