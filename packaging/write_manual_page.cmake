# Writes the manual page that "swp-host --manual-page" prints: cmake -DHOST=... -DOUTPUT=... -P this
execute_process(COMMAND ${HOST} --manual-page OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "swp-host --manual-page failed: ${status}")
endif()
