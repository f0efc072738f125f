# Runs the vireo tool once and checks both its exit status and its output, which CTest's own
# properties cannot do together (a pass regular expression ignores the status).
#   cmake -DVIREO=<tool> -DARGS=<arguments separated by |> -DEXPECT_STATUS=<n> | nonzero
#         [-DEXPECT_OUTPUT=<regex on stdout and stderr together>] [-DREJECT_OUTPUT=<regex>]
#         [-DEXPECT_NO_FILE=<path that must not exist afterwards>] [-DWORKING_DIRECTORY=<dir>]
#         -P run_vireo.cmake
string(REPLACE "|" ";" arguments "${ARGS}")
if(DEFINED EXPECT_NO_FILE)
  file(REMOVE "${EXPECT_NO_FILE}")
endif()
if(NOT WORKING_DIRECTORY)
  set(WORKING_DIRECTORY .)
endif()
execute_process(COMMAND ${VIREO} ${arguments}
                WORKING_DIRECTORY ${WORKING_DIRECTORY}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(all "${out}${err}")
message(STATUS "vireo ${arguments}: status ${status}\n${all}")
if(EXPECT_STATUS STREQUAL "nonzero")
  if(status STREQUAL "0")
    message(FATAL_ERROR "expected a failing exit status, got 0")
  endif()
elseif(NOT status STREQUAL EXPECT_STATUS)
  message(FATAL_ERROR "expected exit status ${EXPECT_STATUS}, got ${status}")
endif()
if(DEFINED EXPECT_OUTPUT AND NOT all MATCHES "${EXPECT_OUTPUT}")
  message(FATAL_ERROR "the output does not match: ${EXPECT_OUTPUT}")
endif()
if(DEFINED REJECT_OUTPUT AND all MATCHES "${REJECT_OUTPUT}")
  message(FATAL_ERROR "the output matches what it must not: ${REJECT_OUTPUT}")
endif()
if(DEFINED EXPECT_NO_FILE AND EXISTS "${EXPECT_NO_FILE}")
  message(FATAL_ERROR "the command wrote ${EXPECT_NO_FILE}")
endif()
