# Draws the bundled demo afresh and compares it with the picture the README shows.
execute_process(COMMAND ${SIM} run --svg ${FRESH} OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "harbrite-sim could not play the demo (status ${status})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${FRESH} ${PICTURE} RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "${PICTURE} is out of date; redraw it with:\n"
                      "  harbrite-sim run --svg docs/demo.svg")
endif()
