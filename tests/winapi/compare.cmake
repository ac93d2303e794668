# Runs the probe on questions.txt and compares its answers with those recorded under Wine.
execute_process(COMMAND ${PROBE} ${DIR}/data
  INPUT_FILE ${DIR}/questions.txt
  OUTPUT_VARIABLE actual RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "winapi_probe failed: ${status}")
endif()
file(READ ${DIR}/answers.txt expected)
if(NOT actual STREQUAL expected)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/winapi_answers.txt "${actual}")
  execute_process(COMMAND diff -u ${DIR}/answers.txt ${CMAKE_CURRENT_BINARY_DIR}/winapi_answers.txt)
  message(FATAL_ERROR "the stand-ins answer otherwise than Windows (diff above)")
endif()
