# Debian packages of the install components (cpack -G DEB, or make package): the shared library
# split as Debian splits one, the stand-ins for the device's components split the same way, and
# the tools, each with its debug symbols in a -dbgsym package. The version is the project's
# (CMakeLists.txt): docs/packaging.md says how a change moves it.

set(ZVPLD_LIB_PACKAGE libzvpldproxy${PROJECT_VERSION_MAJOR})
set(ZVPLD_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(ZVPLD_DEB_DIR ${PROJECT_BINARY_DIR}/deb)

# The device's components, by the package names the library depends on; off the device the
# stand-ins' package provides them.
set(ZVPLD_DEVICE_COMPONENTS libzvpldmsgclient libzvlinuxmutex libdlog)

# Debian's architecture of the build's target.
if(CMAKE_CROSSCOMPILING)
    set(_arch_of_powerpc powerpc)
    set(_arch_of_aarch64 arm64)
    set(_arch_of_arm armhf)
    set(ZVPLD_DEB_ARCH ${_arch_of_${CMAKE_SYSTEM_PROCESSOR}})
    if(NOT ZVPLD_DEB_ARCH)
        set(ZVPLD_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
    endif()
else()
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE ZVPLD_DEB_ARCH
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

# Each package's documentation directory holds the copyright and the changelog. Its date is that
# of the commit that last moved the version (or SOURCE_DATE_EPOCH's), not the configure time's nor
# the last commit's: a Multi-Arch: same package of each architecture holds the same file, or the
# two cannot be installed together, though each was built from another commit of one version.
# scripts/package-python dates its package's the same way.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
        "-Gproject\\(ZvPldProxy VERSION" -- CMakeLists.txt
        OUTPUT_VARIABLE _epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT _epoch)
        execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
            OUTPUT_VARIABLE _epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT _epoch)
        set(_epoch 0)
    endif()
    set(ENV{SOURCE_DATE_EPOCH} ${_epoch})
    string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
    unset(ENV{SOURCE_DATE_EPOCH})
else()
    string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
