# Writes the tool's man page from its own help (cmake -P, at build time):
# help2man turns `zentrel --help` and `--version` into the page, each
# command's --help becomes a subsection of OPTIONS, and the examples and
# references come from cli/zentrel.h2m. So the help text is the one source.
#   cmake -DTOOL=... -DHELP2MAN=... -DEXTRAS=... -DOUTPUT=... -P write_man_page.cmake
foreach(var TOOL HELP2MAN EXTRAS OUTPUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()

set(include_file ${OUTPUT}.h2m)
file(READ ${EXTRAS} include_text)
string(APPEND include_text "[>OPTIONS]\n")
foreach(command repeat tile rectify)
    execute_process(COMMAND ${TOOL} ${command} --help
        OUTPUT_VARIABLE help RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${TOOL} ${command} --help failed: ${status}")
    endif()
    # Verbatim, with roff's escape, hyphen and control characters made plain.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REPLACE "-" "\\-" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(APPEND include_text ".SS ${command}\n.nf\n${help}.fi\n")
endforeach()
file(WRITE ${include_file} "${include_text}")

execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr
        "--name=find the repeat rectangle and the repeat unit of patterned images, and rectify perspective"
        --include=${include_file} --output=${OUTPUT} ${TOOL}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed: ${status}")
endif()
