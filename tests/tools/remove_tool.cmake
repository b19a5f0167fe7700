# Runs brevlo-catalog remove on a receipt written here: the dry run, a removal that keeps what
# changed, the second that takes the rest, the third that finds no receipt; exact output and
# exit statuses.
# -DTOOL=<exe> -DEMULATOR=<wine or empty> -DWORK=<scratch folder>
cmake_policy(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/data)
if(NOT EMULATOR)
  # Natively the receipts of a prefix of its own are looked through.
  file(MAKE_DIRECTORY ${WORK}/prefix/drive_c/windows ${WORK}/prefix/dosdevices)
  file(CREATE_LINK ../drive_c ${WORK}/prefix/dosdevices/c: SYMBOLIC)
  file(CREATE_LINK / ${WORK}/prefix/dosdevices/z: SYMBOLIC)
  file(WRITE ${WORK}/prefix/user.reg "WINE REGISTRY Version 2\n\n")
  file(WRITE ${WORK}/prefix/system.reg "WINE REGISTRY Version 2\n\n")
  set(ENV{WINEPREFIX} ${WORK}/prefix)
  set(shown ${WORK}/r.xml)
else()
  set(shown r.xml)
endif()

function(run code want)
  execute_process(COMMAND ${EMULATOR} ${TOOL} ${ARGN} WORKING_DIRECTORY ${WORK}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL code OR (NOT want STREQUAL "*" AND NOT out STREQUAL want))
    message(FATAL_ERROR "${ARGN}: exit ${rc} (wanted ${code})\n${out}--- wanted\n${want}\n${err}")
  endif()
  set(err "${err}" PARENT_SCOPE)
endfunction()

# The product after an import into "<albums/>" of album Z, with the file and folder it placed.
string(REPLACE "/" "\\" data "Z:${WORK}/data")
file(WRITE ${WORK}/before.xml "<mirvo><albums/></mirvo>\r\n")
file(READ ${WORK}/before.xml before HEX)
file(WRITE ${WORK}/data/config.xml "<mirvo><albums>\r\n<album name=\"Z\"/>\r\n</albums></mirvo>\r\n")
file(MAKE_DIRECTORY ${WORK}/data/sub)
file(WRITE ${WORK}/data/sub/a.png "a!")
file(SHA256 ${WORK}/data/sub/a.png sha)
set(receipt "<?xml version=\"1.0\" encoding=\"us-ascii\"?>
<receipt version=\"1\" date=\"2026-12-07T18:00:00Z\">
\t<product folder=\"${data}\"/>
\t<pack folder=\"Z:\\packs\\marks\"/>
\t<folder path=\"sub\"/>
\t<file path=\"sub\\a.png\" size=\"2\" sha256=\"${sha}\"/>
\t<change kind=\"album\" album=\"Z\" parent=\"empty-tag\" text=\"&lt;album name=&quot;Z&quot;/&gt;\"/>
</receipt>
")
file(WRITE ${WORK}/r.xml "${receipt}")
set(head "receipt  ${shown}\nproduct  ${data}\npack     Z:\\packs\\marks, imported 2026-12-07T18:00:00Z\n")

file(READ ${WORK}/data/config.xml imported HEX)
run(0 "dry run: nothing is changed\n${head}remove   album \"Z\"\ndelete   file sub\\a.png\nremove   folder sub\n3 to take out, 0 to keep; add --apply to take the pack out\n"
  remove r.xml)
file(READ ${WORK}/data/config.xml now HEX)
if(NOT now STREQUAL imported OR NOT EXISTS ${WORK}/data/sub/a.png)
  message(FATAL_ERROR "the dry run changed the product")
endif()

file(WRITE ${WORK}/data/sub/a.png "A!")
run(1 "${head}remove   album \"Z\"\nkeep     file sub\\a.png: changed since the import\nkeep     folder sub: it holds more than the import put there\ntook out 1, kept 2; the receipt now lists only what was kept, for a later remove\n"
  remove r.xml --apply)
file(READ ${WORK}/data/config.xml now HEX)
file(READ ${WORK}/r.xml rewritten)
if(NOT now STREQUAL before OR rewritten MATCHES "<change" OR NOT rewritten MATCHES "<file path=\"sub")
  message(FATAL_ERROR "after the first removal:\n${now}\n${rewritten}")
endif()

file(WRITE ${WORK}/data/sub/a.png "a!")
run(0 "${head}delete   file sub\\a.png\nremove   folder sub\ntook out 2, kept 0; the receipt was deleted\n"
  remove r.xml --apply)
file(GLOB left RELATIVE ${WORK}/data ${WORK}/data/*)
file(READ ${WORK}/data/config.xml now HEX)
if(NOT now STREQUAL before OR NOT left STREQUAL "config.xml" OR EXISTS ${WORK}/r.xml)
  message(FATAL_ERROR "after the second removal: ${left}\n${now}")
endif()
run(2 "" remove r.xml --apply)
if(NOT err STREQUAL "brevlo-catalog: r.xml: no such receipt\n")
  message(FATAL_ERROR "a receipt removed twice: ${err}")
endif()
run(64 "" remove a --bogus)
# A catalog the import would refuse stops the removal before anything changes.
file(WRITE ${WORK}/r.xml "${receipt}")
file(WRITE ${WORK}/data/config.xml "<mirvo>")
run(2 "${head}" remove r.xml --apply)
if(NOT err MATCHES "^brevlo-catalog: remove: the catalog .*config.xml is not well-formed XML: ")
  message(FATAL_ERROR "a catalog that does not parse: ${err}")
endif()
