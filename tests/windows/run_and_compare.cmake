# cmake -DRUN=<command;args> -DEXPECT_CODE=<n> -DEXPECT_OUTPUT=<file> -P run_and_compare.cmake
# Runs a program and compares its exit code and its standard output, byte for byte.
execute_process(COMMAND ${RUN} RESULT_VARIABLE code OUTPUT_VARIABLE output ERROR_VARIABLE errors)
file(READ ${EXPECT_OUTPUT} expected)
if(NOT code STREQUAL EXPECT_CODE)
    message(FATAL_ERROR "exit code ${code}, expected ${EXPECT_CODE}\n${output}${errors}")
endif()
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "output differs:\n--- got\n${output}\n--- expected\n${expected}")
endif()
