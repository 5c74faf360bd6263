# The Win32 windows: the dialog's shell, owner-drawn Start button and status
# outputs over the portable dialog controller; the station window over the
# station's runner.
add_library(kbwin32ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/main_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/status_button_win32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/station_tiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/station_window.cpp)
kb_layer(kbwin32ui ui/win32)
target_link_libraries(kbwin32ui PUBLIC kb_ui kb_station kb_hid_windows comctl32 gdi32 user32
                                PRIVATE kb_warnings)
