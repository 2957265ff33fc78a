# The station folder's shipped files (share/: Lang/*.lng, ...) are copied next
# to the built executables, so a station run from the build folder finds them
# where it looks: in its own folder. Re-copied when a file changes.
file(GLOB_RECURSE KVX_STATION_FILES CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/share
  ${CMAKE_SOURCE_DIR}/share/*)
set(_kvx_station_outputs)
foreach(_file IN LISTS KVX_STATION_FILES)
  set(_out ${CMAKE_BINARY_DIR}/${_file})
  add_custom_command(OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/share/${_file} ${_out}
    DEPENDS ${CMAKE_SOURCE_DIR}/share/${_file}
    COMMENT "Station file ${_file}")
  list(APPEND _kvx_station_outputs ${_out})
endforeach()
add_custom_target(kvx_station_files ALL DEPENDS ${_kvx_station_outputs})
