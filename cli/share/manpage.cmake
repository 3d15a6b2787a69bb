# Writes peiboard's man page from its own --help, the top level's and each command's, so the
# page says what the program says. Run by the build:
#   cmake -DPEIBOARD=path/to/peiboard -DVERSION=x.y.z -DOUT=peiboard.1 -P manpage.cmake
function(help_of out_var)
  execute_process(COMMAND ${PEIBOARD} ${ARGN} --help OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "peiboard ${ARGN} --help: exit ${rc}")
  endif()
  string(REPLACE "Usage: ${PEIBOARD}" "Usage: peiboard" text "${text}")
  # roff: a backslash is written \e, a line may not start with . or '.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

help_of(top)
string(REGEX MATCH "Subcommands:\n(.*)" listed "${top}")
string(REGEX MATCHALL "\n  [a-z]+" commands "${listed}")
set(page ".TH PEIBOARD 1 \"\" \"peiboard ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\npeiboard \\- boots the board's PEI module image on an emulated board\n")
string(APPEND page ".SH SYNOPSIS\n.B peiboard\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]\n")
string(APPEND page ".SH DESCRIPTION\n.nf\n${top}.fi\n.SH COMMANDS\n")
foreach(command IN LISTS commands)
  string(STRIP "${command}" command)
  help_of(help ${command})
  string(APPEND page ".SS ${command}\n.nf\n${help}.fi\n")
endforeach()
string(APPEND page ".SH EXIT STATUS\n0 done, 1 a check failed, the module faulted, hung or halted, or an image is "
                   "broken, 2 bad input or usage.\n.SH SEE ALSO\nThe README of the project.\n")
file(WRITE ${OUT} "${page}")
