# Installs the udev rules that give the user at the local seat access to
# the ondrix device in both modes. Included from the top-level
# CMakeLists.txt after GNUInstallDirs; the Debian package installs them
# this way too.

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
