# The device build: the engine (Harbrite.dylib, loaded into SpringBoard by the hooking
# framework) and the pane (dunmereprefs.bundle, loaded by the Settings app through
# PreferenceLoader), from the same sources as the Linux build, over hostios/ instead of
# hostsim/. Only the deliverables: the simulator, the tools and the tests are Linux programs.
include(cmake/Layers.cmake)

set(HARBRITE_PAYLOAD_DIR ${CMAKE_BINARY_DIR}/payload)
set(HARBRITE_STUBS ${CMAKE_SOURCE_DIR}/hostios/stubs)
# Where each deliverable lives on a rootless device.
set(HARBRITE_ENGINE_INSTALL_NAME /var/jb/Library/MobileSubstrate/DynamicLibraries/Harbrite.dylib)
set(HARBRITE_PANE_INSTALL_NAME
  /var/jb/Library/PreferenceBundles/dunmereprefs.bundle/dunmereprefs)
# The run-paths the hooking framework and AltList are found through: the rootless prefix, and
# the jbroot link beside the library for jailbreaks that randomise the prefix.
set(HARBRITE_DEVICE_RUNPATHS
  /var/jb/Library/Frameworks /var/jb/usr/lib
  @loader_path/.jbroot/Library/Frameworks @loader_path/.jbroot/usr/lib)

# libc++ re-exports libc++abi by its install name: the linker finds that stub under a root of
# our own, as it would find the library in an SDK.
set(HARBRITE_STUB_ROOT ${CMAKE_BINARY_DIR}/stub-root)
file(MAKE_DIRECTORY ${HARBRITE_STUB_ROOT}/usr/lib)
configure_file(${HARBRITE_STUBS}/libc++abi.tbd ${HARBRITE_STUB_ROOT}/usr/lib/libc++abi.tbd
  COPYONLY)

