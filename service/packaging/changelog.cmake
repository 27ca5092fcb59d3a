# The package's changelog, whose top entry names the version built: the released entries as they
# are, below an entry of its own for a build between releases.

# Writes `out`: `changelog`, and above it, when `version` is no released one, an entry for it dated
# as its commit, so that the same commit always gives the same file.
function(pellamor_build_changelog changelog version maintainer out)
  pellamor_changelog_version(${changelog} released)
  file(READ ${changelog} entries)
  if(NOT version STREQUAL released)
    string(REGEX MATCH "g([0-9a-f]+)$" commit "${version}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${GIT_EXECUTABLE} log -1
                            "--date=format:%a, %d %b %Y %H:%M:%S %z" --format=%cd
                    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(entries "pellamor-service (${version}) UNRELEASED; urgency=medium

  * Built from commit ${CMAKE_MATCH_1}, after ${released}.

 -- ${maintainer}  ${date}

${entries}")
  endif()
  file(WRITE ${out}.new "${entries}")
  configure_file(${out}.new ${out} COPYONLY)  # untouched when the same, so not compressed again
endfunction()
