# expect_run(NAME CODE ARGS ... STDOUT text... STDERR text...): runs ${PEIBOARD} with ARGS in
# ${RUN_DIRECTORY} and reports (SEND_ERROR) an exit code other than CODE or a text missing
# from its output. A command that waits (for a debugger, say) fails the case after 120 s
# instead of hanging the test.
function(expect_run name code)
  cmake_parse_arguments(ARG "" "" "ARGS;STDOUT;STDERR" ${ARGN})
  # A command that waits (for a debugger, say) fails the case instead of hanging the test.
  execute_process(COMMAND ${PEIBOARD} ${ARG_ARGS} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err WORKING_DIRECTORY ${RUN_DIRECTORY} TIMEOUT 120)
  if(NOT rc EQUAL code)
    message(SEND_ERROR "${name}: exit ${rc}, expected ${code}\n${out}\n${err}")
  endif()
  foreach(text IN LISTS ARG_STDOUT)
    string(FIND "${out}" "${text}" at)
    if(at EQUAL -1)
      message(SEND_ERROR "${name}: stdout lacks '${text}'\n${out}")
    endif()
  endforeach()
  foreach(text IN LISTS ARG_STDERR)
    string(FIND "${err}" "${text}" at)
    if(at EQUAL -1)
      message(SEND_ERROR "${name}: stderr lacks '${text}'\n${err}")
    endif()
  endforeach()
endfunction()
