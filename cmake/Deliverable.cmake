# How both deliverables are linked: only the names in their export list are visible, each binds
# its own calls to its own functions, and both carry the same four run-paths (DT_RUNPATH),
# searched in order. CMake writes the run-paths to the link line itself, quoted so that no
# shell expands $ORIGIN; every other option reaches the linker through LINKER:, which g++ and
# clang++ both pass on untouched.
set(HARBRITE_RUNPATHS
  "/var/jb/Library/Frameworks" "/var/jb/usr/lib"
  "$ORIGIN/.jbroot/Library/Frameworks" "$ORIGIN/.jbroot/usr/lib")

function(harbrite_deliverable target exports_map)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "${HARBRITE_RUNPATHS}"
    LINK_DEPENDS ${exports_map})
  target_compile_options(${target} PRIVATE -fno-semantic-interposition)
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${exports_map}"
    "LINKER:-Bsymbolic"
    "LINKER:-z,defs"
    "LINKER:--enable-new-dtags")
endfunction()

# The compile options every object of a deliverable shares: hidden unless exported, and calls
# bound to the library's own functions.
function(harbrite_deliverable_objects target)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${target} PRIVATE -fno-semantic-interposition)
endfunction()

# Links the deliverable's objects a second time, as <target>_host_alone, against a library that
# defines host/'s functions and nothing else (tests/layers/HostStub.cpp), with every symbol
# required to resolve: a call past host/ (into the simulator, by a declaration written by hand)
# fails the build, as it would for the device.
function(harbrite_links_host_alone target exports_map)
  if(NOT TARGET harbrite_host_stub)
    add_library(harbrite_host_stub SHARED ${CMAKE_SOURCE_DIR}/tests/layers/HostStub.cpp
      $<TARGET_OBJECTS:host_values>)
    harbrite_sees(harbrite_host_stub)
    set_target_properties(harbrite_host_stub PROPERTIES LIBRARY_OUTPUT_DIRECTORY
      ${CMAKE_BINARY_DIR}/host-alone)
  endif()
  get_target_property(sources ${target} SOURCES)
  add_library(${target}_host_alone SHARED ${sources})
  set_target_properties(${target}_host_alone PROPERTIES LIBRARY_OUTPUT_DIRECTORY
    ${CMAKE_BINARY_DIR}/host-alone)
  target_link_libraries(${target}_host_alone PRIVATE harbrite_host_stub)
  harbrite_deliverable(${target}_host_alone ${exports_map})
endfunction()
