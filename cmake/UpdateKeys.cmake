# kestrel_update_keys_source(OUTPUT FILE KEYS KEY... [REQUIRE ON|OFF|<empty>]): writes FILE, the
# source that builds the minisign public keys into the tool (UpdateKeys.h). A key is the base64
# line of a minisign public key ("RW..."), or the path of its .pub file. REQUIRE empty: ON when
# a key is given.
set(KESTREL_UPDATE_KEYS_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/UpdateKeys.cpp.in)

function(kestrel_update_keys_source)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT;REQUIRE" "KEYS")
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
    if(require)
        set(KESTREL_REQUIRE_SIGNED true)
    else()
        set(KESTREL_REQUIRE_SIGNED false)
    endif()
    set(KESTREL_UPDATE_KEY_TEXTS "${texts}")
    configure_file(${KESTREL_UPDATE_KEYS_TEMPLATE} ${arg_OUTPUT} @ONLY)
endfunction()
