# The Qt 6 Widgets dialog (Linux): a library that the real program, its demo
# over the simulated keyboard, the widget tests and the benchmark share.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

set(kb_qt_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(kbqt STATIC
  ${kb_qt_dir}/main_dialog.cpp
  ${kb_qt_dir}/main_dialog.h
  ${kb_qt_dir}/status_button_widget.cpp
  ${kb_qt_dir}/status_button_widget.h
  ${kb_qt_dir}/ui_thread.cpp
  ${kb_qt_dir}/ui_thread.h
  ${kb_qt_dir}/qt_resources.qrc)
set_target_properties(kbqt PROPERTIES AUTOMOC ON AUTORCC ON)
target_link_libraries(kbqt PUBLIC kbcore Qt6::Widgets PRIVATE kb_warnings)

# Device events from the kernel's hidraw uevents, where the Linux HID layer
# is built.
if(EXISTS ${CMAKE_SOURCE_DIR}/device/hid_linux.h AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_sources(kbqt PRIVATE ${kb_qt_dir}/hidraw_events.cpp ${kb_qt_dir}/hidraw_events.h)
  target_compile_definitions(kbqt PUBLIC KB_HAVE_HIDRAW_MONITOR)
endif()
