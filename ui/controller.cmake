# The dialog controller: portable, shared by the Qt and Win32 dialogs.
target_sources(kbcore PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/dialog_controller.cpp)
