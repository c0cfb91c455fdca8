# The settings pane: a bundle folder holding Info.plist, Root.plist and the executable
# `dunmereprefs`, a shared library that the Settings app loads. Its classes reach the Settings
# app through the runtime, registered by name when it loads; it exports only the shared support.
include(${CMAKE_SOURCE_DIR}/cmake/Deliverable.cmake)

set(HARBRITE_PANE_BUNDLE ${HARBRITE_PAYLOAD_DIR}/dunmereprefs.bundle)

add_library(dunmereprefs_pane OBJECT
  PaneClasses.cpp
  DNMURootListController.cpp
  DNMRootListController.cpp
  VPNStateReset.cpp)
harbrite_sees(dunmereprefs_pane libroot_dyn dunmereprefs)
harbrite_deliverable_objects(dunmereprefs_pane)

add_library(dunmereprefs SHARED
  $<TARGET_OBJECTS:dunmereprefs_pane>
  $<TARGET_OBJECTS:libroot_dyn>
  $<TARGET_OBJECTS:harbrite_shared>)
set_target_properties(dunmereprefs PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME dunmereprefs
  LIBRARY_OUTPUT_DIRECTORY ${HARBRITE_PANE_BUNDLE})
harbrite_links_platform(dunmereprefs)
harbrite_deliverable(dunmereprefs ${CMAKE_CURRENT_SOURCE_DIR}/exports.map)
harbrite_links_host_alone(dunmereprefs ${CMAKE_CURRENT_SOURCE_DIR}/exports.map)

# The bundle's resources; a change to either is picked up at the next build.
foreach(resource Info.plist Root.plist)
  configure_file(Resources/${resource} ${HARBRITE_PANE_BUNDLE}/${resource} COPYONLY)
endforeach()