file(CONFIGURE OUTPUT ${ZVPLD_DEB_DIR}/changelog CONTENT
"zvpld (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION} of libZvPldProxy and its tools.

 -- ZvPld developers <zvpld@users.noreply.c-seed-813d4cc5.example>  ${_date}
")
execute_process(COMMAND gzip -9nc ${ZVPLD_DEB_DIR}/changelog
    OUTPUT_FILE ${ZVPLD_DEB_DIR}/changelog.gz)

# package: component, section, summary, description (one paragraph), lintian overrides
set(ZVPLD_PACKAGES ${ZVPLD_LIB_PACKAGE} libzvpldproxy-dev zvpld-sim zvpld-sim-dev zvpld-tools)
set(_component_${ZVPLD_LIB_PACKAGE} lib)
set(_component_libzvpldproxy-dev dev)
set(_component_zvpld-sim sim)
set(_component_zvpld-sim-dev simdev)
set(_component_zvpld-tools tools)
foreach(package IN LISTS ZVPLD_PACKAGES)
    set(component ${_component_${package}})
    install(FILES ${ZVPLD_PACKAGING_DIR}/copyright ${ZVPLD_DEB_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component}
        EXCLUDE_FROM_ALL)
    if(EXISTS ${ZVPLD_PACKAGING_DIR}/${package}.lintian-overrides)
        install(FILES ${ZVPLD_PACKAGING_DIR}/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
    endif()
endforeach()

# The library's symbols file, from the list of its exports.
add_custom_command(OUTPUT ${ZVPLD_DEB_DIR}/symbols
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:ZvPldProxy>
        -DLIST=${PROJECT_SOURCE_DIR}/abi/libZvPldProxy.symbols
        -DSINCE=${PROJECT_SOURCE_DIR}/abi/libZvPldProxy.since
        -DSONAME=$<TARGET_SONAME_FILE_NAME:ZvPldProxy> -DPACKAGE=${ZVPLD_LIB_PACKAGE}
        -DDEV_PACKAGE=libzvpldproxy-dev -DFIRST=${PROJECT_VERSION_MAJOR}.0.0
        -DOUTPUT=${ZVPLD_DEB_DIR}/symbols -P ${PROJECT_SOURCE_DIR}/cmake/WriteSymbols.cmake
    DEPENDS ZvPldProxy ${PROJECT_SOURCE_DIR}/abi/libZvPldProxy.symbols
        ${PROJECT_SOURCE_DIR}/abi/libZvPldProxy.since ${PROJECT_SOURCE_DIR}/cmake/WriteSymbols.cmake
    COMMENT "Writing the symbols file of ${ZVPLD_LIB_PACKAGE}")
add_custom_target(zvpld_deb_symbols ALL DEPENDS ${ZVPLD_DEB_DIR}/symbols)
# The shlibs file, for dpkg-shlibdeps where no symbols file answers. CPack would write it too, but
# with ldconfig calls in maintainer scripts: the packages with libraries run it by trigger.
file(WRITE ${ZVPLD_DEB_DIR}/shlibs
    "libZvPldProxy ${PROJECT_VERSION_MAJOR} ${ZVPLD_LIB_PACKAGE} (>= ${PROJECT_VERSION})\n")
file(WRITE ${ZVPLD_DEB_DIR}/triggers "activate-noawait ldconfig\n")

# The tools' manual pages, written in docs/man/ (roff), compressed as Debian installs them; their
# documents and pld-engined's systemd user units.
set(_manuals "")
foreach(tool IN ITEMS pldctl pld-engined pldweb)
    if(NOT TARGET ${tool})
        continue()
    endif()
    set(page ${ZVPLD_DEB_DIR}/man/${tool}.1.gz)
    add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${ZVPLD_DEB_DIR}/man
        COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/man/${tool}.1 > ${page}
        DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${tool}.1
        COMMENT "Compressing the manual page of ${tool}")
    list(APPEND _manuals ${page})
endforeach()
if(_manuals)
    add_custom_target(zvpld_manuals ALL DEPENDS ${_manuals})
    install(FILES ${_manuals} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()
if(ZVPLD_BUILD_TOOLS)
    # The README and, under docs/ as in the tree so that their links lead somewhere, every
    # document they link to, and those link to (check-package.sh contents follows each link).
    install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zvpld-tools
        COMPONENT tools EXCLUDE_FROM_ALL)
    install(FILES docs/client.md docs/departures.md docs/engine-protocol.md docs/node-client.md
        docs/packaging.md docs/performance.md docs/pldctl.md docs/python-client.md
        docs/security.md docs/simulated-engine.md docs/testing.md docs/threading.md
        docs/trace-format.md docs/web-console.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zvpld-tools/docs COMPONENT tools
        EXCLUDE_FROM_ALL)
    install(DIRECTORY examples/scenarios
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zvpld-tools/examples COMPONENT tools
        EXCLUDE_FROM_ALL)
    install(FILES ${ZVPLD_PACKAGING_DIR}/pld-engined.service ${ZVPLD_PACKAGING_DIR}/pld-engined.socket
        DESTINATION lib/systemd/user COMPONENT tools EXCLUDE_FROM_ALL)
endif()

# What the packages hold, built (make package builds this, not the tests).
add_custom_target(zvpld_package_inputs)
add_dependencies(zvpld_package_inputs ZvPldProxy ZvPldMsgClient ZvLinuxMutex dlog zvpld_deb_symbols)
foreach(target IN ITEMS pldctl pld-engined pldweb zvpld_manuals)
    if(TARGET ${target})
        add_dependencies(zvpld_package_inputs ${target})
    endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zvpld)
