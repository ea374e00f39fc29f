# Cross-compiling for Windows x64 with Debian's mingw-w64 (the POSIX thread model, for std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TESSARY_MINGW_PREFIX x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${TESSARY_MINGW_PREFIX}-gcc-posix ${TESSARY_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TESSARY_MINGW_PREFIX}-g++-posix ${TESSARY_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TESSARY_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSARY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config looks at the target's libraries only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${TESSARY_MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Executables carry the compiler's runtime, so they run without DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run through Wine.
find_program(TESSARY_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(TESSARY_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSARY_WINE})
endif()

# Debian's libz-mingw-w64-dev: the static library, so that no zlib1.dll needs to ship.
set(ZLIB_USE_STATIC_LIBS ON)
