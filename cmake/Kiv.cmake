# Every folder of the tree is one library. A subfolder with a CMakeLists.txt of its
# own is a library of its own: its sources are left out of the parent's and the
# subfolder is added here.

function(_kiv_sources out)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB_RECURSE sublists CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  foreach(list IN LISTS sublists)
    get_filename_component(subdir ${list} DIRECTORY)
    list(FILTER sources EXCLUDE REGEX "^${subdir}/")
  endforeach()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

# A folder already added as a layer of its own (KIV_LAYERS lists it lower than its parent) is
# not added again.
function(kiv_add_layer dir)
  get_filename_component(full ${dir} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
  add_subdirectory(${full})
  set_property(GLOBAL APPEND PROPERTY KIV_ADDED_DIRS ${full})
endfunction()

function(_kiv_add_children)
  get_property(added GLOBAL PROPERTY KIV_ADDED_DIRS)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt AND NOT child IN_LIST added)
      kiv_add_layer(${child})
    endif()
  endforeach()
endfunction()

# Libraries compile in batches of up to eight sources, each batch one translation unit: the
# headers their sources share (nlohmann/json, Asio, the model) are parsed and their templates
# instantiated once per batch instead of once per source, which halves a library's build. The
# sources of a batch share one scope, so two file-local names alike (in anonymous namespaces)
# collide: rename one, or list the library here to build it source by source.
set(KIV_SEPARATE_SOURCES kiv_platform kiv_dbus kiv_sysext kiv_ipc kiv_dnsproxy kiv_netext)

# Test sources (paths from the repository root) compiled on their own rather than in a batch.
set(KIV_SEPARATE_TEST_SOURCES)

# kiv_library(<target> [DEPS <libs...>] [DEFINES <defs...>] [EXCLUDE <regex...>])
#   A static library of every .cpp below the calling folder except main.cpp files
#   (programs are added by the folder's CMakeLists.txt). Headers are included by
#   their path from the repository root ("dnscodec/DNSMessage.hpp").
function(kiv_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;DEFINES;EXCLUDE" ${ARGN})
  _kiv_sources(sources)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  foreach(pattern IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${pattern}")
  endforeach()
  if(sources)
    add_library(${target} STATIC ${sources})
    if(KIV_UNITY_BUILD AND NOT target IN_LIST KIV_SEPARATE_SOURCES)
      set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
    endif()
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS} Threads::Threads)
    target_compile_definitions(${target} PUBLIC ${ARG_DEFINES})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_DEPS} Threads::Threads)
    target_compile_definitions(${target} INTERFACE ${ARG_DEFINES})
  endif()
  _kiv_add_children()
endfunction()

# kiv_test(<target> [DEPS <libs...>])
#   A GoogleTest program of the .cpp files of the calling test folder (subfolders
#   with a CMakeLists.txt are programs of their own), registered with CTest one test
#   per case so that ctest -j runs them in parallel, each case labelled with the
#   program's name (ctest -L test_platform).
function(kiv_test target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  _kiv_sources(sources)
  if(sources)
    add_executable(${target} ${sources})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${target} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest GTest::gtest_main Threads::Threads)
    target_compile_definitions(${target} PRIVATE
      KIV_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KIV_BINARY_DIR="${PROJECT_BINARY_DIR}")
    # Test programs spend most of their build in gtest's and nlohmann's templates: those headers are
    # parsed once per program, and outside Debug the test code itself is built for debugging rather than
    # speed (the code under test keeps the build type's optimisation, as it lives in the libraries).
    target_precompile_headers(${target} PRIVATE
      <gtest/gtest.h> <nlohmann/json.hpp> <algorithm> <atomic> <chrono> <filesystem> <fstream> <functional>
      <map> <memory> <mutex> <optional> <sstream> <string> <thread> <vector>)
    # Test programs compile in batches too, which is most of a build's saving: a batch parses the
    # code-under-test's headers and instantiates gtest's and gmock's templates once for all its
    # files. The precompiled header above is included at the top of each batch. Files of a batch
    # share one scope: a helper, fixture or suite name must be unique across the program's files
    # (anonymous namespaces included), or the file is listed in KIV_SEPARATE_TEST_SOURCES. Inside
    # namespace kiv, GoogleTest is written ::testing::, as another file's kiv::testing (test support)
    # would be found first.
    if(KIV_UNITY_BUILD)
      set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
      foreach(source IN LISTS sources)
        file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${source})
        if(relative IN_LIST KIV_SEPARATE_TEST_SOURCES)
          set_source_files_properties(${source} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
        endif()
      endforeach()
    endif()
    if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
      target_compile_options(${target} PRIVATE -Og -g1)
    endif()
    # ctest starts the program once per case: a position-dependent program has no relative
    # relocations for the loader to apply at each start, which under the sanitizers is most of
    # a case's start-up.
    target_link_options(${target} PRIVATE -no-pie)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT 300 LABELS ${target})
  endif()
  _kiv_add_children()
endfunction()

# kiv_forbid_links(<target> <library>...)
#   Fails the configuration when <target> links any <library> (a target or a pkg-config module's
#   imported target), directly or through the libraries it links.
function(kiv_forbid_links target)
  set(seen)
  set(pending ${target})
  while(pending)
    list(POP_FRONT pending current)
    if(current IN_LIST seen OR NOT TARGET ${current})
      continue()
    endif()
    list(APPEND seen ${current})
    if(current IN_LIST ARGN)
      message(FATAL_ERROR "${target} must not link ${current}")
    endif()
    get_target_property(type ${current} TYPE)
    set(links)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(direct ${current} LINK_LIBRARIES)
      if(direct)
        list(APPEND links ${direct})
      endif()
    endif()
    get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
    if(interface)
      list(APPEND links ${interface})
    endif()
    foreach(link IN LISTS links)
      # A static library's private links appear as $<LINK_ONLY:...>.
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
      list(APPEND pending ${link})
    endforeach()
  endwhile()
endfunction()
