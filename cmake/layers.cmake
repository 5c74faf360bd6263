# Layers that keep their direction: each layer is a target of its own, and
# its sources see, under their usual names ("device/hid.h"), only the
# headers of the folders it may use. A header of another folder is simply
# not there: a wrong-way include fails to build, it does not merely warn.
#
# The folders' headers are linked into build/layers/TARGET/ (symbolic
# links, made when CMake configures; a new header makes it configure again).
#
#   kb_layer(TARGET FOLDER...)   FOLDER: "device" (its own files, not its
#                                subfolders) or "device/linux"
# The target's consumers see the same folders (PUBLIC): what a layer may
# include, the layers above it may too.
function(kb_layer target)
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  file(REMOVE_RECURSE ${root})
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
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
