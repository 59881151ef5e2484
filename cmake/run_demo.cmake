# Runs each program in DEMO_DIR as a user would, and stops at the first failure.
function(run_program title)
  message(STATUS "---- ${title}")
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${DEMO_DIR} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${title} failed with exit status ${rc}")
  endif()
endfunction()

run_program("twin_capture: both receive channels into dual_test.bin" ${TWIN_CAPTURE})
file(SIZE ${DEMO_DIR}/dual_test.bin capture_size)
message(STATUS "dual_test.bin holds ${capture_size} bytes")
