# One step of the install-and-consume test, run with cmake -P. MODE is one of:
#   install         install BUILD_DIR into WORK_DIR/prefix and check the layout;
#   find_package    configure, build and run examples/client against the prefix
#                   (ASK_VERSION, when set, is the version it asks for);
#   refuse_version  check that asking for the next major version fails;
#   pkg_config      compile examples/client, and the README's usage example,
#                   with the flags of `pkg-config --cflags --libs dideverazez`
#                   alone, and run them.

set(prefix ${WORK_DIR}/prefix)
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")

function(run)
    cmake_parse_arguments(arg "" "WHAT;RESULT;OUTPUT" "COMMAND" ${ARGN})
    execute_process(COMMAND ${arg_COMMAND}
                    RESULT_VARIABLE result
                    OUTPUT_VARIABLE output
                    ERROR_VARIABLE output)
    if(arg_RESULT)
        set(${arg_RESULT} ${result} PARENT_SCOPE)
        set(${arg_OUTPUT} "${output}" PARENT_SCOPE)
        return()
    endif()
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${arg_WHAT} failed (${result}):\n${arg_COMMAND}\n${output}")
    endif()
    message(STATUS "${arg_WHAT}: ok")
    if(arg_OUTPUT)
        set(${arg_OUTPUT} "${output}" PARENT_SCOPE)
    endif()
endfunction()

# Configures, builds and runs examples/client in a fresh folder against the
# prefix and nothing else (no package registry, no system prefix search).
function(configure_client folder version result_var output_var)
    file(REMOVE_RECURSE ${folder})
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/client -B ${folder} -G ${GENERATOR}
                -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
                "-DCMAKE_EXE_LINKER_FLAGS=${CXX_FLAGS}" -DCMAKE_PREFIX_PATH=${prefix}
                -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
                -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -DDIDEVERAZEZ_CLIENT_VERSION=${version}
        RESULT_VARIABLE result
        OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    set(${result_var} ${result} PARENT_SCOPE)
    set(${output_var} "${output}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "install")
    file(REMOVE_RECURSE ${WORK_DIR})
    run(WHAT "install" COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

    string(REGEX MATCH "^[0-9]+" major "${VERSION}")
    set(expected
        include/dideverazez/dideverazez.h
        include/dideverazez/lmstl_allocator.h
        include/dideverazez/zu_memory_resource.h
        lib/libdideverazez.so
        lib/libdideverazez.so.${major}
        lib/libdideverazez.so.${VERSION}
        lib/librozudoru.so
        lib/librozudoru.so.${major}
        lib/librozudoru.so.${VERSION}
        lib/cmake/dideverazez/dideverazezConfig.cmake
        lib/cmake/dideverazez/dideverazezConfigVersion.cmake
        lib/cmake/dideverazez/dideverazezTargets.cmake
        lib/pkgconfig/dideverazez.pc)
    if(REPORT_TOOL)
        list(APPEND expected bin/dideverazez-report)
    endif()
    foreach(file IN LISTS expected)
        if(NOT EXISTS ${prefix}/${file})
            message(FATAL_ERROR "not installed: ${file}")
        endif()
    endforeach()
    # The development links point at the SONAME, which points at the file.
    foreach(library IN ITEMS dideverazez rozudoru)
        file(READ_SYMLINK ${prefix}/lib/lib${library}.so link)
        file(READ_SYMLINK ${prefix}/lib/lib${library}.so.${major} soname_link)
        if(NOT link STREQUAL "lib${library}.so.${major}"
           OR NOT soname_link STREQUAL "lib${library}.so.${VERSION}")
            message(FATAL_ERROR "lib${library}.so -> ${link} -> ${soname_link}")
        endif()
    endforeach()
    find_program(READELF readelf)
    if(READELF)
        run(WHAT "readelf" COMMAND ${READELF} -d ${prefix}/lib/libdideverazez.so.${VERSION}
            OUTPUT dynamic)
        if(NOT dynamic MATCHES "soname: \\[libdideverazez\\.so\\.${major}\\]")
            message(FATAL_ERROR "libdideverazez has no SONAME libdideverazez.so.${major}:\n"
                                "${dynamic}")
        endif()
    endif()
    # Every quoted include of an installed header names a file installed beside
    # it: nothing reaches back into the source tree.
    file(GLOB headers ${prefix}/include/dideverazez/*.h)
    foreach(header IN LISTS headers)
        file(STRINGS ${header} includes REGEX "^#include \"")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
            get_filename_component(folder ${header} DIRECTORY)
            if(NOT EXISTS ${folder}/${included})
                message(FATAL_ERROR "${header} includes \"${included}\", which is not installed")
            endif()
        endforeach()
    endforeach()
    if(REPORT_TOOL)
        run(WHAT "the installed dideverazez-report" COMMAND ${prefix}/bin/dideverazez-report --help)
    endif()
    message(STATUS "installed layout: ok")

elseif(MODE STREQUAL "find_package")
    set(folder ${WORK_DIR}/client-find-package${ASK_VERSION})
    configure_client(${folder} "${ASK_VERSION}" result output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "configuring the client failed:\n${output}")
    endif()
    run(WHAT "build" COMMAND ${CMAKE_COMMAND} --build ${folder})
    run(WHAT "run" COMMAND ${folder}/client OUTPUT output)
    message(STATUS "${output}")

elseif(MODE STREQUAL "refuse_version")
    string(REGEX MATCH "^[0-9]+" major "${VERSION}")
    math(EXPR next "${major} + 1")
    configure_client(${WORK_DIR}/client-refused "${next}.0" result output)
    if(result EQUAL 0)
        message(FATAL_ERROR "find_package(dideverazez ${next}.0) accepted version ${VERSION}")
    endif()
    if(NOT output MATCHES "version")
        message(FATAL_ERROR "the error does not mention the version:\n${output}")
    endif()
    message(STATUS "find_package(dideverazez ${next}.0) refused version ${VERSION}: ok")

elseif(MODE STREQUAL "pkg_config")
    set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
    set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/lib/pkgconfig)
    run(WHAT "pkg-config" COMMAND ${PKG_CONFIG} --cflags --libs dideverazez OUTPUT flags)
    string(STRIP "${flags}" flags)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    set(folder ${WORK_DIR}/client-pkg-config)
    file(REMOVE_RECURSE ${folder})
    file(MAKE_DIRECTORY ${folder})
    set(programs client ${SOURCE_DIR}/examples/client/client.cpp)
    if(EXISTS ${README_USAGE})
        list(APPEND programs readme_usage ${README_USAGE})
    endif()
    while(programs)
        list(POP_FRONT programs name source)
        run(WHAT "compile ${name}"
            COMMAND ${CXX_COMPILER} -std=c++20 ${cxx_flags} ${source} ${flags}
                    -o ${folder}/${name})
        run(WHAT "run ${name}"
            COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${folder}/${name}
            OUTPUT output)
        message(STATUS "${output}")
    endwhile()

else()
    message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()
