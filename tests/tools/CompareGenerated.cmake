# Regenerates a checked-in generated file into a folder of its own and compares the two byte for
# byte: a hand edit of the file, or a change of the generator or of its input (Python's
# html.entities) that was not regenerated, fails here.
#   cmake -DPYTHON=... -DGENERATOR=... -DCHECKED_IN=... -DWORK_DIR=... -P CompareGenerated.cmake
foreach(variable PYTHON GENERATOR CHECKED_IN WORK_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "CompareGenerated.cmake needs -D${variable}=...")
  endif()
endforeach()

string(RANDOM LENGTH 12 run)
set(folder "${WORK_DIR}/${run}")
get_filename_component(name "${CHECKED_IN}" NAME)
set(regenerated "${folder}/${name}")
file(MAKE_DIRECTORY "${folder}")

execute_process(COMMAND "${PYTHON}" "${GENERATOR}" --output "${regenerated}"
                RESULT_VARIABLE generated ERROR_VARIABLE why)
if(NOT generated EQUAL 0)
  file(REMOVE_RECURSE "${folder}")
  message(FATAL_ERROR "${GENERATOR} failed (${generated}): ${why}")
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${CHECKED_IN}" "${regenerated}"
                RESULT_VARIABLE differs)
if(NOT differs EQUAL 0)
  execute_process(COMMAND diff -u "${CHECKED_IN}" "${regenerated}" OUTPUT_VARIABLE diff)
  string(SUBSTRING "${diff}" 0 4000 diff)
  file(REMOVE_RECURSE "${folder}")
  message(FATAL_ERROR "${CHECKED_IN} differs from what ${GENERATOR} writes now; "
                      "regenerate it with /usr/bin/python3 ${GENERATOR}\n${diff}")
endif()
file(REMOVE_RECURSE "${folder}")
