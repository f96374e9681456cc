# mingw.cmake: cross-builds for Windows with Debian's mingw-w64 (posix thread model, as GoogleTest
# needs). TESSOREL_MINGW_ARCH picks i686 (the shipped 32-bit program) or x86_64. Everything is
# linked statically, so the programs need no DLL beyond Windows' own; tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT TESSOREL_MINGW_ARCH)
  set(TESSOREL_MINGW_ARCH i686)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${TESSOREL_MINGW_ARCH})
set(TESSOREL_MINGW_TRIPLE ${TESSOREL_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSOREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSOREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSOREL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TESSOREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
