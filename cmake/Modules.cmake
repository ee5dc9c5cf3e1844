# One static library per source module. A module sees only its own headers and those of the
# modules it links: each gets an include root of its own in the build tree, holding a link to
# its source folder alone, so an include across a forbidden arrow fails to compile.
#
#   duoquill_module(NAME <target> FOLDER <path below src> [LINKS <targets>...] [EXCLUDE <regex>])
function(duoquill_module)
  cmake_parse_arguments(M "" "NAME;FOLDER;EXCLUDE" "LINKS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${M_FOLDER}/*.cpp)
  if(M_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${M_EXCLUDE}")
  endif()
  set(root ${PROJECT_BINARY_DIR}/modules/${M_NAME})
  get_filename_component(parent ${root}/${M_FOLDER} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT IS_SYMLINK ${root}/${M_FOLDER})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${M_FOLDER} ${root}/${M_FOLDER} SYMBOLIC)
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
