# add_seam_subfolders(): adds every subfolder of the current folder that has
# its own CMakeLists.txt. Each one is a platform seam, so a new seam is
# picked up without editing its parent.
function(add_seam_subfolders)
  file(GLOB _seams LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _seams)
  foreach(seam IN LISTS _seams)
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${seam} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${seam}/CMakeLists.txt)
      add_subdirectory(${seam})
    endif()
  endforeach()
endfunction()
