# The layers of the tree, held by the build. Sources name headers by their path from the top of
# the tree ("host/Platform.h"). The simulated platform, the tools, the tests and the benchmarks
# may include from anywhere: they link harbrite_whole_tree. The system's own code (the engine,
# the pane, libroot_dyn and the support both deliverables share) runs on a device, where
# hostsim/ and tools/ do not exist: each of its targets includes only from a folder of its own
# in the build tree that holds links to the source folders it may use, so a
# `#include "hostsim/..."` there does not compile. The test layers.* checks that.

add_library(harbrite_whole_tree INTERFACE)
target_include_directories(harbrite_whole_tree INTERFACE ${CMAKE_SOURCE_DIR})

# harbrite_sees(<target> <folder>...): <target> includes only from host/ and the named folders
# (paths from the top of the tree, such as dunmereprefs/Shared).
function(harbrite_sees target)
  set(view ${CMAKE_BINARY_DIR}/layers/${target})
  # Links left by an earlier configure go first, so a folder dropped from the list is no
  # longer seen. Only the links are removed, never what they point to.
  file(GLOB_RECURSE old LIST_DIRECTORIES true ${view}/*)
  foreach(item ${old})
    if(IS_SYMLINK ${item})
      file(REMOVE ${item})
    endif()
  endforeach()
  foreach(folder host ${ARGN})
    if(NOT IS_DIRECTORY ${CMAKE_SOURCE_DIR}/${folder})
      message(FATAL_ERROR "harbrite_sees(${target}): there is no folder ${folder}")
    endif()
    get_filename_component(parent ${view}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PRIVATE ${view})
endfunction()

# A deliverable links the simulated platform as it links the platform's frameworks on a device:
# for its symbols only, taking none of its include folders.
function(harbrite_links_platform target)
  target_link_libraries(${target} PRIVATE $<LINK_ONLY:hostsim>)
endfunction()
