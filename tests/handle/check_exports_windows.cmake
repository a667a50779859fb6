# Compares the export table of a Windows DLL with an expected list, and checks
# that the DLL needs no MinGW runtime DLL (libgcc, libstdc++ and winpthread
# are linked statically).
#
#   cmake -DOBJDUMP=<objdump> -DDLL=<file.dll> -DEXPECTED=<list> -P check_exports_windows.cmake
#
# The list holds one exported name a line; text after '#' is a comment.

foreach(variable IN ITEMS OBJDUMP DLL EXPECTED)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "check_exports_windows.cmake: ${variable} is not set")
    endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${DLL}
                OUTPUT_VARIABLE dump
                RESULT_VARIABLE status
                ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${status}): ${errors}")
endif()

# The names follow the "[Ordinal/Name Pointer] Table" heading, one a line as
# "\t[   0] name", up to the first blank line.
string(REPLACE ";" "\\;" dump "${dump}")
string(REPLACE "\n" ";" dump_lines "${dump}")
set(actual "")
set(imports "")
set(in_table FALSE)
foreach(line IN LISTS dump_lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
        set(in_table TRUE)
    elseif(in_table AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] +([^ \t]+)")
        list(APPEND actual "${CMAKE_MATCH_1}")
    elseif(in_table AND line STREQUAL "")
        set(in_table FALSE)
    endif()
    if(line MATCHES "^[ \t]*DLL Name: ([^ \t]+)")
        list(APPEND imports "${CMAKE_MATCH_1}")
    endif()
endforeach()

file(STRINGS ${EXPECTED} expected_lines)
set(expected "")
foreach(line IN LISTS expected_lines)
    string(REGEX REPLACE "#.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(NOT line STREQUAL "")
        list(APPEND expected "${line}")
    endif()
endforeach()

list(SORT actual)
list(SORT expected)
set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(unexpected ${actual})
list(REMOVE_ITEM unexpected ${expected})
list(LENGTH actual actual_count)
list(LENGTH expected expected_count)

set(failures "")
if(missing)
    list(JOIN missing "\n  " text)
    string(APPEND failures "not exported:\n  ${text}\n")
endif()
if(unexpected)
    list(JOIN unexpected "\n  " text)
    string(APPEND failures "exported but not public:\n  ${text}\n")
endif()
if(NOT actual_count EQUAL expected_count AND NOT missing AND NOT unexpected)
    string(APPEND failures "${actual_count} names exported, ${expected_count} expected\n")
endif()

# MinGW's runtime DLLs are named lib*.dll; the system's are not.
foreach(import IN LISTS imports)
    string(TOLOWER "${import}" lower)
    if(lower MATCHES "^lib.*\\.dll$")
        string(APPEND failures "imports the MinGW runtime DLL ${import}\n")
    endif()
endforeach()

if(failures)
    message(FATAL_ERROR "${DLL}:\n${failures}")
endif()
list(JOIN imports ", " import_text)
message(STATUS "${DLL}: the ${actual_count} expected names exported; imports ${import_text}")
