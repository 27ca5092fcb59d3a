# A linker script that keeps the agent's small sections inside bigger ones of the same kind.
# Every section of the file ends on a 512-byte boundary, so each costs on average half a block
# of padding, and the runtime's start-up tables (.CRT, with the thread-local initialisers the
# default script leaves loose), its thread-local block (.tls) and its unwind tables (.eh_frame, of
# start-up code that never unwinds) a whole block each for a few bytes. The script is the linker's
# own default, read from the linker at configure time, with contents moved: the two writable
# sections to the end of .data; the read-only data (.rdata, with the unwind tables and the
# runtime's relocation list, which must stay last) to the end of .text, as other linkers merge
# them, since both are read-only. Their own start and end symbols stay around them, so the
# runtime finds its tables as before, and the image's TLS directory still points at the block.

# Removes the output section `name` from `script` and gives back its contents, without braces.
function(pellamor_cut_section script name contents_var script_var)
    set(header "\n  ${name} BLOCK(__section_alignment__) :\n  {\n")
    string(FIND "${script}" "${header}" start)
    if(start EQUAL -1)
        set(${contents_var} "" PARENT_SCOPE)
        set(${script_var} "${script}" PARENT_SCOPE)
        return()
    endif()
    string(LENGTH "${header}" header_length)
    math(EXPR body_start "${start} + ${header_length}")
    string(SUBSTRING "${script}" ${body_start} -1 rest)
    string(FIND "${rest}" "\n  }\n" body_length)
    string(SUBSTRING "${rest}" 0 ${body_length} body)
    math(EXPR after "${body_start} + ${body_length} + 4")
    string(SUBSTRING "${script}" 0 ${start} before)
    string(SUBSTRING "${script}" ${after} -1 tail)
    set(${contents_var} "${body}" PARENT_SCOPE)
    set(${script_var} "${before}${tail}" PARENT_SCOPE)
endfunction()

# Writes the merged script to `path`; fails the configuration when the linker's default script
# does not have the shape this expects (a newer linker), rather than linking some other layout.
function(pellamor_write_merged_sections_script path)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -Wl,--verbose OUTPUT_VARIABLE verbose ERROR_QUIET)
    string(FIND "${verbose}" "==================================================\n" first)
    string(FIND "${verbose}" "\n==================================================" last REVERSE)
    if(first EQUAL -1 OR last LESS_EQUAL first)
        message(FATAL_ERROR "the linker did not show its default script")
    endif()
    math(EXPR first "${first} + 51")
    math(EXPR length "${last} - ${first} + 1")
    string(SUBSTRING "${verbose}" ${first} ${length} script)
    pellamor_cut_section("${script}" .CRT crt script)
    pellamor_cut_section("${script}" .tls tls script)
    pellamor_cut_section("${script}" .eh_frame unwind script)
    pellamor_cut_section("${script}" .rdata rdata script)
    # The relocation list's bounds follow .rdata's block in the default script, and now follow .text's.
    set(list_first "  __rt_psrelocs_size = ")
    set(list_last "__RUNTIME_PSEUDO_RELOC_LIST__ = . - __rt_psrelocs_size;\n")
    string(FIND "${script}" "${list_first}" list_at)
    string(FIND "${script}" "${list_last}" list_end_at)
    if(list_at EQUAL -1 OR list_end_at LESS list_at)
        message(FATAL_ERROR "the linker's default script has an unexpected shape")
    endif()
    string(LENGTH "${list_last}" list_last_length)
    math(EXPR list_length "${list_end_at} + ${list_last_length} - ${list_at}")
    string(SUBSTRING "${script}" ${list_at} ${list_length} list_bounds)
    string(REPLACE "${list_bounds}" "" script "${script}")
    set(data_end "    *(.data_cygwin_nocopy)\n")
    set(rdata_end "    . = ALIGN(4);\n    __rt_psrelocs_start = .;\n")
    set(text_end "     KEEP (*(.gcc_except_table))\n  }\n")
    string(FIND "${script}" "${data_end}" data_at)
    string(FIND "${rdata}" "${rdata_end}" rdata_at)
    string(FIND "${script}" "${text_end}" text_at)
    if(crt STREQUAL "" OR tls STREQUAL "" OR data_at EQUAL -1 OR rdata_at EQUAL -1 OR text_at EQUAL -1)
        message(FATAL_ERROR "the linker's default script has an unexpected shape")
    endif()
    # The thread-local block's own initialiser table (.CRT$XD*) has no place in the default script.
    set(tls_initialisers "    KEEP (*(SORT(.CRT$XD*)))")
    string(REPLACE "${data_end}" "${data_end}    . = ALIGN(4);\n${crt}\n${tls_initialisers}\n    . = ALIGN(4);\n${tls}\n"
           script "${script}")
    string(REPLACE "${rdata_end}" "${unwind}\n${rdata_end}" rdata "${rdata}")
    # The list's bounds stay outside the section, where "." is an address rather than an offset.
    string(REPLACE "${text_end}" "     KEEP (*(.gcc_except_table))\n${rdata}\n  }\n${list_bounds}" script "${script}")
    file(WRITE ${path} "${script}")
endfunction()
