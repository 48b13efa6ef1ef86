# Rebuilds the adapter firmware when SDCC is installed (Debian: sdcc). The program always
# embeds the committed image resources/ezusb_firmware.bin, so that a build without SDCC works;
# the firmware tests compare the rebuilt image with it. `cmake --build <dir> --target
# ezusb_firmware_update` copies a rebuilt image over the committed one.
find_program(OSCSET_SDCC sdcc)
find_program(OSCSET_SDAS sdas8051)
set_property(GLOBAL PROPERTY OSCSET_FIRMWARE_REBUILT "")
set_property(GLOBAL PROPERTY OSCSET_FIRMWARE_BUILD_COMMAND "")
if(NOT OSCSET_SDCC OR NOT OSCSET_SDAS OR CMAKE_CROSSCOMPILING)
    return()
endif()

set(_fw_dir ${PROJECT_SOURCE_DIR}/firmware)
set(_fw_work ${CMAKE_CURRENT_BINARY_DIR}/firmware)
set(_fw_ihx ${CMAKE_CURRENT_BINARY_DIR}/ezusb_firmware.ihx)
set(_fw_bin ${CMAKE_CURRENT_BINARY_DIR}/ezusb_firmware_rebuilt.bin)
set(_fw_build ${CMAKE_COMMAND} -DSDCC=${OSCSET_SDCC} -DSDAS=${OSCSET_SDAS}
    -DSOURCE_DIR=${_fw_dir})
add_custom_command(OUTPUT ${_fw_ihx}
    COMMAND ${_fw_build} -DWORK_DIR=${_fw_work} -DOUTPUT=${_fw_ihx} -P ${_fw_dir}/build.cmake
    DEPENDS ${_fw_dir}/build.cmake ${_fw_dir}/main.c ${_fw_dir}/ezusb.h ${_fw_dir}/pipes.asm
            ${_fw_dir}/descriptors.asm
    COMMENT "Building the adapter firmware with SDCC"
    VERBATIM)
add_custom_command(OUTPUT ${_fw_bin}
    COMMAND ${OSCSET_TOOL_ihx2bin} ${_fw_ihx} ${_fw_bin} 4096 0xAA
    DEPENDS ${OSCSET_TOOLS_DEPENDS} ${_fw_ihx}
    COMMENT "Making the 4096-byte adapter firmware image"
    VERBATIM)
add_custom_target(ezusb_firmware_rebuilt ALL DEPENDS ${_fw_bin})
add_custom_target(ezusb_firmware_update
    COMMAND ${CMAKE_COMMAND} -E copy ${_fw_bin} ${PROJECT_SOURCE_DIR}/resources/ezusb_firmware.bin
    DEPENDS ${_fw_bin}
    COMMENT "Copying the rebuilt adapter firmware over the committed image"
    VERBATIM)
set_property(GLOBAL PROPERTY OSCSET_FIRMWARE_REBUILT ${_fw_bin})
set_property(GLOBAL PROPERTY OSCSET_FIRMWARE_BUILD_COMMAND "${_fw_build}")
