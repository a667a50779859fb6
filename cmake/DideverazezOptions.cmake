# Compiler settings shared by every target of the project.

# Warnings for the project's own targets (PRIVATE, so clients inherit none).
function(dideverazez_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4)
        if(DIDEVERAZEZ_WARNINGS_AS_ERRORS)
            target_compile_options(${target} PRIVATE /WX)
        endif()
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
        if(DIDEVERAZEZ_WARNINGS_AS_ERRORS)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
    target_compile_features(${target} PUBLIC cxx_std_20)
    set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
endfunction()

# Sanitizers apply to everything built in this tree, so that instrumented and
# uninstrumented code never mix.
if(DIDEVERAZEZ_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(DIDEVERAZEZ_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT DIDEVERAZEZ_SANITIZE STREQUAL "")
    message(FATAL_ERROR "DIDEVERAZEZ_SANITIZE must be empty, 'address' or 'thread'")
endif()
