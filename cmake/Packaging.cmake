# Installs the manual page, the udev rules, the changelog and the
# copyright file next to the fwlaunch binary, and describes the Debian
# package that `cpack -G DEB` builds from them. Included from the
# top-level CMakeLists.txt after the fwlaunch target and GNUInstallDirs.

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
fwlaunch_compress(${PROJECT_SOURCE_DIR}/packaging/changelog changelog _fwlaunch_changelog)
add_custom_target(fwlaunch-compressed-docs ALL DEPENDS ${_fwlaunch_manpage} ${_fwlaunch_changelog})

install(FILES ${_fwlaunch_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_fwlaunch_changelog} ${PROJECT_SOURCE_DIR}/packaging/copyright
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

# The Debian package: `cpack -G DEB` in the build folder.
set(CPACK_PACKAGE_NAME fwlaunch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ondrix")
set(CPACK_PACKAGE_CONTACT "fwlaunch maintainers <fwlaunch@ondrix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware update launcher for ondrix USB devices")
set(CPACK_PACKAGE_DESCRIPTION
    "fwlaunch switches an ondrix USB device from normal mode (HID 040e:f408)
into its USB bootloader (040e:f003) and hands the firmware image to
dfu-util. Its udev rules let the user at the local seat run it without
sudo.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY fwlaunch)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dfu-util does the download. The libraries the binary links (the hidraw
# flavour of hidapi, libudev, libc) come with their versions from dpkg-shlibdeps
# where it is there, and are named by hand where it is not.
find_program(FWLAUNCH_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(FWLAUNCH_DPKG_SHLIBDEPS)
if(FWLAUNCH_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "dfu-util")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libhidapi-hidraw0, libudev1, dfu-util, libc6, libstdc++6")
endif()

include(CPack)
