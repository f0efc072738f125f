# Installs the build tree into a scratch prefix, then configures, builds and runs the
# consumer project in tests/consumer against it. Run by CTest in script mode.
file(REMOVE_RECURSE ${WORK_DIR})
function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

run_step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
run_step("configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build
         -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
run_step("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build -j2)
run_step("run" ${WORK_DIR}/build/vireo_consumer)
message(STATUS "consumer output:\n${step_output}")
if(NOT step_output MATCHES "\\[[0-9:.]+\\] \\[info\\] consumer linked the installed kit")
  message(FATAL_ERROR "consumer did not log its line")
endif()
