# The build's version, read from the project's history so that every build names itself.
#
# In a git checkout: the nearest tag vX.Y.Z (else the changelog's top entry), then the number of
# commits since the first one and the commit itself, as 1.0.0+git422.g56f47c85ab6a. The count
# grows with every commit whatever is tagged, so dpkg takes a later commit for a newer build.
# Outside one (a source tarball), the changelog's top entry.

# The version of the changelog's top entry: "pellamor-service (1.0.0) stable; ...".
function(pellamor_changelog_version changelog out)
  file(STRINGS ${changelog} top LIMIT_COUNT 1)
  string(REGEX MATCH "^[^ ]+ \\(([^)]+)\\)" entry "${top}")
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# What `git ARGS...` prints in `top`, or nothing when it fails.
function(pellamor_git top out)
  execute_process(COMMAND ${GIT_EXECUTABLE} ${ARGN} WORKING_DIRECTORY ${top} OUTPUT_VARIABLE said
                  RESULT_VARIABLE failed ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed)
    set(said "")
  endif()
  set(${out} "${said}" PARENT_SCOPE)
endfunction()

# Whether `top` is itself a checkout's top, not a tarball unpacked inside some other checkout.
function(pellamor_is_checkout top out)
  find_package(Git QUIET)
  set(${out} FALSE PARENT_SCOPE)
  if(GIT_FOUND)
    pellamor_git(${top} toplevel rev-parse --show-toplevel)
    get_filename_component(real_top "${top}" REALPATH)
    if(toplevel AND EXISTS "${toplevel}")
      get_filename_component(real_toplevel "${toplevel}" REALPATH)
      if(real_toplevel STREQUAL real_top)
        set(${out} TRUE PARENT_SCOPE)
      endif()
    endif()
  endif()
endfunction()

# A new commit moves HEAD's branch (or HEAD itself, detached): either asks for a new configure.
function(pellamor_configure_on_commit top)
  pellamor_git(${top} branch symbolic-ref -q HEAD)
  foreach(name HEAD ${branch} packed-refs)
    pellamor_git(${top} path rev-parse --git-path ${name})
    get_filename_component(path "${path}" ABSOLUTE BASE_DIR "${top}")
    if(EXISTS "${path}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
    endif()
  endforeach()
endfunction()

# Sets `out` to the version of the tree at `top`, whose changelog is `changelog`.
function(pellamor_version top changelog out)
  pellamor_changelog_version(${changelog} released)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${changelog}")
  pellamor_is_checkout(${top} checkout)
  if(NOT checkout)
    set(${out} "${released}" PARENT_SCOPE)
    return()
  endif()
  pellamor_git(${top} tag describe --tags --abbrev=0 --match "v[0-9]*")
  pellamor_git(${top} count rev-list --count HEAD)
  pellamor_git(${top} commit rev-parse --short=12 HEAD)
  string(REGEX REPLACE "^v" "" base "${tag}")
  if(NOT base)
    set(base "${released}")
  endif()
  pellamor_configure_on_commit(${top})
  set(${out} "${base}+git${count}.g${commit}" PARENT_SCOPE)
endfunction()
