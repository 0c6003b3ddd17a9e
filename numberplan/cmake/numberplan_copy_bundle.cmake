# numberplan_copy_bundle(<target>)
# Copies numberplan's metadata bundle beside <target>'s binary at every build, so that the program run from its
# build folder finds it in its executable's own folder. Defined for this project's own programs and, through the
# installed numberplan package, for an application's: the bundle copied is the one the global property
# numberplan_bundle names (the source tree's, or the installation's), set before this file is included.
# Callable from any directory: the copying script is found beside this file, not beside the caller.
function(numberplan_copy_bundle target)
  get_property(bundle GLOBAL PROPERTY numberplan_bundle)
  add_custom_target(${target}_numberplan_bundle
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${bundle}
            -DDESTINATION=$<TARGET_FILE_DIR:${target}>/NumberPlan_NumberPlan.bundle
            -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/copy_bundle.cmake
    COMMENT "Copying NumberPlan_NumberPlan.bundle beside ${target}"
    VERBATIM)
  add_dependencies(${target} ${target}_numberplan_bundle)
endfunction()
