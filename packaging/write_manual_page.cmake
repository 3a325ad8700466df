# Writes the manual page that "swp-host --manual-page" (or swp-search's) prints:
# cmake -DHOST=PROGRAM -DOUTPUT=... -P this
execute_process(COMMAND ${HOST} --manual-page OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "${HOST} --manual-page failed: ${status}")
endif()
