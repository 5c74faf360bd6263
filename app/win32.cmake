# The Windows program and its demo over the simulated keyboard. Both carry
# the same resources: dialog 102, icon 128 (drawn at build time by a small
# tool built with the build machine's compiler), version record, manifest.
# The station window and its demo over eight simulated keyboards carry their
# own (station.rc): the station's window 200, the same icon and manifest.
set(kb_res_dir ${CMAKE_SOURCE_DIR}/res/win32)
set(kb_icon ${CMAKE_BINARY_DIR}/res/win32/app.ico)

find_program(KB_HOST_CXX NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_custom_command(
  OUTPUT ${kb_icon}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/res/win32
  COMMAND ${KB_HOST_CXX} -std=c++20 -O1 -o ${CMAKE_BINARY_DIR}/res/win32/make_icon
          ${kb_res_dir}/make_icon.cpp
  COMMAND ${CMAKE_BINARY_DIR}/res/win32/make_icon ${kb_icon}
  DEPENDS ${kb_res_dir}/make_icon.cpp
  COMMENT "Drawing the program icon")
add_custom_target(kb_win32_icon DEPENDS ${kb_icon})

# The manifest names the processor architecture of the common controls it
# asks for: x86 in the 32-bit release, amd64 in the x86-64 build.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KB_MANIFEST_ARCH amd64)
else()
  set(KB_MANIFEST_ARCH x86)
endif()
configure_file(${kb_res_dir}/app.manifest.in ${CMAKE_BINARY_DIR}/res/win32/app.manifest @ONLY)

add_library(kbwin32app STATIC ${CMAKE_CURRENT_LIST_DIR}/win32/startup.cpp
                              ${CMAKE_CURRENT_LIST_DIR}/win32/station_startup.cpp
                              ${CMAKE_CURRENT_LIST_DIR}/station_setup.cpp)
kb_layer(kbwin32app app/win32 app)
target_compile_definitions(kbwin32app PRIVATE KB_VERSION="${PROJECT_VERSION}")
target_link_libraries(kbwin32app PUBLIC kbwin32ui PRIVATE kb_warnings)

# The program's resources into an executable (also the Windows-only tests,
# which create the real dialog from template 102).
function(kb_add_win32_resources target)
  set(res ${CMAKE_SOURCE_DIR}/res/win32)
  # Source properties belong to the directory that uses the file.
  set_source_files_properties(${res}/app.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_BINARY_DIR}/res/win32/app.ico;${CMAKE_BINARY_DIR}/res/win32/app.manifest;${res}/resource.h")
  target_sources(${target} PRIVATE ${res}/app.rc)
  add_dependencies(${target} kb_win32_icon)
  target_include_directories(${target} PRIVATE ${res} ${CMAKE_BINARY_DIR}/res/win32)
endfunction()

# The station window's resources; `dialog_only` takes just its template
# (the tests, which carry the update dialog's icon, version and manifest).
function(kb_add_station_resources target)
  set(res ${CMAKE_SOURCE_DIR}/res/win32)
  set(rc ${res}/station.rc)
  if(ARGN STREQUAL "dialog_only")
    set(rc ${res}/station_dialog.rc)
  endif()
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS
    "${CMAKE_BINARY_DIR}/res/win32/app.ico;${CMAKE_BINARY_DIR}/res/win32/app.manifest;${res}/resource.h;${res}/station_dialog.rc")
  target_sources(${target} PRIVATE ${rc})
  add_dependencies(${target} kb_win32_icon)
  target_include_directories(${target} PRIVATE ${res} ${CMAKE_BINARY_DIR}/res/win32)
endfunction()

function(kb_win32_program name)
  add_executable(${name} WIN32 ${ARGN})
  kb_add_win32_resources(${name})
  target_link_libraries(${name} PRIVATE kbwin32app kb_warnings)
endfunction()

function(kb_win32_station_program name)
  add_executable(${name} WIN32 ${ARGN})
  kb_add_station_resources(${name})
  target_link_libraries(${name} PRIVATE kbwin32app kb_warnings)
endfunction()

kb_win32_program(KeyboardUpdateTool ${CMAKE_CURRENT_LIST_DIR}/win32/main.cpp)
kb_win32_program(KeyboardUpdateToolDemo ${CMAKE_CURRENT_LIST_DIR}/win32/demo_main.cpp)
target_compile_definitions(KeyboardUpdateToolDemo PRIVATE KB_DEMO)
# Only the demo links the simulated keyboard.
target_link_libraries(KeyboardUpdateToolDemo PRIVATE kb_sim)

kb_win32_station_program(KeyboardUpdateStation ${CMAKE_CURRENT_LIST_DIR}/win32/station_main.cpp)
kb_win32_station_program(KeyboardUpdateStationDemo
                         ${CMAKE_CURRENT_LIST_DIR}/win32/station_demo_main.cpp)
target_compile_definitions(KeyboardUpdateStationDemo PRIVATE KB_DEMO)
target_link_libraries(KeyboardUpdateStationDemo PRIVATE kb_sim)
