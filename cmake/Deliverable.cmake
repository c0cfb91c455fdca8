# How both deliverables are linked: only the names in their export list are visible, each binds
# its own calls to its own functions, and both carry the same four run-paths, searched in order.
# The run-paths go to the linker through a response file, so that no shell expands $ORIGIN.
set(HARBRITE_RUNPATHS
  "/var/jb/Library/Frameworks:/var/jb/usr/lib:$ORIGIN/.jbroot/Library/Frameworks:$ORIGIN/.jbroot/usr/lib")
file(WRITE ${CMAKE_BINARY_DIR}/deliverable-runpaths.rsp "-rpath=${HARBRITE_RUNPATHS}\n--enable-new-dtags\n")

function(harbrite_deliverable target exports_map)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    SKIP_BUILD_RPATH ON
    LINK_DEPENDS ${exports_map})
  target_compile_options(${target} PRIVATE -fno-semantic-interposition)
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${exports_map}"
    "LINKER:-Bsymbolic"
    "LINKER:-z,defs"
    "LINKER:@${CMAKE_BINARY_DIR}/deliverable-runpaths.rsp")
endfunction()
