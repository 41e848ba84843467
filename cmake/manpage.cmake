# Writes the manual page OUT from the template IN, replacing @HELP@ with the
# program's --help text (and, with SUBCOMMANDS set, each command's --help), so
# that the page lists exactly the options the program takes, and @FILES_SECTION@
# with the roff file FILES.
function(run_help out)
  execute_process(COMMAND ${PROG} ${ARGN} --help OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROG} ${ARGN} --help failed (${rc}): ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Preformatted roff: backslashes and dashes escaped, no line taken for a request.
function(to_roff text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REGEX REPLACE "\n$" "" text "${text}")
  set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

run_help(main)
to_roff("${main}" HELP)
if(SUBCOMMANDS)
  # Commands are the indented first words of the "commands:" block.
  string(REGEX REPLACE ".*\ncommands:\n" "" block "${main}")
  string(REGEX REPLACE "\n\n.*" "" block "${block}")
  string(REPLACE "\n" ";" lines "${block}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^  ([a-z][a-z0-9-]*)")
      set(cmd ${CMAKE_MATCH_1})
      run_help(sub ${cmd})
      to_roff("${sub}" roff)
      string(APPEND HELP ".SS ${cmd}\n${roff}")
    endif()
  endforeach()
endif()
# The FILES section the pages share.
set(FILES_SECTION "")
if(FILES)
  file(READ ${FILES} FILES_SECTION)
endif()
configure_file(${IN} ${OUT} @ONLY)
