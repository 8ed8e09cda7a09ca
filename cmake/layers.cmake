# The layers of the tree, lowest first: a folder may include, and its library link, only
# what sits at its own rank or below. Two folders at one rank may not use each other.
# Each entry is <rank>:<folder under src/ or tools/>:<CMake target>.
set(ORVEL_LAYERS
  0:platform:orvel_platform
  1:log:orvel_log
  2:common:orvel_common
  3:httpclient:orvel_httpclient
  4:transport:orvel_transport
  5:db:orvel_db
  6:hwinfo:orvel_hwinfo
  7:infocollection:orvel_infocollection
  8:remotestorage:orvel_remotestorage
  9:blocks/codec:orvel_blocks
  10:blocks/transfer:orvel_transfer
  11:orvelsdk:orvelsdk
  12:emulator:orvel-emulator
  12:cli:orvel)

# orvel_layer_of(<kind> <value> <out-rank> <out-folder>): the layer whose folder (kind BY_FOLDER)
# or target (kind BY_TARGET) is <value>; rank -1 when none is.
function(orvel_layer_of kind value outRank outFolder)
  set(rank -1)
  set(folder "")
  foreach(entry IN LISTS ORVEL_LAYERS)
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 r)
    list(GET parts 1 f)
    list(GET parts 2 t)
    if((kind STREQUAL "BY_FOLDER" AND value STREQUAL f) OR (kind STREQUAL "BY_TARGET" AND value STREQUAL t))
      set(rank ${r})
      set(folder ${f})
    endif()
  endforeach()
  set(${outRank} ${rank} PARENT_SCOPE)
  set(${outFolder} ${folder} PARENT_SCOPE)
endfunction()

# Stops the configuration when a library links one of a higher rank, or another of its own.
function(orvel_check_link_layers)
  set(errors "")
  foreach(entry IN LISTS ORVEL_LAYERS)
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 rank)
    list(GET parts 2 target)
    if(NOT TARGET ${target})
      continue()  # tools and tests are optional parts of a build
    endif()
    get_target_property(links ${target} LINK_LIBRARIES)
    get_target_property(ilinks ${target} INTERFACE_LINK_LIBRARIES)
    set(all ${links} ${ilinks})
    list(REMOVE_DUPLICATES all)
    foreach(lib IN LISTS all)
      orvel_layer_of(BY_TARGET "${lib}" libRank libFolder)
      if(libRank GREATER_EQUAL rank AND NOT lib STREQUAL target)
        string(APPEND errors "  ${target} (rank ${rank}) links ${lib} (rank ${libRank})\n")
      endif()
    endforeach()
  endforeach()
  if(errors)
    message(FATAL_ERROR "A library links one at its own rank or above (see cmake/layers.cmake):\n${errors}")
  endif()
endfunction()

# Files below the C API that define exports of the public header and so include it for the
# declarations' visibility.
set(ORVEL_LAYER_EXPORT_FILES src/platform/bstr.cpp)
