# Runs the probe on each set of questions (under EMULATOR, if set: Wine, or qemu for 32-bit
# Linux programs) and compares its answers with those recorded under Wine: questions.txt with
# answers.txt, codepage-questions.txt with codepage-answers.txt.
set(data ${DIR}/data)
if(WINE)
  execute_process(COMMAND ${EMULATOR} winepath -w ${DIR}/data OUTPUT_VARIABLE data
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
get_filename_component(probe_dir ${PROBE} DIRECTORY)
set(failed "")
foreach(set "questions.txt;answers.txt" "codepage-questions.txt;codepage-answers.txt")
  list(GET set 0 questions)
  list(GET set 1 answers)
  execute_process(COMMAND ${EMULATOR} ${PROBE} ${data}
    INPUT_FILE ${DIR}/${questions}
    OUTPUT_VARIABLE actual RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "winapi_probe failed on ${questions}: ${status}")
  endif()
  string(REPLACE "\r" "" actual "${actual}")
  file(READ ${DIR}/${answers} expected)
  if(NOT actual STREQUAL expected)
    file(WRITE ${probe_dir}/${answers} "${actual}")
    execute_process(COMMAND diff -u ${DIR}/${answers} ${probe_dir}/${answers})
    list(APPEND failed ${answers})
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "the answers differ from those recorded under Wine: ${failed} (diff above)")
endif()