# The exported names of a Linux version script, as ld64's exported-symbols list (C names carry
# a leading underscore in Mach-O).
function(harbrite_exported_symbols exports_map out)
  file(STRINGS ${exports_map} lines)
  set(names "")
  set(global OFF)
  foreach(line ${lines})
    if(line MATCHES "global:")
      set(global ON)
    elseif(line MATCHES "local:")
      set(global OFF)
    elseif(global AND line MATCHES "^[ \t]*([A-Za-z_][A-Za-z0-9_]*);")
      string(APPEND names "_${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  file(WRITE ${out} "${names}")
endfunction()

add_library(host_ios OBJECT
  hostios/Runtime.cpp hostios/Foundation.cpp hostios/Files.cpp hostios/TextFile.cpp
  hostios/PropertyListFile.cpp hostios/Services.cpp host/PropertyList.cpp host/FileStatus.cpp)
harbrite_sees(host_ios hostios)
target_include_directories(host_ios SYSTEM PRIVATE /usr/include/utf8cpp)

add_library(harbrite_device_support OBJECT
  libroot_dyn/libroot_dyn.cpp
  dunmereprefs/Shared/PreferencesMigration.cpp dunmereprefs/Shared/PreferencesFile.cpp
  dunmereprefs/Shared/PreferenceValues.cpp dunmereprefs/Shared/FeatureStateLines.cpp)
harbrite_sees(harbrite_device_support libroot_dyn dunmereprefs/Shared)

add_library(harbrite_device_engine OBJECT
  Tweak/Tweak.cpp Tweak/FrontDisplay.cpp Tweak/VPNSwitch.cpp Tweak/FeatureStateFile.cpp
  Tweak/PersistMode.cpp Tweak/EnabledAppsEnforcement.cpp)
harbrite_sees(harbrite_device_engine Tweak libroot_dyn dunmereprefs/Shared)
target_include_directories(harbrite_device_engine SYSTEM PRIVATE /usr/include/utf8cpp)

add_library(harbrite_device_pane OBJECT
  dunmereprefs/PaneClasses.cpp dunmereprefs/DNMURootListController.cpp
  dunmereprefs/DNMRootListController.cpp dunmereprefs/VPNStateReset.cpp)
harbrite_sees(harbrite_device_pane libroot_dyn dunmereprefs)

foreach(objects host_ios harbrite_device_support harbrite_device_engine harbrite_device_pane)
  set_target_properties(${objects} PROPERTIES CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endforeach()

# Links a deliverable against the stubs of the libraries it may load, exporting only its export
# list, with the rootless run-paths and an ad-hoc signature (the toolchain's -adhoc_codesign).
function(harbrite_device_link target exports_map install_name)
  harbrite_exported_symbols(${exports_map} ${CMAKE_BINARY_DIR}/${target}.exports)
  set(libraries libSystem.B libobjc.A CoreFoundation Foundation CydiaSubstrate libc++ ${ARGN})
  foreach(library ${libraries})
    target_link_libraries(${target} PRIVATE ${HARBRITE_STUBS}/${library}.tbd)
  endforeach()
  set(runpaths "")
  foreach(path ${HARBRITE_DEVICE_RUNPATHS})
    list(APPEND runpaths "LINKER:-rpath,${path}")
  endforeach()
  target_link_options(${target} PRIVATE
    "LINKER:-exported_symbols_list,${CMAKE_BINARY_DIR}/${target}.exports"
    "LINKER:-syslibroot,${HARBRITE_STUB_ROOT}"
    "LINKER:-install_name,${install_name}"
    "LINKER:-dead_strip"
    ${runpaths})
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${exports_map})
endfunction()

add_library(Harbrite SHARED
  $<TARGET_OBJECTS:harbrite_device_engine> $<TARGET_OBJECTS:harbrite_device_support>
  $<TARGET_OBJECTS:host_ios>)
set_target_properties(Harbrite PROPERTIES PREFIX "" SUFFIX ".dylib" OUTPUT_NAME Harbrite
  LIBRARY_OUTPUT_DIRECTORY ${HARBRITE_PAYLOAD_DIR})
harbrite_device_link(Harbrite ${CMAKE_SOURCE_DIR}/Tweak/exports.map
  ${HARBRITE_ENGINE_INSTALL_NAME})

# The pane is a Mach-O bundle (MH_BUNDLE), as the Settings app loads it; it also links the
# Preferences framework and AltList, whose cells its specifier plists name.
set(HARBRITE_PANE_BUNDLE ${HARBRITE_PAYLOAD_DIR}/dunmereprefs.bundle)
add_library(dunmereprefs MODULE
  $<TARGET_OBJECTS:harbrite_device_pane> $<TARGET_OBJECTS:harbrite_device_support>
  $<TARGET_OBJECTS:host_ios>)
set_target_properties(dunmereprefs PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME dunmereprefs
  LIBRARY_OUTPUT_DIRECTORY ${HARBRITE_PANE_BUNDLE})
harbrite_device_link(dunmereprefs ${CMAKE_SOURCE_DIR}/dunmereprefs/exports.map
  ${HARBRITE_PANE_INSTALL_NAME} Preferences AltList)

# The bundle's resources: Info.plist carries the project's version, Root.plist as it is.
file(READ ${CMAKE_SOURCE_DIR}/dunmereprefs/Resources/Info.plist info)
string(REGEX REPLACE "(<key>CFBundleShortVersionString</key>[ \t\r\n]*<string>)[^<]*"
  "\\1${PROJECT_VERSION}" info "${info}")
string(REGEX REPLACE "(<key>CFBundleVersion</key>[ \t\r\n]*<string>)[^<]*"
  "\\1${PROJECT_VERSION}" info "${info}")
file(WRITE ${HARBRITE_PANE_BUNDLE}/Info.plist "${info}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/dunmereprefs/Resources/Info.plist)
configure_file(dunmereprefs/Resources/Root.plist ${HARBRITE_PANE_BUNDLE}/Root.plist COPYONLY)
configure_file(cmake/device/entry.plist ${HARBRITE_PAYLOAD_DIR}/PreferenceLoader/dunmereprefs.plist
  COPYONLY)
configure_file(cmake/device/Harbrite.plist ${HARBRITE_PAYLOAD_DIR}/Harbrite.plist COPYONLY)
configure_file(cmake/device/control.in ${HARBRITE_PAYLOAD_DIR}/control @ONLY)
