# Embeds the panel resources into vbcflash_lib (included from the top CMakeLists.txt once
# the library is defined). The library stays free of any widget toolkit: the .ui files are
# carried as plain bytes and read by platform/uiresources.cpp or by a GUI backend.
file(GLOB VBC_UI_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*.ui)
set(VBC_UI_GENERATED ${CMAKE_BINARY_DIR}/generated/uiresources_data.cpp)
add_custom_command(
    OUTPUT ${VBC_UI_GENERATED}
    COMMAND ${CMAKE_COMMAND} -DUI_DIR=${CMAKE_SOURCE_DIR}/resources
            -DOUTPUT=${VBC_UI_GENERATED} -P ${CMAKE_SOURCE_DIR}/resources/embed.cmake
    DEPENDS ${VBC_UI_FILES} ${CMAKE_SOURCE_DIR}/resources/embed.cmake
    COMMENT "Embedding the panel resources"
    VERBATIM)
target_sources(vbcflash_lib PRIVATE ${VBC_UI_GENERATED})