set(CPACK_PACKAGE_VENDOR "ZvPld developers")
set(CPACK_PACKAGE_CONTACT "ZvPld developers <zvpld@users.noreply.c-seed-813d4cc5.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPack's value for "none", so that it puts no common synopsis before each package's own.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Each package's ELF files are stripped while packaging, their debug information going to a
# PACKAGE-dbgsym package (.ddeb) by build id, with the target's own binutils for a cross build.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev sim simdev tools)
# The tools and libraries under /usr find the libraries where the system looks: no run path (an
# install into another prefix keeps the one that leads to its lib directory).
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackageNoToolRunPath.cmake)
# The libraries' packages, whose files of one architecture never clash with another's, are
# Multi-Arch: same; what CPack leaves undone is done after it built them.
set(CPACK_ZVPLD_MULTIARCH_SAME ${ZVPLD_LIB_PACKAGE} libzvpldproxy-dev zvpld-sim zvpld-sim-dev)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackageFinish.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZVPLD_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(_runtime "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${ZVPLD_LIB_PACKAGE})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
string(REPLACE ";" ", " _components "${ZVPLD_DEVICE_COMPONENTS}")
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "${_runtime}, ${_components}")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA
    ${ZVPLD_DEB_DIR}/symbols ${ZVPLD_DEB_DIR}/shlibs ${ZVPLD_DEB_DIR}/triggers)
set(CPACK_DEBIAN_LIB_DESCRIPTION "client proxy to the PLD engine
libZvPldProxy gives a client process, such as the device's web front end,
one object through which it reaches the PLD engine: data points, reports,
notifications and active events. It needs the device's engine message
client, mutex wrapper and log library (libzvpldmsgclient, libzvlinuxmutex,
libdlog), which the device's firmware provides. On a workstation the
stand-ins' run-time package, zvpld-sim, provides all three: install it
with this one.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzvpldproxy-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${ZVPLD_LIB_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "client proxy to the PLD engine - development files
The header of libZvPldProxy, its link, its CMake package (find_package
ZvPldProxy) and its pkg-config file (ZvPldProxy). The headers of the device's
components come with their own development files (on a workstation:
zvpld-sim-dev).")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME zvpld-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "${_runtime}")
set(CPACK_DEBIAN_SIM_PACKAGE_PROVIDES "${_components}")
set(CPACK_DEBIAN_SIM_PACKAGE_CONFLICTS "${_components}")
set(CPACK_DEBIAN_SIM_PACKAGE_REPLACES "${_components}")
set(CPACK_DEBIAN_SIM_PACKAGE_CONTROL_EXTRA ${ZVPLD_DEB_DIR}/triggers)
set(CPACK_DEBIAN_SIM_DESCRIPTION "stand-ins for the PLD device's components - not for a device
NOT FOR A DEVICE'S ROOT FILE SYSTEM: it would take the place of the device's
own components. For workstations: the engine message client with a simulated
engine and a client of the engine daemon (unix:PATH), the mutex wrapper and
the log library, under the device's file names, so that libZvPldProxy and
its tools run without the device.")

set(CPACK_DEBIAN_SIMDEV_PACKAGE_NAME zvpld-sim-dev)
set(CPACK_DEBIAN_SIMDEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SIMDEV_PACKAGE_DEPENDS "zvpld-sim (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SIMDEV_DESCRIPTION "stand-ins for the PLD device's components - development files
The headers of the stand-ins for the device's engine message client, mutex
wrapper and log library, under the device's names in /usr/include/zvpld, and
their CMake targets, which find_package(ZvPldProxy) of libzvpldproxy-dev
uses, for building a client of libZvPldProxy on a workstation.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zvpld-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
# The tools hold their own copy of the library (src/CMakeLists.txt): the stand-ins are all they
# need of the project's, so that these two packages make a workstation's install.
set(_tools_depends "${_runtime}, zvpld-sim (= ${PROJECT_VERSION})")
set(_tools_summary "command-line client and engine daemon for the PLD engine")
set(_tools_web "")
if(TARGET pldweb)  # not cross-built: no libmicrohttpd of the target
    string(APPEND _tools_depends ", libmicrohttpd12 (>= 0.9.75)")
    set(_tools_summary "command-line client, engine daemon and web console for the PLD engine")
    set(_tools_web "\npldweb is a web console on libZvPldProxy.")
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${_tools_depends}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "${_tools_summary}
pldctl reads, writes and watches the engine's data points through
libZvPldProxy (built in); pld-engined serves the simulated engine to other
processes on a Unix socket, started by a systemd user socket unit if
enabled.${_tools_web}")

include(CPack)
