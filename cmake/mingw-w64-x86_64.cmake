# Cross-compiles for 64-bit Windows with Debian's mingw-w64, in its posix-threads flavour (the
# standard library's threads and mutexes need it). Tests run the programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(kw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${kw_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${kw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine script picks wine64 but warns about the missing 32-bit loader; call it directly.
find_program(KW_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KW_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KW_WINE})
endif()
