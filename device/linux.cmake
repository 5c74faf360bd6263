# The Linux HID backend: hidraw nodes through libudev (enumeration, kernel
# uevents) and the hidraw ioctls. Part of kbcore on Linux.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUDEV REQUIRED IMPORTED_TARGET libudev)

target_sources(kbcore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/hid_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hid_linux_monitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hid_linux_util.cpp)
target_link_libraries(kbcore PUBLIC PkgConfig::LIBUDEV)
target_compile_definitions(kbcore PUBLIC KB_HAVE_PLATFORM_HID)

# The uhid transport of the simulated keyboard belongs to the Linux platform
# layer; it sits in sim/ beside the model it serves.
option(KB_GUEST_STATIC "Link the guest programs of the real-kernel test statically" OFF)
add_subdirectory(${CMAKE_SOURCE_DIR}/sim/uhid ${CMAKE_BINARY_DIR}/sim/uhid)
