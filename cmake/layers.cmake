# Layers that keep their direction: each layer is a target of its own, and
# its sources see, under their usual names ("device/hid.h"), only the
# headers of the folders it may use. A header of another folder is simply
# not there: a wrong-way include fails to build, it does not merely warn.
#
# The folders' headers are linked into build/layers/TARGET/ (symbolic
# links, made when CMake configures; a new header makes it configure again).
#
# A quoted include is looked up in the including file's own folder first,
# before any include folder, so "../ui/x.h" or "linux/x.h" from a file of
# device/ would reach past the links. Before a layer builds, a check
# (cmake/include_fence.cmake) reads every quoted include of the layer's own
# files: one that names a file by a path from the including file's folder
# must land in a folder the layer may use, or the build stops there.
#
#   kb_layer(TARGET FOLDER...)   FOLDER: "device" (its own files, not its
#                                subfolders) or "device/linux"
# The target's consumers see the same folders (PUBLIC): what a layer may
# include, the layers above it may too.
function(kb_layer target)
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  file(REMOVE_RECURSE ${root})
  set(own)
  foreach(dir ${ARGN})
    if(NOT IS_DIRECTORY ${CMAKE_SOURCE_DIR}/${dir})
      message(FATAL_ERROR "kb_layer(${target}): no folder ${dir}")
    endif()
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.h)
    file(MAKE_DIRECTORY ${root}/${dir})
    foreach(header ${headers})
      get_filename_component(name ${header} NAME)
      file(CREATE_LINK ${header} ${root}/${dir}/${name} SYMBOLIC)
    endforeach()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.h
         ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND own ${sources})
  endforeach()
  target_include_directories(${target} PUBLIC ${root})

  # The fence for includes by a path from the including file's folder.
  list(JOIN own "\n" ownLines)
  file(CONFIGURE OUTPUT ${root}.files CONTENT "${ownLines}\n" @ONLY)
  file(GENERATE OUTPUT ${root}.inc
       CONTENT "$<JOIN:$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>,\n>\n")
  set(fence ${CMAKE_SOURCE_DIR}/cmake/include_fence.cmake)
  add_custom_command(
    OUTPUT ${root}.fence
    COMMAND ${CMAKE_COMMAND} -DTARGET=${target} -DROOT=${CMAKE_SOURCE_DIR}
            -DLAYERS=${CMAKE_BINARY_DIR}/layers -DFILES=${root}.files -DINCLUDES=${root}.inc
            -DSTAMP=${root}.fence -P ${fence}
    DEPENDS ${own} ${root}.files ${root}.inc ${fence}
    COMMENT "Checking the includes of ${target}"
    VERBATIM)
  add_custom_target(${target}_fence DEPENDS ${root}.fence)
  add_dependencies(${target} ${target}_fence)
endfunction()
