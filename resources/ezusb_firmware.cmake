# The adapter firmware. For now a placeholder: the image's outer form only (a long jump and
# 0xAA fill), which runs no firmware on a real adapter.
set(_image ${CMAKE_CURRENT_BINARY_DIR}/ezusb_firmware.bin)
add_custom_command(OUTPUT ${_image}
    COMMAND ${OSCSET_TOOL_firmware_placeholder} ${_image}
    DEPENDS ${OSCSET_TOOLS_DEPENDS}
    COMMENT "Making the placeholder adapter firmware"
    VERBATIM)
oscset_layer(oscset_firmware_image SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ezusb_firmware.hpp)
set_source_files_properties(${_image} PROPERTIES GENERATED TRUE)
oscset_embed(oscset_firmware_image ${_image} resources/ezusb_firmware.hpp oscset::resources ezusb_firmware 4096)
