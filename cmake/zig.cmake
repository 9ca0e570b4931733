# Toolchain file for the portable wheels: zig's clang, targeting one
# processor and the oldest glibc the wheels support (2.17, manylinux2014),
# with LLVM's libc++ linked into each module. scripts/wheels.sh writes the
# wrapper commands (c++, cc, ar, ranlib: `python -m ziglang ...` with the
# target) into one folder per target and names it in BRENVOLT_ZIG_TOOLS, and
# the processor in BRENVOLT_ZIG_PROCESSOR; both are read from the
# environment, which CMake's compiler checks inherit.
if(NOT DEFINED ENV{BRENVOLT_ZIG_TOOLS} OR NOT DEFINED ENV{BRENVOLT_ZIG_PROCESSOR})
  message(FATAL_ERROR "cmake/zig.cmake is for scripts/wheels.sh, which sets BRENVOLT_ZIG_TOOLS and BRENVOLT_ZIG_PROCESSOR")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "$ENV{BRENVOLT_ZIG_PROCESSOR}")
set(CMAKE_C_COMPILER "$ENV{BRENVOLT_ZIG_TOOLS}/cc")
set(CMAKE_CXX_COMPILER "$ENV{BRENVOLT_ZIG_TOOLS}/c++")
set(CMAKE_AR "$ENV{BRENVOLT_ZIG_TOOLS}/ar")
set(CMAKE_RANLIB "$ENV{BRENVOLT_ZIG_TOOLS}/ranlib")
# Link-time optimisation (ThinLTO) archives its bitcode with LLVM's ar.
set(CMAKE_CXX_COMPILER_AR "$ENV{BRENVOLT_ZIG_TOOLS}/ar")
set(CMAKE_CXX_COMPILER_RANLIB "$ENV{BRENVOLT_ZIG_TOOLS}/ranlib")
set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
# zig keeps frame pointers and writes debug information unless told not
# to; the release build of g++ does neither, and the frame pointer costs
# the record loops a register.
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O3 -DNDEBUG -fomit-frame-pointer -g0")
# Headers and libraries of the target come from zig and from the CPython
# headers passed in, never from this machine's /usr.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
