# CPack pre-build step for the .deb: udev rules installed under the packaging
# prefix (/usr/lib/udev/rules.d) move to /lib/udev/rules.d, where Debian's
# packages keep theirs.
set(_staging "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(_prefix_lib "${_staging}${CPACK_PACKAGING_INSTALL_PREFIX}/lib")
set(_from "${_prefix_lib}/udev/rules.d")
set(_to "${_staging}/lib/udev/rules.d")
if(IS_DIRECTORY "${_from}" AND NOT _from STREQUAL _to)
  file(GLOB _rules "${_from}/*.rules")
  file(MAKE_DIRECTORY "${_to}")
  foreach(_rule IN LISTS _rules)
    get_filename_component(_name "${_rule}" NAME)
    file(RENAME "${_rule}" "${_to}/${_name}")
  endforeach()
  # Leave no empty folders behind under the prefix.
  foreach(_dir "${_from}" "${_prefix_lib}/udev" "${_prefix_lib}")
    file(GLOB _left "${_dir}/*")
    if(NOT _left)
      file(REMOVE_RECURSE "${_dir}")
    endif()
  endforeach()
endif()
