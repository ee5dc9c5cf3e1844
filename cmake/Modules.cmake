# One static library per source module. A module sees only its own headers and those of the
# modules it links: each gets an include root of its own in the build tree, holding a link to
# its source folder alone, so an include across a forbidden arrow fails to compile.
#
#   duoquill_module(NAME <target> FOLDER <path below src> [LINKS <targets>...] [EXCLUDE <regex>]
#                   [NESTED <subfolders>...])
#
# NESTED names subfolders that are modules of their own (Keys/Hardware): they are left out of
# this module's sources and of its include root, so reaching them takes an arrow of its own.
function(duoquill_module)
  cmake_parse_arguments(M "" "NAME;FOLDER;EXCLUDE" "LINKS;NESTED" ${ARGN})
  set(folder ${PROJECT_SOURCE_DIR}/src/${M_FOLDER})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${folder}/*.cpp)
  if(M_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${M_EXCLUDE}")
  endif()
  set(root ${PROJECT_BINARY_DIR}/modules/${M_NAME})
  if(M_NESTED)
    # A folder of links, one per entry but the nested modules; a new entry reconfigures.
    # A build made before the folder had nested modules holds one link to the whole folder:
    # links made through it would land in the sources, so it goes first (the link only).
    if(IS_SYMLINK ${root}/${M_FOLDER})
      file(REMOVE ${root}/${M_FOLDER})
    endif()
    file(MAKE_DIRECTORY ${root}/${M_FOLDER})
    file(GLOB entries CONFIGURE_DEPENDS LIST_DIRECTORIES true RELATIVE ${folder} ${folder}/*)
    foreach(nested ${M_NESTED})
      list(REMOVE_ITEM entries ${nested})
      list(FILTER sources EXCLUDE REGEX "^${folder}/${nested}/")
    endforeach()
    foreach(entry ${entries})
      if(NOT IS_SYMLINK ${root}/${M_FOLDER}/${entry})
        file(CREATE_LINK ${folder}/${entry} ${root}/${M_FOLDER}/${entry} SYMBOLIC)
      endif()
    endforeach()
  else()
    get_filename_component(parent ${root}/${M_FOLDER} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    # The folder of links of a build made while it had nested modules.
    if(IS_DIRECTORY ${root}/${M_FOLDER} AND NOT IS_SYMLINK ${root}/${M_FOLDER})
      file(REMOVE_RECURSE ${root}/${M_FOLDER})
    endif()
    if(NOT IS_SYMLINK ${root}/${M_FOLDER})
      file(CREATE_LINK ${folder} ${root}/${M_FOLDER} SYMBOLIC)
    endif()
  endif()
  if(NOT sources)
    # A module of headers only.
    add_library(${M_NAME} INTERFACE)
    target_include_directories(${M_NAME} INTERFACE ${root})
    target_link_libraries(${M_NAME} INTERFACE ${M_LINKS})
    return()
  endif()
  add_library(${M_NAME} STATIC ${sources})
  target_include_directories(${M_NAME} PUBLIC ${root})
  target_link_libraries(${M_NAME} PUBLIC ${M_LINKS})
  duoquill_warnings(${M_NAME})
endfunction()
