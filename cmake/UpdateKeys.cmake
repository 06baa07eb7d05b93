# kestrel_update_keys_source(OUTPUT FILE KEYS KEY... [REQUIRE ON|OFF|<empty>]
#                            [ALLOW_UNSIGNED ON|OFF] [PACKAGED ON|OFF]): writes FILE, the source
# that builds the update trust of the tool (UpdateKeys.h). A key is the base64 line of a minisign
# public key ("RW..."), or the path of its .pub file. REQUIRE empty: ON when a key is given.
# ALLOW_UNSIGNED: a build without keys takes unsigned updates (otherwise it refuses every update
# from a server). PACKAGED: installed by a package manager, the tool never replaces itself.
function(kestrel_update_keys_source)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT;REQUIRE;ALLOW_UNSIGNED;PACKAGED" "KEYS")
    set(texts "")
    foreach(key IN LISTS arg_KEYS)
        if(EXISTS "${key}")
            file(STRINGS "${key}" lines REGEX "^RW")
            list(GET lines 0 key)
        endif()
        string(LENGTH "${key}" length)
        if(NOT key MATCHES "^RW[A-Za-z0-9+/]+$" OR NOT length EQUAL 56)
            message(FATAL_ERROR "KESTREL_UPDATE_PUBKEYS: \"${key}\" is not a minisign public "
                "key: give the 56-character line starting with RW of the .pub file that "
                "`minisign -G` writes, or the path of that file")
        endif()
        string(APPEND texts "    \"${key}\",\n")
    endforeach()
    set(require ${arg_REQUIRE})
    if("${require}" STREQUAL "")
        if(texts STREQUAL "")
            set(require OFF)
        else()
            set(require ON)
        endif()
    endif()
    foreach(flag REQUIRE_SIGNED:require ALLOW_UNSIGNED:arg_ALLOW_UNSIGNED
            FOR_PACKAGE_MANAGER:arg_PACKAGED)
        string(REPLACE ":" ";" flag ${flag})
        list(GET flag 0 name)
        list(GET flag 1 var)
        if(${var})
            set(KESTREL_${name} true)
        else()
            set(KESTREL_${name} false)
        endif()
    endforeach()
    set(KESTREL_UPDATE_KEY_TEXTS "${texts}")
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/UpdateKeys.cpp.in ${arg_OUTPUT} @ONLY)
endfunction()

# kestrel_update_trust_library(NAME [KEYS KEY...] [ALLOW_UNSIGNED] [PACKAGED]): an object library
# with the given update trust. A program that links it gets that trust instead of the build's
# (its definitions come before the library kestrel_update_keys on the link line).
function(kestrel_update_trust_library name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "ALLOW_UNSIGNED;PACKAGED" "" "KEYS")
    set(source ${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp)
    kestrel_update_keys_source(OUTPUT ${source} KEYS ${arg_KEYS}
                               ALLOW_UNSIGNED ${arg_ALLOW_UNSIGNED} PACKAGED ${arg_PACKAGED})
    add_library(${name} OBJECT ${source})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/app/workflow)
    target_link_libraries(${name} PRIVATE kestrel_warnings)
endfunction()

# kestrel_program_with_trust(NAME PROGRAM TRUST): the program kestrel-cli or kestrel (the window)
# built again as NAME, with the update trust of the library TRUST (kestrel_update_trust_library).
function(kestrel_program_with_trust name program trust)
    if(program STREQUAL kestrel AND WIN32)
        add_executable(${name})
        target_link_libraries(${name} PRIVATE ${trust} kestrel_window_program kestrel_warnings)
        kestrel_windows_resources(${name} "Kestrel QX40 firmware upgrade")
    elseif(program STREQUAL kestrel)
        add_executable(${name} ${PROJECT_SOURCE_DIR}/app/gui/main.cpp)
        target_link_libraries(${name} PRIVATE ${trust} kestrel_gui kestrel_warnings)
    else()
        add_executable(${name} ${PROJECT_SOURCE_DIR}/app/cli/main.cpp)
        target_link_libraries(${name} PRIVATE ${trust} kestrel_cli_commands kestrel_warnings)
        kestrel_windows_resources(${name} "Kestrel QX40 firmware upgrade, command line")
    endif()
endfunction()
