# Info.plist for each deliverable, from one template, so that the application and the
# extension read the same mach service name from the extension's Info.plist.
#
#   kiv_info_plist(<executable target> KIND application|extension|helper)
#
# writes Info.plist next to the target's binary ($<TARGET_FILE_DIR>), which is the
# folder Bundle::main() reads. Two targets that share an output folder cannot both
# have one.

set(KIV_INFO_PLIST_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/Info.plist.in CACHE INTERNAL "")
set(KIV_BUNDLE_SHORT_VERSION "2.0.3" CACHE STRING "CFBundleShortVersionString of every deliverable")
set(KIV_BUNDLE_VERSION "1" CACHE STRING "CFBundleVersion of every deliverable")
set(KIV_EXTENSION_MACH_SERVICE "com.kiv.veltrax.KIVDNSProxy" CACHE STRING
    "Mach service on which the DNS-proxy extension listens for the application")

function(kiv_info_plist target)
  cmake_parse_arguments(ARG "" "KIND" "" ${ARGN})
  set(KIV_PLIST_EXTRA "")
  if(ARG_KIND STREQUAL "application")
    set(KIV_PLIST_IDENTIFIER "com.kiv.veltrix")
    set(KIV_PLIST_NAME "BrannockCloud")
    set(KIV_PLIST_DISPLAY_NAME "Brannock Cloud")
  elseif(ARG_KIND STREQUAL "extension")
    set(KIV_PLIST_IDENTIFIER "com.kiv.veltrax.KIVDNSProxy")
    set(KIV_PLIST_NAME "KIVDNSProxy")
    set(KIV_PLIST_DISPLAY_NAME "KIVDNSProxy")
    set(KIV_PLIST_EXTRA ",\n  \"NetworkExtension\": {\n    \"NEMachServiceName\": \"${KIV_EXTENSION_MACH_SERVICE}\"\n  }")
  elseif(ARG_KIND STREQUAL "helper")
    set(KIV_PLIST_IDENTIFIER "com.veltrix.kivHelper")
    set(KIV_PLIST_NAME "com.veltrix.kivHelper")
    set(KIV_PLIST_DISPLAY_NAME "com.veltrix.kivHelper")
  else()
    message(FATAL_ERROR "kiv_info_plist(${target}): KIND must be application, extension or helper")
  endif()
  set(KIV_PLIST_EXECUTABLE "$<TARGET_FILE_NAME:${target}>")
  set(configured ${CMAKE_CURRENT_BINARY_DIR}/${target}.Info.plist.in)
  configure_file(${KIV_INFO_PLIST_TEMPLATE} ${configured} @ONLY)
  file(GENERATE OUTPUT $<TARGET_FILE_DIR:${target}>/Info.plist INPUT ${configured})
endfunction()
