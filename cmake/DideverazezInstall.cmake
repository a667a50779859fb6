# The client's view of the module, included from Tools/CMakeLists.txt once the
# targets exist.
#
# Public headers are staged under <build>/include/dideverazez/, the layout they
# have once installed; the shared library carries that folder as a build-tree
# include directory too, so a project that adds this one as a subproject writes
# the same #include <dideverazez/...> lines as one that uses the installed
# package.
#
# Installed: include/dideverazez/{dideverazez.h, lmstl_allocator.h,
# zu_memory_resource.h}; libdideverazez and librozudoru (VERSION/SOVERSION
# symlinks); lib/cmake/dideverazez/ (package, version file, targets);
# lib/pkgconfig/dideverazez.pc. cli/CMakeLists.txt installs bin/dideverazez-report
# beside them, with the same DIDEVERAZEZ_INSTALL.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(DIDEVERAZEZ_INSTALL "Generate the install rules" ${PROJECT_IS_TOP_LEVEL})

set(_dz_tools ${PROJECT_SOURCE_DIR}/Tools)
set(_dz_stage ${PROJECT_BINARY_DIR}/include)
set(_dz_public ${_dz_stage}/dideverazez)

# The exported header and the adaptor sit side by side in Tools/handle/ and
# include each other by bare file name, so they are copied unchanged.
configure_file(${_dz_tools}/handle/dideverazez.h ${_dz_public}/dideverazez.h COPYONLY)
configure_file(${_dz_tools}/handle/zu_memory_resource.h ${_dz_public}/zu_memory_resource.h
               COPYONLY)

# lmstl_allocator.h lives in Tools/statistics/ and reaches the exported header
# through the module's include root ("handle/dideverazez.h"); the staged copy
# reaches it beside itself instead. A source that no longer has that include
# line stops the configuration rather than staging a header that cannot work.
set(_dz_lmstl ${_dz_tools}/statistics/lmstl_allocator.h)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_dz_lmstl})
file(READ ${_dz_lmstl} _dz_text)
string(REPLACE "#include \"handle/dideverazez.h\"" "#include \"dideverazez.h\"" _dz_staged
               "${_dz_text}")
if(_dz_staged STREQUAL _dz_text)
    message(FATAL_ERROR "${_dz_lmstl} no longer includes \"handle/dideverazez.h\"; "
                        "update cmake/DideverazezInstall.cmake")
endif()
file(CONFIGURE OUTPUT ${_dz_public}/lmstl_allocator.h CONTENT "${_dz_staged}" @ONLY)

target_include_directories(dideverazez INTERFACE
    $<BUILD_INTERFACE:${_dz_stage}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

if(UNIX AND NOT APPLE)
    # librozudoru is installed beside libdideverazez; let the loader (and the
    # linker of a client that names only -ldideverazez) find it there.
    set_target_properties(dideverazez PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

if(NOT DIDEVERAZEZ_INSTALL)
    return()
endif()

set(_dz_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/dideverazez)

install(TARGETS dideverazez rozudoru
    EXPORT dideverazezTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES
    ${_dz_public}/dideverazez.h
    ${_dz_public}/lmstl_allocator.h
    ${_dz_public}/zu_memory_resource.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dideverazez)

install(EXPORT dideverazezTargets
    NAMESPACE dideverazez::
    DESTINATION ${_dz_cmakedir})
configure_package_config_file(
    ${PROJECT_SOURCE_DIR}/cmake/dideverazezConfig.cmake.in
    ${PROJECT_BINARY_DIR}/dideverazezConfig.cmake
    INSTALL_DESTINATION ${_dz_cmakedir})
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/dideverazezConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/dideverazezConfig.cmake
    ${PROJECT_BINARY_DIR}/dideverazezConfigVersion.cmake
    DESTINATION ${_dz_cmakedir})

# The .pc file finds its prefix from its own folder, so an install moved
# elsewhere (or made with cmake --install --prefix) still describes itself.
set(_dz_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH DIDEVERAZEZ_PC_UP /root/${_dz_pcdir} /root)
string(REGEX REPLACE "/$" "" DIDEVERAZEZ_PC_UP "${DIDEVERAZEZ_PC_UP}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/dideverazez.pc.in ${PROJECT_BINARY_DIR}/dideverazez.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dideverazez.pc DESTINATION ${_dz_pcdir})
