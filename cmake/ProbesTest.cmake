# probes_unit_test(<name> SOURCES <files...> LIBS <targets...>)
# Builds a GoogleTest binary linked against the given static libraries and
# registers each of its test cases with CTest. Call it only when BUILD_TESTING is on.
# The options of every test driver. Tests build their messages with "text" + std::string(...),
# where GCC 12 gives its false -Wrestrict warning (see PROBES_NO_RESTRICT_WARNING). The code
# under test comes optimised from its libraries and programs; the test drivers are built without
# optimisation in every build type, which takes 40% off their compile time (the largest part of
# the build).
function(probes_test_options target)
  target_link_libraries(${target} PRIVATE GTest::gtest GTest::gmock)
  target_compile_options(${target} PRIVATE ${PROBES_NO_RESTRICT_WARNING} -O0)
endfunction()

function(probes_unit_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  probes_test_options(${name})
  # Every driver reads the test framework's header from one precompiled copy, made once per
  # build with the same options: parsing it took a second per test source.
  if(NOT TARGET probes_test_pch)
    file(WRITE ${CMAKE_BINARY_DIR}/probes_test_pch.cpp "")
    add_library(probes_test_pch OBJECT ${CMAKE_BINARY_DIR}/probes_test_pch.cpp)
    probes_test_options(probes_test_pch)
    target_precompile_headers(probes_test_pch PRIVATE <gtest/gtest.h> <string> <vector>)
  endif()
  target_precompile_headers(${name} REUSE_FROM probes_test_pch)
  foreach(source ${T_SOURCES})
    if(source MATCHES "\\.c$")
      set_source_files_properties(${source} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
    endif()
  endforeach()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # gtest_discover_tests passes properties on as one flat list, so each test gets one
  # label: the folder's own, or "unit".
  set(label unit)
  if(T_LABELS)
    list(GET T_LABELS 0 label)
  endif()
  # RV_MODULE_DIR: the RV library (and every program the test starts) loads its backend
  # modules from the build tree.
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS ${label}
               ENVIRONMENT RV_MODULE_DIR=${RV_MODULE_BUILD_DIR})
endfunction()

# probes_fuzz_target(<name> SOURCES <files...> LIBS <targets...>)
# With PROBES_FUZZ, builds a libFuzzer binary from the given sources (the harness and the
# sources under test, so that the fuzzer sees their branches) linked against the libraries;
# without it, does nothing.
function(probes_fuzz_target name)
  if(NOT PROBES_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
endfunction()
