# kestrel_windows_resources(TARGET DESCRIPTION): gives the Windows program TARGET the resources of
# Kestrel's programs: the application manifest app/Kestrel.manifest (common controls 6,
# per-monitor DPI, long paths, no elevation) and version information with the project's version,
# the product name "Kestrel", DESCRIPTION and the program's file name. Every Windows program of
# the product calls it (kestrel-cli.exe, kestrel.exe and their builds with another update trust);
# it does nothing on other platforms. The top CMakeLists.txt enables the RC language on Windows.
function(kestrel_windows_resources target description)
    if(NOT WIN32)
        return()
    endif()
    # Four numbers for the binary version fields: 1.4 -> 1,4,0,0.
    string(REPLACE "." ";" parts "${PROJECT_VERSION}")
    list(APPEND parts 0 0 0)
    list(SUBLIST parts 0 4 parts)
    list(JOIN parts "," KESTREL_RC_VERSION_COMMAS)
    set(KESTREL_RC_MANIFEST "${PROJECT_SOURCE_DIR}/app/Kestrel.manifest")
    set(KESTREL_RC_DESCRIPTION "${description}")
    get_target_property(KESTREL_RC_NAME ${target} OUTPUT_NAME)
    if(NOT KESTREL_RC_NAME)
        set(KESTREL_RC_NAME ${target})
    endif()
    set(rc ${PROJECT_BINARY_DIR}/resources/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/app/Kestrel.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    # The manifest is read by windres: a changed manifest rebuilds the resources.
    set_property(SOURCE ${rc} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS
                 ${KESTREL_RC_MANIFEST})
endfunction()
