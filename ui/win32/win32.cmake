# The Win32 dialog: window shell, owner-drawn Start button and status outputs
# over the portable dialog controller.
add_library(kbwin32ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/main_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/status_button_win32.cpp)
kb_layer(kbwin32ui ui/win32)
target_link_libraries(kbwin32ui PUBLIC kb_ui kb_hid_windows comctl32 gdi32 user32
                                PRIVATE kb_warnings)
