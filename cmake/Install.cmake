# What `cmake --install` puts beside the fwlaunch binary for people who
# install from source: the manual page, the udev rules, the AppStream
# metadata that names the devices the rules open, the changelog and the
# copyright file. The Debian package (debian/) turns this off and has
# debhelper install them instead. Included from the top-level
# CMakeLists.txt after the fwlaunch target and GNUInstallDirs.

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

# Where udev reads rules from. The default comes from udev's pkg-config
# file and is made relative to the install prefix where it can be, so that
# the rules land under a staging prefix or DESTDIR like every other file:
# /usr/lib/udev (or /lib/udev) gives lib/udev/rules.d, that is
# /usr/lib/udev/rules.d for the prefix /usr and /usr/local/lib/udev/rules.d
# (which udev reads too) for /usr/local. Any other folder stays absolute.
set(_fwlaunch_udev_rules_dir lib/udev/rules.d)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(_fwlaunch_udevdir udev udevdir)
  string(REGEX REPLACE "/+$" "" _fwlaunch_udevdir "${_fwlaunch_udevdir}")
  string(LENGTH "${CMAKE_INSTALL_PREFIX}/" _prefix_length)
  string(SUBSTRING "${_fwlaunch_udevdir}/" 0 ${_prefix_length} _head)
  if(_head STREQUAL "${CMAKE_INSTALL_PREFIX}/")
    string(SUBSTRING "${_fwlaunch_udevdir}" ${_prefix_length} -1 _tail)
    set(_fwlaunch_udev_rules_dir "${_tail}/rules.d")
  elseif(_fwlaunch_udevdir MATCHES "^/usr/(.+)$")
    set(_fwlaunch_udev_rules_dir "${CMAKE_MATCH_1}/rules.d")
  elseif(_fwlaunch_udevdir STREQUAL "/lib/udev")
    set(_fwlaunch_udev_rules_dir lib/udev/rules.d)
  elseif(_fwlaunch_udevdir MATCHES "^/")
    set(_fwlaunch_udev_rules_dir "${_fwlaunch_udevdir}/rules.d")
  endif()
endif()
set(FWLAUNCH_UDEV_RULES_DIR "${_fwlaunch_udev_rules_dir}" CACHE PATH
    "Folder for the udev rules, relative to the install prefix or absolute")

install(FILES ${PROJECT_SOURCE_DIR}/data/70-ondrix-fwlaunch.rules
        DESTINATION ${FWLAUNCH_UDEV_RULES_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/invalid.ondrix.fwlaunch.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
