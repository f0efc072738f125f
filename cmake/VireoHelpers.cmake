# Helpers shared by every library of the kit: one way to declare a library, a test suite
# and a benchmark, so flags, export macros, versions and install rules stay the same.
include_guard(GLOBAL)
include(GenerateExportHeader)

set(VIREO_GENERATED_INCLUDE_DIR ${CMAKE_BINARY_DIR}/generated/include)

# Warnings are errors in our own code only; third-party headers come in as system headers.
function(vireo_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
                         -Wnull-dereference -Wimplicit-fallthrough -Werror)
endfunction()

# vireo_add_library(<target> SOURCES ... [PUBLIC_LINK ...] [PRIVATE_LINK ...]
#                   [PUBLIC_PACKAGES ...])
# Declares a shared library Vireo::<target> with headers in include/, private code in src/,
# hidden visibility and an export header vireo/<target lower case>_export.h that defines
# <TARGET>_EXPORT. PUBLIC_PACKAGES names the find_package() packages a consumer needs
# because they appear in the public interface (written into the installed package config).
function(vireo_add_library target)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LINK;PRIVATE_LINK;PUBLIC_PACKAGES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  add_library(Vireo::${target} ALIAS ${target})
  string(TOLOWER ${target} lower)
  string(TOUPPER ${target} upper)
  generate_export_header(${target}
    BASE_NAME ${upper}
    EXPORT_FILE_NAME ${VIREO_GENERATED_INCLUDE_DIR}/vireo/${lower}_export.h)
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
           $<BUILD_INTERFACE:${VIREO_GENERATED_INCLUDE_DIR}>
           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LINK} PRIVATE ${ARG_PRIVATE_LINK})
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    OUTPUT_NAME vireo_${lower}
    EXPORT_NAME ${target})
  vireo_target_warnings(${target})
  set_property(GLOBAL APPEND PROPERTY VIREO_INSTALL_TARGETS ${target})
  set_property(GLOBAL APPEND PROPERTY VIREO_PUBLIC_PACKAGES ${ARG_PUBLIC_PACKAGES})
  set_property(GLOBAL APPEND PROPERTY VIREO_INCLUDE_DIRS ${CMAKE_CURRENT_SOURCE_DIR}/include)
endfunction()

# vireo_add_test(<executable> SOURCES ... [LINK ...] [THREADED] [THREADED_SUITES <suite>...]
#                [MOUNTED_CASES <gtest pattern>...])
# A GoogleTest suite registered with CTest. Tests find the shared sample data through the
# VIREO_SHARED_DATA_DIR definition and write scratch files under the build tree.
# Test cases that run threads carry the CTest label `threaded`, so that `ctest -L threaded`
# runs just them (the ThreadSanitizer stage does): THREADED labels every case of the
# executable, THREADED_SUITES only the cases of the GoogleTest suites named. MOUNTED_CASES
# are left out: they need the fault mounts and are run by an entry of their own through
# tests/support/with_fault_mounts.sh.
function(vireo_add_test target)
  if(NOT VIREO_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "THREADED" "" "SOURCES;LINK;THREADED_SUITES;MOUNTED_CASES" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LINK} VireoTestSupport GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${target} PRIVATE
    VIREO_SHARED_DATA_DIR="${VIREO_SHARED_DATA_DIR}"
    VIREO_TEST_SCRATCH_DIR="${CMAKE_BINARY_DIR}/test-scratch")
  vireo_target_warnings(${target})
  set(test_environment "")
  set(test_timeout 300)
  if(VIREO_SANITIZER STREQUAL "address")
    # Leaks inside third-party libraries (the H.264 encoder keeps a few bytes) are not ours.
    set(test_environment ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp")
  elseif(VIREO_SANITIZER STREQUAL "thread")
    # A report fails the test through TSan's exit code; only third-party code is suppressed.
    set(test_environment ENVIRONMENT
        "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan.supp second_deadlock_stack=1")
    # The code runs many times slower there; the tests' own waits stretch to match.
    set(test_timeout 900)
  endif()
  set(discovery WORKING_DIRECTORY ${CMAKE_BINARY_DIR} DISCOVERY_TIMEOUT 60)
  # Cases that need the fault mounts run only inside their wrapper entry, never on their own
  # (where they could do nothing but skip).
  set(mounted_filter "")
  if(ARG_MOUNTED_CASES)
    list(JOIN ARG_MOUNTED_CASES ":" mounted_filter)
  endif()
  if(ARG_THREADED_SUITES)
    # The two filters split the cases between them, so every case is registered once.
    list(TRANSFORM ARG_THREADED_SUITES APPEND ".*")
    list(JOIN ARG_THREADED_SUITES ":" threaded_filter)
    set(threaded_only "${threaded_filter}")
    set(unthreaded_only "-${threaded_filter}")
    if(mounted_filter)
      string(APPEND threaded_only "-${mounted_filter}")
      string(APPEND unthreaded_only ":${mounted_filter}")
    endif()
    gtest_discover_tests(${target} ${discovery} TEST_FILTER "${threaded_only}"
      PROPERTIES TIMEOUT ${test_timeout} LABELS threaded ${test_environment})
    gtest_discover_tests(${target} ${discovery} TEST_FILTER "${unthreaded_only}"
      PROPERTIES TIMEOUT ${test_timeout} ${test_environment})
  else()
    set(filter "")
    if(mounted_filter)
      set(filter TEST_FILTER "-${mounted_filter}")
    endif()
    set(labels "")
    if(ARG_THREADED)
      set(labels LABELS threaded)
    endif()
    gtest_discover_tests(${target} ${discovery} ${filter}
      PROPERTIES TIMEOUT ${test_timeout} ${labels} ${test_environment})
  endif()
endfunction()
