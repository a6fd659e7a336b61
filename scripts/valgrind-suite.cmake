# Runs a built host tree's tests under valgrind's memcheck and fails on any memory error and on any
# block definitely, indirectly or possibly lost:
#   ctest -DZVPLD_BUILD_DIR=build/host -S scripts/valgrind-suite.cmake
# Blocks still reachable at exit are allowed: they are objects kept for the life of the process on
# purpose, still pointed to (the proxy's two process-wide mutexes, the simulated engine's list of
# running deliveries, GoogleMock's registry, the dynamic loader's records).
cmake_minimum_required(VERSION 3.25)

if(NOT ZVPLD_BUILD_DIR)
    set(ZVPLD_BUILD_DIR build/host)
endif()
get_filename_component(CTEST_SOURCE_DIRECTORY "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
get_filename_component(CTEST_BINARY_DIRECTORY "${ZVPLD_BUILD_DIR}" ABSOLUTE
                       BASE_DIR "${CTEST_SOURCE_DIRECTORY}")
if(NOT EXISTS "${CTEST_BINARY_DIRECTORY}/CTestTestfile.cmake")
    message(FATAL_ERROR "No tests in ${CTEST_BINARY_DIRECTORY}: build the host tree first")
endif()

find_program(CTEST_MEMORYCHECK_COMMAND valgrind REQUIRED)
set(CTEST_MEMORYCHECK_TYPE Valgrind)
# A test with an error exits 99 and fails; the children a test starts (the daemon, pldctl) run
# without valgrind, and a forked child does not report on the parent's behalf.
set(CTEST_MEMORYCHECK_COMMAND_OPTIONS
    "--tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
--errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 --num-callers=40 \
--child-silent-after-fork=yes -q")

# Valgrind runs some 50 times slower: the stress tests send fewer notifications.
set(ENV{ZVPLD_STRESS_PER_KIND} 50000)

# Not run under memcheck:
# - the failure-injection tests (label fault): the test executable defines malloc and the
#   pthread mutex calls itself, which valgrind replaces;
# - the browser tests (label browser) and the Python and Node clients' suites (label clients):
#   Chromium, Python and Node, none of this project's code in them;
# - abi.*, Install.* and Package.*: they run nm, readelf, cmake, cpack and lintian on the built
#   files, not the library;
# - the forked child of a traced process: its copy of the trace writer's start block is referred
#   to only by the writer thread, which the child does not have, so memcheck counts it lost there
#   and fails the child's exit.
set(_exclude "^abi\\.|^Install\\.|^Package\\.|AForkedChildExitsWithoutTheTrace")

file(GLOB _old "${CTEST_BINARY_DIRECTORY}/Testing/Temporary/MemoryChecker.*.log")
if(_old)
    file(REMOVE ${_old})
endif()
ctest_start(Experimental QUIET)
ctest_memcheck(EXCLUDE "${_exclude}" EXCLUDE_LABEL "browser|fault|clients" PARALLEL_LEVEL 2
               RETURN_VALUE _failed DEFECT_COUNT _defects)

# valgrind writes what it finds to one log per test; show the ones that say anything.
file(GLOB _logs "${CTEST_BINARY_DIRECTORY}/Testing/Temporary/MemoryChecker.*.log")
foreach(_log IN LISTS _logs)
    file(READ "${_log}" _text)
    if(_text MATCHES "[^ \n]")
        message("---- ${_log}\n${_text}")
    endif()
endforeach()

if(NOT _failed EQUAL 0 OR _defects GREATER 0)
    message(FATAL_ERROR "memcheck: failed tests or ${_defects} defects (logs above)")
endif()
