# Reads the expected publisher and issuer from signature/expected_publisher.txt
# (their one definition, also read by tools/publisher/check-installer) into
# LOOMCRAFT_EXPECTED_PUBLISHER and LOOMCRAFT_EXPECTED_ISSUER, escaped for a
# wide string literal, and regenerates when the file changes.
function(read_expected_publisher file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  file(STRINGS "${file}" lines ENCODING UTF-8)
  foreach(name publisher issuer)
    set(value "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^${name}=(.*)$")
        set(value "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    if(value STREQUAL "")
      message(FATAL_ERROR "${file}: no ${name}=NAME line")
    endif()
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    string(TOUPPER "${name}" upper)
    set(LOOMCRAFT_EXPECTED_${upper} "${value}" PARENT_SCOPE)
  endforeach()
endfunction()
