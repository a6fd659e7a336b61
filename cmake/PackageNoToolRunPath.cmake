# Run by CPack once the components are installed into its staging directory, before it packages
# them: the tools' run path, which leads from bin/ to the libraries of an install into any prefix,
# is removed from the packaged copies. Under /usr the loader finds the libraries in the multiarch
# directory by itself, and a run path there would outrank the system's choice.
file(GLOB _tools
    "${CPACK_TEMPORARY_DIRECTORY}/*${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*"
    "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
foreach(_tool IN LISTS _tools)
    file(RPATH_REMOVE FILE "${_tool}")
endforeach()
