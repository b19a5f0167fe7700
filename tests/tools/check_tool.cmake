# Runs brevlo-catalog check on the sample pack, the broken sample pack and catalogs broken in
# each way a pack can be, and the command-line conventions of the tool.
# -DTOOL=<exe> -DEMULATOR=<wine or empty> -DSOURCE=<source tree> -DWORK=<scratch folder>
# -DVERSION=<project version>
cmake_policy(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(native TRUE)
if(EMULATOR)
  set(native FALSE)
endif()

# run(<exit status> <stdout want, or * for any> args...): stderr must be empty unless the
# status says the command line was wrong.
function(run code want)
  execute_process(COMMAND ${EMULATOR} ${TOOL} ${ARGN} WORKING_DIRECTORY ${WORK}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL code OR (NOT want STREQUAL "*" AND NOT out STREQUAL want))
    message(FATAL_ERROR "${ARGN}: exit ${rc} (wanted ${code})\n${out}--- wanted\n${want}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

function(to_936 file)
  execute_process(COMMAND iconv -f UTF-8 -t CP936 ${file} OUTPUT_FILE ${file}.936
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "iconv ${file}: ${rc}")
  endif()
  file(RENAME ${file}.936 ${file})
endfunction()

# The sample pack is clean in code page 936, as the demo installs it, and in UTF-8 as kept;
# kept in UTF-8 but read in 936 (or 1252), the import refuses it.
file(COPY ${SOURCE}/examples/pack/marks DESTINATION ${WORK})
run(0 "marks: 0 errors, 0 warnings\n" check marks --codepage 65001)
foreach(cp 936 1252)
  run(1 "config.xml:4:16: error: the catalog seems to be UTF-8 text; it must be text of code page ${cp}: the import refuses it\nmarks: 1 error, 0 warnings\n"
    check marks --codepage ${cp})
endforeach()
to_936(${WORK}/marks/config.xml)
run(0 "marks: 0 errors, 0 warnings\n" check marks/)
file(REMOVE_RECURSE ${WORK}/marks)

# The broken pack shows each finding exactly once. Names Windows refuses (one with control
# characters, shown escaped so that its findings keep a line each), paths too long,
# links and special files cannot be checked in; the native build adds them here.
file(COPY ${SOURCE}/examples/broken/marks DESTINATION ${WORK})
file(STRINGS ${SOURCE}/tests/data/check/broken.txt want ENCODING UTF-8)
set(errors 5)
set(warnings 4)
if(native)
  set(m ${WORK}/marks)
  string(ASCII 27 esc)
  file(TOUCH ${m}/summer/CON.png "${m}/summer/a?b.png" "${m}/summer/dot.png." ${m}/frames/한.png
    "${m}/summer/${esc}c\nx.png")
  string(REPEAT x 120 x120)
  string(REPEAT y 110 y110)
  file(MAKE_DIRECTORY ${m}/long/${x120})
  file(TOUCH ${m}/long/${x120}/${y110}.png)
  file(CREATE_LINK beach.png ${m}/summer/link.png SYMBOLIC)
  execute_process(COMMAND mkfifo ${m}/summer/pipe)
  file(STRINGS ${SOURCE}/tests/data/check/extras.txt extras ENCODING UTF-8)
  list(TRANSFORM extras REPLACE "LONG" "long/${x120}/${y110}.png")
  list(APPEND want ${extras})
  math(EXPR errors "${errors} + 6")
  math(EXPR warnings "${warnings} + 8")
endif()
run(1 * check marks)
string(REGEX REPLACE "\n$" "" out "${out}")
string(REPLACE "\n" ";" got "${out}")
list(POP_BACK got summary)
if(NOT summary STREQUAL "marks: ${errors} errors, ${warnings} warnings")
  message(FATAL_ERROR "summary: ${summary}")
endif()
list(SORT got)
list(SORT want)
if(NOT got STREQUAL want)
  string(REPLACE ";" "\n" got "${got}")
  string(REPLACE ";" "\n" want "${want}")
  message(FATAL_ERROR "check of the broken pack:\n${got}\n--- wanted\n${want}")
endif()
file(REMOVE_RECURSE ${WORK}/marks)

# Catalogs that stop the check at once: one line each.
file(MAKE_DIRECTORY ${WORK}/p)
foreach(case
    "<mirvo><albums></mirvo>|config.xml:1:17: error: not well-formed: End tag 'mirvo' at offset 16 does not match start tag 'albums' at offset 7"
    "<mirvo><albums/></mirvo>\n<x/>|config.xml: error: not well-formed: Root element has sibling"
    "|config.xml: error: not well-formed: Empty document")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 text)
  list(GET case 1 line)
  file(WRITE ${WORK}/p/config.xml "${text}")
  run(1 "${line}\np: 1 error, 0 warnings\n" check p)
endforeach()
# A catalog of another form is merged as the walk reads it: a warning for the author.
file(WRITE ${WORK}/p/config.xml "<root><album name='a'/></root>")
run(0 "config.xml: warning: not of the catalog form (a root \"mirvo\" with \"albums\"): the import merges the \"album\" elements one level higher, and refuses the pack for a product that has no catalog yet\np: 0 errors, 1 warning\n"
  check p)
file(REMOVE ${WORK}/p/config.xml)
run(1 "config.xml: error: the pack has no catalog\np: 1 error, 0 warnings\n" check p)
run(1 * check missing)
if(NOT out MATCHES "^\\.: error: the pack folder cannot be read: [^\n]+\nmissing: 1 error, 0 warnings\n$")
  message(FATAL_ERROR "a pack folder that cannot be listed: ${out}")
endif()
# Text for people in UTF-8 when redirected; in a Windows console, wide, which Wine's console
# shows on its terminal (here a pseudo-terminal from script) in UTF-8 again.
file(MAKE_DIRECTORY ${WORK}/素材)
set(none "config.xml: error: the pack has no catalog\n素材: 1 error, 0 warnings\n")
run(1 "${none}" check 素材)
find_program(SCRIPT script)
if(NOT native AND SCRIPT)
  execute_process(COMMAND ${SCRIPT} -qec "${EMULATOR} ${TOOL} check 素材" /dev/null
    WORKING_DIRECTORY ${WORK} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 1 OR NOT out MATCHES "素材: 1 error, 0 warnings")
    message(FATAL_ERROR "check in a console: exit ${rc}\n${out}")
  endif()
endif()
file(MAKE_DIRECTORY ${WORK}/p/config.xml)
run(1 * check p)
if(NOT out MATCHES "^config.xml: error: cannot be read: [^\n]+\np: 1 error, 0 warnings\n$")
  message(FATAL_ERROR "a catalog that cannot be read: ${out}")
endif()

# Conventions: help and version on standard output, usage errors apart.
run(0 * --help)
if(NOT out MATCHES "usage: brevlo-catalog check PACK_FOLDER" OR NOT out MATCHES "64  the command")
  message(FATAL_ERROR "--help: ${out}")
endif()
run(0 "brevlo-catalog ${VERSION}\n" --version)
foreach(args "" "frobnicate" "check" "check;p;--codepage;3" "check;p;--codepage;4" "check;p;--codepage;x"
    "index" "index;a;b" "merge;a" "merge;a;b;-o" "merge;a;b;--bogus")
  run(64 "" ${args})
  if(NOT err MATCHES "^brevlo-catalog: .*Try 'brevlo-catalog --help'")
    message(FATAL_ERROR "usage error ${args}: ${err}")
  endif()
endforeach()
run(64 "" index x.xml --encoding latin9)
if(NOT err MATCHES "unknown encoding \"latin9\"; known: ansi, utf-8")
  message(FATAL_ERROR "unknown encoding: ${err}")
endif()
run(2 "" index ${WORK}/missing.xml)
if(NOT err MATCHES "^brevlo-catalog: .*missing.xml: .")
  message(FATAL_ERROR "unreadable file: ${err}")
endif()
if(native)
  execute_process(COMMAND ${TOOL} --help OUTPUT_FILE /dev/full RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 2 OR NOT err MATCHES "standard output could not be written")
    message(FATAL_ERROR "a full standard output: exit ${rc}: ${err}")
  endif()
endif()
