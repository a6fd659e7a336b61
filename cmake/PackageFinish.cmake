# Run by CPack after it built the packages (CPACK_PACKAGE_FILES, in its staging directory, which
# it copies out afterwards): what CPack 3.25 leaves undone, each package unpacked and built again
# by dpkg-deb, owned by root as CPack's was.
# - Multi-Arch: same for each package named in CPACK_ZVPLD_MULTIARCH_SAME and its -dbgsym: CPack
#   writes no Multi-Arch field.
# - A -dbgsym package's md5sums name its files by their paths in the package (CPack writes its
#   staging paths), and its documentation directory is a link to its package's, as Debian's own
#   -dbgsym packages have it, for the copyright and the changelog. Its .debug files are data,
#   mode 0644 as dh_strip leaves them (CPack keeps the stripped executable's mode).
# - The postinst and postrm that CPack writes to call ldconfig go where an ldconfig trigger does
#   that (CPACK_DEBIAN_*_PACKAGE_CONTROL_EXTRA): Debian's policy wants the trigger alone.
foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
    execute_process(COMMAND dpkg-deb --field "${_deb}" Package
        OUTPUT_VARIABLE _package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "-dbgsym$" "" _parent "${_package}")
    set(_tree "${_deb}.tree")
    file(REMOVE_RECURSE "${_tree}")
    execute_process(COMMAND dpkg-deb --raw-extract "${_deb}" "${_tree}" COMMAND_ERROR_IS_FATAL ANY)
    file(READ "${_tree}/DEBIAN/control" _control)
    if(_parent IN_LIST CPACK_ZVPLD_MULTIARCH_SAME AND NOT _control MATCHES "\nMulti-Arch:")
        string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: same\n" _control
            "${_control}")
        file(WRITE "${_tree}/DEBIAN/control" "${_control}")
    endif()
    if(NOT _parent STREQUAL _package)
        file(MAKE_DIRECTORY "${_tree}/usr/share/doc")
        file(CREATE_LINK "${_parent}" "${_tree}/usr/share/doc/${_package}" SYMBOLIC)
        file(GLOB_RECURSE _files LIST_DIRECTORIES false RELATIVE "${_tree}" "${_tree}/usr/*")
        list(SORT _files)
        set(_sums "")
        foreach(_file IN LISTS _files)
            if(_file MATCHES "\\.debug$" AND NOT IS_SYMLINK "${_tree}/${_file}")
                file(CHMOD "${_tree}/${_file}"
                    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
            endif()
            if(NOT IS_SYMLINK "${_tree}/${_file}")
                file(MD5 "${_tree}/${_file}" _md5)
                string(APPEND _sums "${_md5}  ${_file}\n")
            endif()
        endforeach()
        file(WRITE "${_tree}/DEBIAN/md5sums" "${_sums}")
    endif()
    if(EXISTS "${_tree}/DEBIAN/triggers")
        foreach(_script postinst postrm)
            if(EXISTS "${_tree}/DEBIAN/${_script}")
                file(READ "${_tree}/DEBIAN/${_script}" _text)
                if(_text MATCHES "\n\tldconfig\n" AND NOT _text MATCHES "\n\t[^l\n][^\n]*\n")
                    file(REMOVE "${_tree}/DEBIAN/${_script}")
                endif()
            endif()
        endforeach()
    endif()
    execute_process(COMMAND dpkg-deb --root-owner-group --build "${_tree}" "${_deb}"
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${_tree}")
endforeach()
