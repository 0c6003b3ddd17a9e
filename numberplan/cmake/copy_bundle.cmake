# cmake -DSOURCE=<bundle dir> -DDESTINATION=<dir> -P copy_bundle.cmake
# Mirrors the bundle into DESTINATION: changed files copied, files gone from the source removed. Does nothing
# while the bundle does not exist yet.
if(NOT EXISTS "${SOURCE}")
  return()
endif()
file(COPY "${SOURCE}/" DESTINATION "${DESTINATION}")
file(GLOB_RECURSE copied RELATIVE "${DESTINATION}" "${DESTINATION}/*")
foreach(item IN LISTS copied)
  if(NOT EXISTS "${SOURCE}/${item}")
    file(REMOVE "${DESTINATION}/${item}")
  endif()
endforeach()
