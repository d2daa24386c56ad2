# Makes a man page from a program's --help and --version:
#   cmake -DPROGRAM=path -DNAME=name "-DSUMMARY=one line" -DOUTPUT=file.1 -P help_to_man.cmake
# The help text is kept as written, preformatted, under DESCRIPTION.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE help_status)
execute_process(COMMAND ${PROGRAM} --version OUTPUT_VARIABLE version RESULT_VARIABLE version_status)
if(NOT help_status EQUAL 0 OR NOT version_status EQUAL 0)
  message(FATAL_ERROR "${NAME}: --help or --version failed")
endif()
string(STRIP "${version}" version)
string(REGEX REPLACE "^[^ ]+ " "" version "${version}")
# The first line is the usage.
string(FIND "${help}" "\n" end)
string(SUBSTRING "${help}" 0 ${end} usage)
math(EXPR end "${end} + 1")
string(SUBSTRING "${help}" ${end} -1 body)
string(REPLACE "Usage: " "" usage "${usage}")
# roff: a backslash is \e, and a line may not begin with a dot or a quote.
foreach(part usage body)
  string(REPLACE "\\" "\\e" ${part} "${${part}}")
  string(REPLACE "\n." "\n\\&." ${part} "${${part}}")
  string(REPLACE "\n'" "\n\\&'" ${part} "${${part}}")
  string(REPLACE "\n-" "\n\\-" ${part} "${${part}}")
endforeach()
file(WRITE ${OUTPUT}
  ".TH ${NAME} 1 \"\" \"${NAME} ${version}\" \"User Commands\"\n"
  ".SH NAME\n${NAME} \\- ${SUMMARY}\n"
  ".SH SYNOPSIS\n.B ${usage}\n"
  ".SH DESCRIPTION\n.nf\n${body}.fi\n")
