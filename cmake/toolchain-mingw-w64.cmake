# Cross-compiles for 64-bit Windows with Debian's MinGW-w64. The posix thread
# model is preferred: it is the one whose C++ library has std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTROVA_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${KESTROVA_MINGW_TRIPLET}-gcc-posix ${KESTROVA_MINGW_TRIPLET}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${KESTROVA_MINGW_TRIPLET}-g++-posix ${KESTROVA_MINGW_TRIPLET}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${KESTROVA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTROVA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs run where no MinGW run-time DLLs are installed (a Wine prefix,
# a plain Windows machine): the GCC and C++ run-times go into each program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
