# The reliability area's additions to its test program: the fuzzers' checks, so that their
# committed corpora (the seeds, and every input that once failed a check) replay in the normal
# suite; the group walk they check is the pane's own.
target_sources(reliability_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/tests/fuzz/Properties.cpp
  ${CMAKE_SOURCE_DIR}/tests/fuzz/GroupWalkProperty.cpp
  ${CMAKE_SOURCE_DIR}/tests/fuzz/ConfinementProperty.cpp
  ${CMAKE_SOURCE_DIR}/dunmereprefs/DNMURootListController.cpp
  $<TARGET_OBJECTS:libroot_dyn>)
target_link_libraries(reliability_tests PRIVATE utf8cpp)
target_compile_definitions(reliability_tests PRIVATE
  HARBRITE_FUZZ_CORPORA="${CMAKE_SOURCE_DIR}/tests/fuzz/corpus")

# The one-time loads and the kept device root under contention: a program of its own, labelled
# tsan as well, so that the tsan preset (ThreadSanitizer) builds and runs it alone.
add_executable(reliability_tsan_tests ${CMAKE_CURRENT_LIST_DIR}/tsan/OneTimeLoadsTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tsan/KeptRootTest.cpp)
target_link_libraries(reliability_tsan_tests PRIVATE harbrite_test_support GTest::gtest_main)
add_dependencies(reliability_tsan_tests Harbrite libroot_full BackBoardServices libroot_dyn_probe)
target_compile_definitions(reliability_tsan_tests PRIVATE
  HARBRITE_LIBROOT_DYN_PROBE="$<TARGET_FILE:libroot_dyn_probe>")
add_test(NAME reliability.one_time_loads COMMAND reliability_tsan_tests
  --gtest_filter=OneTimeLoads.*)
add_test(NAME reliability.kept_root COMMAND reliability_tsan_tests --gtest_filter=KeptRoot.*)
set_tests_properties(reliability.one_time_loads reliability.kept_root PROPERTIES
  LABELS "reliability;tsan")
