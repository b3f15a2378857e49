# Cross-build for 64-bit Windows with mingw-w64 (the posix threads variant,
# Debian's g++-mingw-w64-x86-64-posix). The C++ runtime and libgcc are linked
# statically, so the executables need no DLL beside them, under Wine or on a
# Windows machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVARA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVARA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVARA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVARA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVARA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static also pulls in winpthread statically (the posix variant's threads).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
