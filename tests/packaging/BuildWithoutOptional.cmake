# Configures the project into WORK_DIR with warnings as errors while the
# optional dependencies of the build are missing, as on a machine that has only
# the demo's packages: without libdw and zlib dideverazez-report is built;
# without nlohmann-json it is left out, which only configuring shows (the
# library without valgrind's headers is the demo's own build). Run with
# cmake -P.
foreach(without "libdw;ZLIB" "nlohmann_json")
    set(disable "")
    foreach(package IN LISTS without)
        list(APPEND disable -DCMAKE_DISABLE_FIND_PACKAGE_${package}=ON)
    endforeach()
    string(REPLACE ";" "-" folder "${without}")
    set(build ${WORK_DIR}/without-${folder})
    file(REMOVE_RECURSE ${build})
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -G ${GENERATOR}
                -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=RelWithDebInfo
                -DDIDEVERAZEZ_WARNINGS_AS_ERRORS=ON -DDIDEVERAZEZ_VALGRIND=OFF
                -DDIDEVERAZEZ_BUILD_TESTS=OFF -DDIDEVERAZEZ_BUILD_EXAMPLES=OFF ${disable}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "configuring without ${without} failed:\n${output}")
    endif()
    if(without STREQUAL "nlohmann_json")
        message(STATUS "without ${without}: configured")
        continue()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${build} --target dideverazez-report
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "building without ${without} failed:\n${output}")
    endif()
    message(STATUS "without ${without}: built")
endforeach()
