# Cross build for Windows x86-64 with Debian's MinGW-w64 (the posix-threads
# variant, whose libstdc++ has std::mutex and std::thread).
#
# libgcc, libstdc++ and winpthread are linked statically (-static), so the
# DLLs and test programs depend on system DLLs only and run under Wine, or on
# Windows, with nothing beside them but the project's own DLLs.
#
# Programs built here run through cmake/wine-run.sh, so CTest can run the
# tests on this machine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# --build-id writes a CodeView record into each image, the identity under
# which a snapshot lists the module and a symbol server finds its debug
# information.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--build-id")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--build-id")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,--build-id")

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
    get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR
                           ${CMAKE_CURRENT_LIST_DIR}/../wine-run.sh ABSOLUTE)
endif()
