# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain (the POSIX thread model,
# which std::thread and std::mutex need) and runs the resulting programs under wine, so ctest
# runs the Windows tests on a Debian machine.
#
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DDGC_WINDOWS_DEPS=/var/cache/dicom-data-converter/mingw-...
#
# DGC_WINDOWS_DEPS is the prefix that tools/build_windows_deps.sh filled (Qt, GDCM); it may also
# come from the environment. Libraries and headers are searched there only, never in the host's
# /usr, whose libraries are Linux ELF files the MinGW linker cannot use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triplet}-windres)
set(CMAKE_AR ${mingw_triplet}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${mingw_triplet}-ranlib CACHE FILEPATH "")

if(NOT DGC_WINDOWS_DEPS AND DEFINED ENV{DGC_WINDOWS_DEPS})
  set(DGC_WINDOWS_DEPS "$ENV{DGC_WINDOWS_DEPS}")
endif()
set(DGC_WINDOWS_DEPS "${DGC_WINDOWS_DEPS}" CACHE PATH "Prefix of the MinGW-built dependencies")
# try_compile projects get a fresh cache: hand the prefix on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DGC_WINDOWS_DEPS)

# The prefix holds one folder per library, each with its CMake package or pkg-config files.
# pkg-config looks there only, never at the host's .pc files.
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} "")
if(DGC_WINDOWS_DEPS)
  foreach(part qt gdcm dcmtk charls openjpeg zlib)
    list(PREPEND CMAKE_FIND_ROOT_PATH "${DGC_WINDOWS_DEPS}/${part}")
    list(APPEND CMAKE_PREFIX_PATH "${DGC_WINDOWS_DEPS}/${part}")
    set(ENV{PKG_CONFIG_LIBDIR} "$ENV{PKG_CONFIG_LIBDIR}:${DGC_WINDOWS_DEPS}/${part}/lib/pkgconfig")
  endforeach()
endif()
# Programs (moc, rcc, python3) run on the host; everything that is linked comes from the roots.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry the GCC runtime and winpthreads inside them, so a test run under wine (and
# an installed copy) needs no MinGW DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# `wine` runs a 64-bit .exe with Debian's wine64. Each start brings up a wine server and its
# services (2 to 4 s); a server kept alive for the prefix makes a start take 0.2 s. Start it with
# its output detached before ctest, or ctest waits for the services that hold its pipes open:
#   wineserver -p </dev/null >/dev/null 2>&1; wine cmd /c exit </dev/null >/dev/null 2>&1
# and stop it after with `wineserver -k`.
find_program(DGC_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(DGC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${DGC_WINE}")
endif()
