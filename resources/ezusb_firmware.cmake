# The adapter firmware: the committed image, built from firmware/ (firmware/firmware.cmake
# rebuilds it when SDCC is present, and a test checks that the two are the same).
oscset_layer(oscset_firmware_image SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ezusb_firmware.hpp)
oscset_embed(oscset_firmware_image ${CMAKE_CURRENT_SOURCE_DIR}/ezusb_firmware.bin
    resources/ezusb_firmware.hpp oscset::resources ezusb_firmware 4096)
include(${PROJECT_SOURCE_DIR}/firmware/firmware.cmake)
