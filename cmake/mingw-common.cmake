# What both mingw-w64 toolchain files share; they set kb_mingw (the target
# triplet) and CMAKE_SYSTEM_PROCESSOR first.
# The -posix flavour of the compilers is the one with std::thread and
# std::mutex (the win32 flavour has neither). Test programs run under Wine
# through tools/wine/run.sh, which picks 32- or 64-bit Wine by the program.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${kb_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kb_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${kb_mingw}-windres)
set(CMAKE_AR ${kb_mingw}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${kb_mingw}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${kb_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# UTF-8 resource scripts (the version record carries non-ASCII text).
set(CMAKE_RC_FLAGS "--codepage=65001" CACHE STRING "")

# Self-contained executables: no libgcc, libstdc++ or winpthread DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

get_filename_component(kb_repo_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${kb_repo_root}/tools/wine/run.sh)
