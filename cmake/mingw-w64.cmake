# Cross-build for Windows x64 with Debian's mingw-w64 (posix threads flavour, for std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUARNIX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUARNIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARNIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARNIX_MINGW_PREFIX}-windres)
find_program(QUARNIX_WIDL ${QUARNIX_MINGW_PREFIX}-widl REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${QUARNIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# One self-contained file per program: no compiler runtime DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
