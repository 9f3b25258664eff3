# Installs a build tree into a private prefix, then configures, builds and
# runs the project in this folder against it, as a user of the package would.
# Run with cmake -P; BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR, CXX_COMPILER,
# CXX_FLAGS, LINKER_FLAGS and BUILD_TYPE come from the caller.
cmake_minimum_required(VERSION 3.25)

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/programdata")

run_step("install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
run_step("configure"
  ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix"
    "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}"
    "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}")
run_step("build" ${CMAKE_COMMAND} --build "${WORK_DIR}/build")
# The private logger's folders go to a private application-data folder.
run_step("run"
  ${CMAKE_COMMAND} -E env "PROGRAMDATA=${WORK_DIR}/programdata"
    "${WORK_DIR}/build/use_tools" "${WORK_DIR}/use_tools.log")
file(REMOVE_RECURSE "${WORK_DIR}")
