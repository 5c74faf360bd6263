# The HID seam on Windows: SetupAPI lists the interfaces, HID.DLL carries
# the feature reports, WM_DEVICECHANGE brings arrivals and removals.
target_sources(kbcore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/hid_windows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hid_windows_events.cpp)
target_compile_definitions(kbcore PUBLIC KB_HAVE_PLATFORM_HID)
target_link_libraries(kbcore PUBLIC hid setupapi user32)
