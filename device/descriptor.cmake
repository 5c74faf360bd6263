# HID report descriptor parser: portable, part of the core on every platform
# (the Linux backend feeds it sysfs bytes, tests and the fuzz target feed it
# tables and noise).
target_sources(kbcore PRIVATE ${CMAKE_CURRENT_LIST_DIR}/report_descriptor.cpp)
