# Finds libsodium and defines the imported target Sodium::Sodium.
# Looks in the usual places, or first under Sodium_ROOT / CMAKE_PREFIX_PATH (the Windows build
# points there at the libsodium it cross-builds). A static library on Windows needs SODIUM_STATIC
# so that the header does not declare its functions as DLL imports.
find_path(Sodium_INCLUDE_DIR sodium.h)
find_library(Sodium_LIBRARY NAMES sodium libsodium)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Sodium REQUIRED_VARS Sodium_LIBRARY Sodium_INCLUDE_DIR)
if(Sodium_FOUND AND NOT TARGET Sodium::Sodium)
    add_library(Sodium::Sodium UNKNOWN IMPORTED)
    set_target_properties(Sodium::Sodium PROPERTIES
        IMPORTED_LOCATION "${Sodium_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${Sodium_INCLUDE_DIR}")
    if(WIN32 AND Sodium_LIBRARY MATCHES "\\.a$")
        set_property(TARGET Sodium::Sodium PROPERTY INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)
    endif()
endif()
mark_as_advanced(Sodium_INCLUDE_DIR Sodium_LIBRARY)
