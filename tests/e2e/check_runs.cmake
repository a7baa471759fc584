# Fails unless both list and verify show the line EXPECTED for EXECUTABLE.
cmake_minimum_required(VERSION 3.25)
foreach(command IN ITEMS list verify)
  execute_process(COMMAND "${PACK}" ${command} "${EXECUTABLE}" OUTPUT_VARIABLE shown ERROR_VARIABLE errors
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "zamrik-pack ${command} failed: ${errors}")
  endif()
  string(FIND "${shown}" "\n${EXPECTED}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "zamrik-pack ${command} does not show '${EXPECTED}':\n${shown}")
  endif()
endforeach()
