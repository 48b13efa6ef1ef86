# Builds the adapter firmware's Intel-hex file with SDCC, in script mode:
#   cmake -DSDCC=<sdcc> -DSDAS=<sdas8051> -DSOURCE_DIR=<firmware/> -DWORK_DIR=<dir>
#         -DOUTPUT=<file.ihx> -P build.cmake
# The same command makes the build's image and the test's second build, so both follow one
# recipe. Code starts at 0 (the image is loaded from address 0) and must fit in 4 KiB.
foreach(v SDCC SDAS SOURCE_DIR WORK_DIR OUTPUT)
    if(NOT DEFINED ${v})
        message(FATAL_ERROR "build.cmake: ${v} is not set")
    endif()
endforeach()

file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
    execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK_DIR}
        RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "firmware build step failed: ${ARGN}\n${out}${err}")
    endif()
endfunction()

set(_cflags -mmcs51 --model-small --std-c99 --opt-code-size)
run(${SDAS} -plosgff -o pipes.rel ${SOURCE_DIR}/pipes.asm)
run(${SDAS} -plosgff -o descriptors.rel ${SOURCE_DIR}/descriptors.asm)
run(${SDCC} ${_cflags} -c ${SOURCE_DIR}/main.c -o main.rel)
# No XDATA variables: the RAM above the code belongs to nobody (--xram-size 0 refuses any).
run(${SDCC} ${_cflags} --code-loc 0x0000 --code-size 0x1000 --iram-size 256
    --xram-loc 0x1000 --xram-size 0 -o ezusb_firmware.ihx main.rel pipes.rel descriptors.rel)
file(COPY_FILE ${WORK_DIR}/ezusb_firmware.ihx ${OUTPUT})
