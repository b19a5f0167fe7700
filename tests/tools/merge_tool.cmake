# Runs brevlo-catalog merge on the worked example and on bad inputs.
# -DTOOL=<exe> -DEMULATOR=<wine or empty> -DDATA=<tests/data/worked> -DWORK=<scratch folder>
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${DATA}/product.xml DESTINATION ${WORK})
set(run ${EMULATOR} ${TOOL} merge)

function(expect_exit code)
  execute_process(COMMAND ${run} ${ARGN} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL code)
    message(FATAL_ERROR "merge ${ARGN}: exit ${rc}, wanted ${code}: ${err}")
  endif()
endfunction()

expect_exit(0 ${WORK}/product.xml ${DATA}/pack.xml -o ${WORK}/out.xml)
file(READ ${WORK}/out.xml got HEX)
file(READ ${DATA}/expected.xml want HEX)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "merged catalog differs from the worked example")
endif()
file(READ ${WORK}/product.xml product HEX)
file(READ ${DATA}/product.xml original HEX)
if(NOT product STREQUAL original)
  message(FATAL_ERROR "the product catalog was written")
endif()

# To standard output, the same bytes.
execute_process(COMMAND ${run} ${WORK}/product.xml ${DATA}/pack.xml
  RESULT_VARIABLE rc OUTPUT_FILE ${WORK}/stdout.xml)
file(READ ${WORK}/stdout.xml printed HEX)
if(NOT rc EQUAL 0 OR NOT printed STREQUAL want)
  message(FATAL_ERROR "merge to standard output: exit ${rc} or different text")
endif()

expect_exit(1 ${WORK}/missing.xml ${DATA}/pack.xml)
expect_exit(1 ${WORK}/product.xml ${DATA}/broken.xml)
expect_exit(1 ${DATA}/other.xml ${DATA}/pack.xml -o ${WORK}/o.xml)
expect_exit(2 ${WORK}/product.xml ${DATA}/pack.xml -o ${WORK}/no-folder/out.xml)
if(EXISTS ${WORK}/o.xml)
  message(FATAL_ERROR "a refused merge wrote its output")
endif()
