# Refuses "../" in the #include lines of a layer's folder, before the layer compiles.
# A layer sees only its own include root and those of the folders it uses; a relative path would
# walk from the including file's own folder into any other and so get round that rule.
#
# Included: defines pellamor_refuse_relative_includes(target folder).
# Run as a script (cmake -DFOLDER=dir -DSTAMP=file -P RelativeIncludes.cmake): checks every header
# and source under FOLDER and, when none reaches out, touches STAMP.

if(CMAKE_SCRIPT_MODE_FILE)
  # The lines that name a header through "../", as "file:line: text".
  function(relative_includes_of file out)
    file(READ ${file} content)
    set(found "")
    if(content MATCHES "#[ \t]*include[^\n]*\\.\\./")
      # One list element per line: the characters that a list gives meaning to are blanked first.
      string(REGEX REPLACE "[][;\\\\]" " " content "${content}")
      string(REPLACE "\n" ";" lines "${content}")
      set(number 0)
      foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*[<\"][^>\"]*\\.\\./")
          string(STRIP "${line}" line)
          list(APPEND found "${file}:${number}: ${line}")
        endif()
      endforeach()
    endif()
    set(${out} "${found}" PARENT_SCOPE)
  endfunction()

  file(GLOB_RECURSE files ${FOLDER}/*.h ${FOLDER}/*.cpp)
  set(offenders "")
  foreach(file IN LISTS files)
    relative_includes_of(${file} found)
    list(APPEND offenders ${found})
  endforeach()
  if(offenders)
    # Each line as a compiler writes its errors, unwrapped, so that an editor can go to it.
    foreach(offender IN LISTS offenders)
      message(NOTICE "${offender}")
    endforeach()
    message(FATAL_ERROR "An #include with \"../\" gets round the layers: name the header by its folder, "
                        "as in \"core/Heap.h\", from a layer that uses that folder.")
  endif()
  file(TOUCH ${STAMP})
  return()
endif()

set(PELLAMOR_RELATIVE_INCLUDES_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# The check runs again whenever a file of the folder changes, or one is added.
function(pellamor_refuse_relative_includes target folder)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS ${folder}/*.h ${folder}/*.cpp)
  get_filename_component(name ${folder} NAME)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/include-checks)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/include-checks/${target}.checked)
  add_custom_command(OUTPUT ${stamp}
                     COMMAND ${CMAKE_COMMAND} -DFOLDER=${folder} -DSTAMP=${stamp} -P ${PELLAMOR_RELATIVE_INCLUDES_SCRIPT}
                     DEPENDS ${files} ${PELLAMOR_RELATIVE_INCLUDES_SCRIPT}
                     COMMENT "Checking that ${name}/ names its headers by folder" VERBATIM)
  add_custom_target(${target}_includes DEPENDS ${stamp})
  add_dependencies(${target} ${target}_includes)
endfunction()
