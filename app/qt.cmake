# The Linux programs: the dialog on real HID interfaces, and its demo over
# the simulated keyboard.
add_library(kbqtapp STATIC ${CMAKE_CURRENT_LIST_DIR}/qt_app.cpp ${CMAKE_CURRENT_LIST_DIR}/qt_app.h)
kb_layer(kbqtapp app)
target_compile_definitions(kbqtapp PRIVATE KB_VERSION="${PROJECT_VERSION}")
target_link_libraries(kbqtapp PUBLIC kbqt kb_platform_hid PRIVATE kb_warnings)

add_executable(keyboard-update-tool ${CMAKE_CURRENT_LIST_DIR}/qt_main.cpp)
target_link_libraries(keyboard-update-tool PRIVATE kbqtapp kb_warnings)

# Only the demos link the simulated keyboards.
add_executable(keyboard-update-tool-demo ${CMAKE_CURRENT_LIST_DIR}/qt_demo.cpp)
target_link_libraries(keyboard-update-tool-demo PRIVATE kbqtapp kb_sim kb_warnings)
# The demo finds its firmware the way the tool does: a .hex file beside it.
add_custom_command(TARGET keyboard-update-tool-demo POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/res/demo/firmware.hex
          $<TARGET_FILE_DIR:keyboard-update-tool-demo>/firmware.hex)

# The production-line station window, and its demo over eight simulated
# keyboards with a scripted operator.
add_library(kbstationapp STATIC ${CMAKE_CURRENT_LIST_DIR}/station_app.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/station_app.h
                                ${CMAKE_CURRENT_LIST_DIR}/station_setup.cpp)
kb_layer(kbstationapp app)
target_compile_definitions(kbstationapp PRIVATE KB_VERSION="${PROJECT_VERSION}")
target_link_libraries(kbstationapp PUBLIC kbqt kb_platform_hid PRIVATE kb_station_db kb_warnings)

add_executable(keyboard-update-station ${CMAKE_CURRENT_LIST_DIR}/station_main.cpp)
target_link_libraries(keyboard-update-station PRIVATE kbstationapp kb_warnings)

add_executable(keyboard-update-station-demo ${CMAKE_CURRENT_LIST_DIR}/station_demo.cpp)
target_link_libraries(keyboard-update-station-demo PRIVATE kbstationapp kb_sim kb_warnings)
add_custom_command(TARGET keyboard-update-station-demo POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/res/demo/firmware.hex
          $<TARGET_FILE_DIR:keyboard-update-station-demo>/firmware.hex)
