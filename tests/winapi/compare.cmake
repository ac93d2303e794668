# Runs the probe on questions.txt (under EMULATOR, if set) and compares its answers with
# those recorded under Wine.
set(data ${DIR}/data)
if(EMULATOR)
  execute_process(COMMAND winepath -w ${DIR}/data OUTPUT_VARIABLE data
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
execute_process(COMMAND ${EMULATOR} ${PROBE} ${data}
  INPUT_FILE ${DIR}/questions.txt
  OUTPUT_VARIABLE actual RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "winapi_probe failed: ${status}")
endif()
string(REPLACE "\r" "" actual "${actual}")
file(READ ${DIR}/answers.txt expected)
if(NOT actual STREQUAL expected)
  get_filename_component(probe_dir ${PROBE} DIRECTORY)
  file(WRITE ${probe_dir}/winapi_answers.txt "${actual}")
  execute_process(COMMAND diff -u ${DIR}/answers.txt ${probe_dir}/winapi_answers.txt)
  message(FATAL_ERROR "the answers differ from those recorded under Wine (diff above)")
endif()
