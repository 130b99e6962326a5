# Run by cpack after it made the packages (CPACK_POST_BUILD_SCRIPTS). CMake's -dbgsym package
# names its files in md5sums by their absolute path in the build tree, so dpkg --verify and
# lintian cannot match them, and it has no documentation folder. Repacked here with relative
# md5sums and its documentation folder linked to the main package's, which it depends on at
# the exact version (as Debian's own -dbgsym packages do).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  get_filename_component(folder "${package}" DIRECTORY)
  set(work "${folder}/_dbgsym_repack")
  file(REMOVE_RECURSE "${work}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${work}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${work}" "${work}/usr/*")
  list(SORT files)
  set(sums "")
  foreach(file IN LISTS files)
    if(NOT IS_SYMLINK "${work}/${file}")
      # Debug files are data, not programs.
      file(CHMOD "${work}/${file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      file(MD5 "${work}/${file}" sum)
      string(APPEND sums "${sum}  ${file}\n")
    endif()
  endforeach()
  file(WRITE "${work}/DEBIAN/md5sums" "${sums}")
  file(MAKE_DIRECTORY "${work}/usr/share/doc")
  file(CREATE_LINK veltrin-ping "${work}/usr/share/doc/veltrin-ping-dbgsym" SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${work}" "${package}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${work}")
endforeach()
