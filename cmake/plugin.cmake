# corkwall_plugin(<name> <sources>...): a plug-in library <name>.tvx with its
# own static copy of the framework, linked against the platform library, whose
# only exported symbol is fnTvx.
function(corkwall_plugin name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".tvx"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/plugin.map)
  target_link_libraries(${name} PRIVATE framework ceplatform)
  target_link_options(${name} PRIVATE -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/plugin.map)
  # Every symbol resolved at link time, except in the fuzz build: clang keeps
  # the sanitizer and coverage runtimes in the program, not in the plug-in.
  if(NOT CORKWALL_FUZZ)
    target_link_options(${name} PRIVATE -Wl,-z,defs)
  endif()
endfunction()
