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
