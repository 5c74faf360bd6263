# The Qt 6 Widgets dialog (Linux): a library that the real program, its demo
# over the simulated keyboard, the widget tests and the benchmark share.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

set(kb_qt_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(kbqt STATIC
  ${kb_qt_dir}/main_dialog.cpp
  ${kb_qt_dir}/main_dialog.h
  ${kb_qt_dir}/station_window.cpp
  ${kb_qt_dir}/station_window.h
  ${kb_qt_dir}/status_button_widget.cpp
  ${kb_qt_dir}/status_button_widget.h
  ${kb_qt_dir}/ui_thread.cpp
  ${kb_qt_dir}/ui_thread.h
  ${kb_qt_dir}/qt_resources.qrc)
set_target_properties(kbqt PROPERTIES AUTOMOC ON AUTORCC ON)
kb_layer(kbqt ui/qt)
# The station window shows what the station's runner reports.
target_link_libraries(kbqt PUBLIC kb_ui kb_station Qt6::Widgets PRIVATE kb_warnings)

# Device events from hidraw uevents: the Qt dialog runs on Linux only.
target_sources(kbqt PRIVATE ${kb_qt_dir}/hidraw_events.cpp ${kb_qt_dir}/hidraw_events.h)
target_link_libraries(kbqt PUBLIC kb_hid_linux)
target_compile_definitions(kbqt PUBLIC KB_HAVE_HIDRAW_MONITOR)
