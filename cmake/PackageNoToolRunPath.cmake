# Run by CPack once the components are installed into its staging directory, before it packages
# them: the run path of the tools and the libraries, which leads from bin/ (or lib/<triplet>, as
# $ORIGIN) to the libraries of an install into any prefix, is removed from the packaged copies.
# Under /usr the loader finds the libraries in the multiarch directory by itself, and a run path
# there would outrank the system's choice.
file(GLOB _elves
    "${CPACK_TEMPORARY_DIRECTORY}/*${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*"
    "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*"
    "${CPACK_TEMPORARY_DIRECTORY}/*${CPACK_PACKAGING_INSTALL_PREFIX}/lib/*/*.so*"
    "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/lib/*/*.so*")
foreach(_elf IN LISTS _elves)
    if(NOT IS_SYMLINK "${_elf}")
        file(RPATH_REMOVE FILE "${_elf}")
    endif()
endforeach()
