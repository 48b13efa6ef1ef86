# cmake -DRUN=<command;args> -DEXPECT_CODE=<n> -DEXPECT_OUTPUT=<file>
#       [-DINPUT=<file>] [-DEXPECT_ERROR=<text>] [-DLOG=<file> -DEXPECT_LOG=<file>]
#       [-DSYSTEM_DESIGN=<path>: stands for <system design> in the expected output]
#       -P run_sim.cmake
# Runs oscset-sim and compares its exit code, its standard output, its standard error (empty
# unless EXPECT_ERROR is given) and, when asked, the event log it wrote, all exactly. The
# progress line is rewritten a timing-dependent number of times: each run of it is cut to its
# last line (which must show a value no larger than the ones before), and in the compared
# text its carriage return reads \r. Windows line ends count as plain ones.
cmake_policy(SET CMP0053 NEW)  # "@SYSTEM_DESIGN@" below is text, not a variable
if(DEFINED LOG)
    file(REMOVE ${LOG})
endif()
set(_input)
if(DEFINED INPUT)
    set(_input INPUT_FILE ${INPUT})
endif()
execute_process(COMMAND ${RUN} ${_input} RESULT_VARIABLE code OUTPUT_VARIABLE output
                ERROR_VARIABLE errors)
if(NOT code STREQUAL EXPECT_CODE)
    message(FATAL_ERROR "exit code ${code}, expected ${EXPECT_CODE}\n${output}${errors}")
endif()

string(REPLACE "\r\n" "\n" output "${output}")
string(REPLACE "\r\n" "\n" errors "${errors}")

string(REGEX MATCHALL "\rConfigration remain= *-?[0-9]+" _lines "${output}")
set(_previous)
foreach(_line IN LISTS _lines)
    string(REGEX REPLACE "^\rConfigration remain= *" "" _value "${_line}")
    if(DEFINED _previous AND _value GREATER _previous)
        message(FATAL_ERROR "progress went up from ${_previous} to ${_value}")
    endif()
    set(_previous ${_value})
endforeach()

string(REPLACE "\r" "\\r" output "${output}")
set(_run "\\\\rConfigration remain= *-?[0-9]+(\\\\rConfigration remain=)")
while(output MATCHES "${_run}")
    string(REGEX REPLACE "${_run}" "\\1" output "${output}")
endwhile()

file(READ ${EXPECT_OUTPUT} expected)
# The system-wide design's place is the platform's.
string(REPLACE "<system design>" "${SYSTEM_DESIGN}" expected "${expected}")
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "output differs:\n--- got\n${output}\n--- expected\n${expected}")
endif()
if(NOT DEFINED EXPECT_ERROR)
    set(EXPECT_ERROR "")
endif()
if(NOT errors STREQUAL EXPECT_ERROR)
    message(FATAL_ERROR "standard error differs:\n--- got\n${errors}\n--- expected\n${EXPECT_ERROR}")
endif()
if(DEFINED EXPECT_LOG)
    file(READ ${LOG} log)
    string(REPLACE "\r\n" "\n" log "${log}")
    file(READ ${EXPECT_LOG} expected_log)
    if(NOT log STREQUAL expected_log)
        message(FATAL_ERROR "event log differs:\n--- got\n${log}\n--- expected\n${expected_log}")
    endif()
endif()
