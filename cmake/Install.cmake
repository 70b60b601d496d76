# What `cmake --install` puts beside the fwlaunch binary and its udev
# rules for people who install from source: the manual page, the bash
# completion, the changelog and the copyright file. The Debian package
# (debian/) turns this off and has debhelper install them instead.
# Included from the top-level CMakeLists.txt after the fwlaunch target and
# GNUInstallDirs.

# The manual page and the changelog are installed compressed with
# `gzip -9n`: no file name and no time stamp in the header, so that every
# build gives the same bytes.
find_program(FWLAUNCH_GZIP gzip)
mark_as_advanced(FWLAUNCH_GZIP)
if(NOT FWLAUNCH_GZIP)
  message(FATAL_ERROR "gzip is needed to compress the manual page and the changelog")
endif()

# Compresses SOURCE into the build folder as NAME.gz; the path of the
# result goes into the variable OUTPUT.
function(fwlaunch_compress source name output)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/compressed/${name})
  add_custom_command(OUTPUT ${copy}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
                     COMMAND ${FWLAUNCH_GZIP} -9nf ${copy}
                     DEPENDS ${source}
                     COMMENT "Compressing ${name}"
                     VERBATIM)
  set(${output} ${copy}.gz PARENT_SCOPE)
endfunction()

fwlaunch_compress(${PROJECT_SOURCE_DIR}/doc/fwlaunch.1 fwlaunch.1 _fwlaunch_manpage)
fwlaunch_compress(${PROJECT_SOURCE_DIR}/debian/changelog changelog _fwlaunch_changelog)
add_custom_target(fwlaunch-compressed-docs ALL DEPENDS ${_fwlaunch_manpage} ${_fwlaunch_changelog})

install(FILES ${_fwlaunch_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_fwlaunch_changelog} ${PROJECT_SOURCE_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# bash-completion loads a command's completion on its first TAB from
# bash-completion/completions under every folder of XDG_DATA_DIRS
# (/usr/local/share and /usr/share by default), so the prefix's data
# folder serves.
set(FWLAUNCH_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" CACHE PATH
    "Folder for the bash completion, relative to the install prefix or absolute")
install(FILES ${PROJECT_SOURCE_DIR}/data/bash-completion/fwlaunch DESTINATION ${FWLAUNCH_BASH_COMPLETION_DIR})
