# The hardening Debian gives the programs it builds, for every build of
# the launcher's own sources whatever the build type: the stack protector
# (strong), fortified functions (_FORTIFY_SOURCE=2, which needs
# optimisation), stack-clash and control-flow protection where the
# compiler takes them, format-string checks, read-only relocations with
# immediate binding (RELRO, BIND_NOW), and a position-independent
# executable. The flags go onto the interface target given.
# Included from the top-level CMakeLists.txt; not for the sanitizer build,
# which has flags of its own, nor for the Debian package's, which takes
# the same flags from dpkg-buildflags (FWLAUNCH_HARDENING=OFF).

include(CheckCXXCompilerFlag)

# Whether the flags of the chosen build type optimise: the last -O option
# counts, and -O0 or none at all means no.
function(fwlaunch_build_type_optimises result)
  string(TOUPPER "${CMAKE_BUILD_TYPE}" type)
  string(REGEX MATCHALL "(^| )-O[^ ]*" levels "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${type}}")
  set(${result} NO PARENT_SCOPE)
  if(levels)
    list(GET levels -1 last)
    string(STRIP "${last}" last)
    if(NOT last STREQUAL "-O0")
      set(${result} YES PARENT_SCOPE)
    endif()
  endif()
endfunction()

function(fwlaunch_harden target)
  target_compile_options(${target} INTERFACE
    -fstack-protector-strong -Wformat -Werror=format-security -fPIE)
  # Undefined first: a _FORTIFY_SOURCE the compiler or the caller already
  # defines would otherwise draw a redefinition warning.
  target_compile_options(${target} INTERFACE -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
  fwlaunch_build_type_optimises(optimises)
  if(NOT optimises)
    target_compile_options(${target} INTERFACE -O2)
  endif()
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "FWLAUNCH_HAS${flag}" known)
    check_cxx_compiler_flag(${flag} ${known})
    if(${known})
      target_compile_options(${target} INTERFACE ${flag})
    endif()
  endforeach()
  target_link_options(${target} INTERFACE -pie -Wl,-z,relro -Wl,-z,now)
endfunction()
