# Run by CPack once the install tree is staged. The input files are the
# user's from the moment they are installed: the installer writes them only
# where they are absent and the uninstaller leaves them, so they leave the
# program tree, whose every file the uninstaller deletes, for a folder of
# their own that NSIS.template.in installs from.
set(user_files ${CPACK_TOPLEVEL_DIRECTORY}/user-files)
file(REMOVE_RECURSE ${user_files})
file(MAKE_DIRECTORY ${user_files})
foreach(name IN LISTS CPACK_OSP_USER_FILES)
    file(RENAME ${CPACK_TEMPORARY_DIRECTORY}/${name} ${user_files}/${name})
endforeach()
