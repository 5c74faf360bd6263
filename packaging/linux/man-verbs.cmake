# Writes the VERBS section of kbupdate(1) from the program's own help: the
# verbs listed by `kbupdate --help`, each with the text of `kbupdate help VERB`,
# so that the man page says what the program says.
#   cmake -DKBUPDATE=path/to/kbupdate -DOUTPUT=verbs.h2m -P man-verbs.cmake

execute_process(COMMAND ${KBUPDATE} --help OUTPUT_VARIABLE overview RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${KBUPDATE} --help failed (${rc})")
endif()

# The verbs are the indented lines under "verbs:", up to the next blank line.
string(REPLACE ";" "\\;" overview "${overview}")
string(REPLACE "\n" ";" lines "${overview}")
set(verbs "")
set(in_verbs FALSE)
foreach(line IN LISTS lines)
  if(line STREQUAL "verbs:")
    set(in_verbs TRUE)
  elseif(in_verbs AND line MATCHES "^  ([a-z][a-z0-9-]*) ")
    list(APPEND verbs ${CMAKE_MATCH_1})
  elseif(in_verbs)
    break()
  endif()
endforeach()
if(NOT verbs)
  message(FATAL_ERROR "no verbs found in the output of ${KBUPDATE} --help")
endif()

# Text as roff shows it unchanged: backslashes escaped, a line that starts
# with a control character protected, dashes as the minus sign.
function(roff_literal text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(section "[VERBS]\nEach verb has its own help: \\fBkbupdate help\\fR \\fIVERB\\fR.\n")
foreach(verb IN LISTS verbs)
  execute_process(COMMAND ${KBUPDATE} help ${verb} OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${KBUPDATE} help ${verb} failed (${rc})")
  endif()
  roff_literal("${help}" help)
  string(APPEND section ".SS ${verb}\n.nf\n${help}.fi\n")
endforeach()
file(WRITE ${OUTPUT} "${section}")
