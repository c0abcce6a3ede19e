# Read by cpack before it makes a package. Without dpkg-shlibdeps CPack
# would quietly make a package that depends on none of its libraries.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
    find_program(VEXTORA_SHLIBDEPS dpkg-shlibdeps)
    if(NOT VEXTORA_SHLIBDEPS)
        message(FATAL_ERROR
            "dpkg-shlibdeps is missing: run scripts/install-deps.sh package (it installs dpkg-dev)")
    endif()
endif()
