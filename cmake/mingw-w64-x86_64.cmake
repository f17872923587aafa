# Cross-build for 64-bit Windows with MinGW-w64 (the posix thread model, for
# std::thread), e.g.
#   cmake -S . -B build-win -G Ninja -DMX_BUILD_GUI=OFF \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The programs are linked statically, so that they run under Wine without
# any MinGW runtime DLLs beside them. Test programs run through Wine, in a
# prefix inside the build directory.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into every executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Run target programs (tests, test discovery) through Wine. The prefix lives
# in the build directory; mono and gecko are not wanted, which keeps the
# prefix's first start to a few seconds.
find_program(MX_WINE NAMES wine wine64 wine-stable)
if(MX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml="
      ${MX_WINE})
  # With address space randomisation, about one start in two thousand fails
  # silently ("failed to map the shared user data"): something already sits
  # where Wine puts that page. Start Wine without it where the host allows.
  execute_process(COMMAND setarch -R true RESULT_VARIABLE MX_SETARCH_RESULT OUTPUT_QUIET ERROR_QUIET)
  if(MX_SETARCH_RESULT EQUAL 0)
    list(PREPEND CMAKE_CROSSCOMPILING_EMULATOR setarch -R)
  endif()
endif()

# List the GoogleTest cases when CTest runs, not while building: the build
# then needs no Wine at all.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
