# Regenerates a committed source file with its generator and fails when the
# committed copy differs. -DGEN=<generator> -DCOMMITTED=<file> -DOUT=<scratch>
execute_process(COMMAND ${GEN} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${GEN} failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${COMMITTED} RESULT_VARIABLE diff)
if(NOT diff EQUAL 0)
  message(FATAL_ERROR "${COMMITTED} differs from what ${GEN} generates now (${OUT})")
endif()
message(STATUS "${COMMITTED} matches its generator")
