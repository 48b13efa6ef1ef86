# The FPGA configuration image. By default a generated placeholder XC2S100 design; with
# -DOSCSET_CONFIG_IMAGE=<file> the board's real design (a raw stream or a .bit file).
set(OSCSET_CONFIG_IMAGE "" CACHE FILEPATH "Configuration image to embed: a raw Spartan-II stream or a .bit file")

set(_image ${CMAKE_CURRENT_BINARY_DIR}/config_image.bin)
if(OSCSET_CONFIG_IMAGE)
    get_filename_component(_design ${OSCSET_CONFIG_IMAGE} ABSOLUTE)
    add_custom_command(OUTPUT ${_image}
        COMMAND ${OSCSET_TOOL_make_config_image} ${_image} ${_design}
        DEPENDS ${OSCSET_TOOLS_DEPENDS} ${_design}
        COMMENT "Embedding the configuration image ${_design}"
        VERBATIM)
else()
    add_custom_command(OUTPUT ${_image}
        COMMAND ${OSCSET_TOOL_make_config_image} ${_image}
        DEPENDS ${OSCSET_TOOLS_DEPENDS}
        COMMENT "Generating the placeholder configuration image"
        VERBATIM)
endif()
oscset_layer(oscset_config_image SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/config_image.cpp)
if(OSCSET_CONFIG_IMAGE)
    target_compile_definitions(oscset_config_image PRIVATE OSCSET_CONFIG_IMAGE_PLACEHOLDER=0)
else()
    target_compile_definitions(oscset_config_image PRIVATE OSCSET_CONFIG_IMAGE_PLACEHOLDER=1)
endif()
oscset_embed(oscset_config_image ${_image} resources/config_image.hpp oscset::resources config_image)
