# The reliability area's additions to its test program: the fuzzers' checks, so that their
# committed corpora (the seeds, and every input that once failed a check) replay in the normal
# suite; the group walk they check is the pane's own.
if(TARGET reliability_tests)
  target_sources(reliability_tests PRIVATE
    ${CMAKE_SOURCE_DIR}/tests/fuzz/Properties.cpp
    ${CMAKE_SOURCE_DIR}/tests/fuzz/GroupWalkProperty.cpp
    ${CMAKE_SOURCE_DIR}/dunmereprefs/DNMURootListController.cpp
    $<TARGET_OBJECTS:libroot_dyn>)
  target_compile_definitions(reliability_tests PRIVATE
    HARBRITE_FUZZ_CORPORA="${CMAKE_SOURCE_DIR}/tests/fuzz/corpus")
endif()
