# The layers' fence for quoted includes by a path from the including file's
# own folder ("../ui/x.h", "linux/x.h"), which the compiler looks up there
# before any include folder. Run by the build before a layer's sources
# compile (cmake/layers.cmake):
#   cmake -DTARGET=T -DROOT=SOURCE_TREE -DLAYERS=BUILD/layers -DFILES=LIST
#         -DINCLUDES=LIST -DSTAMP=FILE -P include_fence.cmake
# FILES lists the layer's own files, INCLUDES the target's include folders,
# one a line. An include that names an existing file from the including
# file's folder must land in a folder of the source tree that one of the
# target's layer folders (LAYERS/<layer>/<folder>) offers; otherwise the
# check names the line and fails. Includes that are not found that way are
# the include folders' business, where only the allowed headers are.
foreach(var TARGET ROOT LAYERS FILES INCLUDES STAMP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "include_fence.cmake: -D${var}=... is missing")
  endif()
endforeach()

file(STRINGS ${FILES} files)
file(STRINGS ${INCLUDES} folders)
set(layerFolders)
foreach(folder ${folders})
  cmake_path(IS_PREFIX LAYERS ${folder} NORMALIZE inLayers)
  if(inLayers)
    list(APPEND layerFolders ${folder})
  endif()
endforeach()

set(quoted "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
set(wrong)
foreach(file ${files})
  if(NOT EXISTS ${file})
    continue()
  endif()
  cmake_path(GET file PARENT_PATH here)
  file(STRINGS ${file} lines REGEX "${quoted}")
  foreach(line ${lines})
    string(REGEX REPLACE "${quoted}.*" "\\1" name "${line}")
    set(found "${here}/${name}")
    cmake_path(NORMAL_PATH found)
    if(NOT EXISTS ${found} OR IS_DIRECTORY ${found})
      continue()
    endif()
    set(allowed FALSE)
    cmake_path(IS_PREFIX ROOT ${found} NORMALIZE inTree)
    if(inTree)
      cmake_path(RELATIVE_PATH found BASE_DIRECTORY ${ROOT} OUTPUT_VARIABLE relative)
      cmake_path(GET relative PARENT_PATH folder)
      if(NOT folder STREQUAL "")
        foreach(layer ${layerFolders})
          if(IS_DIRECTORY ${layer}/${folder})
            set(allowed TRUE)
          endif()
        endforeach()
      endif()
    endif()
    if(NOT allowed)
      cmake_path(RELATIVE_PATH file BASE_DIRECTORY ${ROOT} OUTPUT_VARIABLE shown)
      list(APPEND wrong "${shown}: #include \"${name}\" reaches ${found}")
    endif()
  endforeach()
endforeach()

if(wrong)
  list(JOIN wrong "\n  " text)
  message(FATAL_ERROR "${TARGET} includes what its layer may not use, by a path from the "
                      "including file's folder:\n  ${text}\n"
                      "A layer includes only the layers beneath it, by their usual names "
                      "(\"device/hid.h\").")
endif()
file(TOUCH ${STAMP})
