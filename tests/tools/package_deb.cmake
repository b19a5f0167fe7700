# Makes the .deb of this build, unpacks it into a scratch root and runs the tools from there.
# -DCPACK=<cpack> -DBUILD=<build folder> -DWORK=<scratch folder> -DVERSION=<project version>
# -DSOURCE=<source folder>
cmake_policy(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${WORK}
  RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB debs ${WORK}/brevlo_${VERSION}_*.deb)
list(LENGTH debs n)
if(NOT rc EQUAL 0 OR NOT n EQUAL 1)
  message(FATAL_ERROR "cpack: ${rc}, packages ${debs}\n${log}")
endif()

function(run want)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "${want}")
    message(FATAL_ERROR "${ARGN}: exit ${rc}\n${out}${err}")
  endif()
endfunction()

run("^brevlo ${VERSION} .*libc6" dpkg-deb -W "--showformat=\${Package} \${Version} \${Depends}" ${debs})
run("" dpkg-deb -x ${debs} ${WORK}/root)
set(usr ${WORK}/root/usr)
run("^brevlo-catalog ${VERSION}\n$" ${usr}/bin/brevlo-catalog --version)
run("^brevlo ${VERSION}\n$" ${usr}/bin/brevlo --version)
run("Brevlo guide for pack authors" cat ${usr}/share/doc/brevlo/pack-guide.txt)
# The sample pack is installed as packs ship it, in code page 936, and checks clean.
run(": 0 errors, 0 warnings\n$"
  ${usr}/bin/brevlo-catalog check ${usr}/share/doc/brevlo/examples/marks)
# A manual page for each tool, of this version, that man renders without a warning; the
# copyright file in Debian's machine-readable format.
foreach(page brevlo brevlo-catalog)
  string(TOUPPER "${page}" title)
  string(REPLACE "-" "\\\\-" title "${title}")
  run("\n\\.TH ${title} 1 [^\n]* \"Brevlo ${VERSION}\"" gzip -dc ${usr}/share/man/man1/${page}.1.gz)
  execute_process(COMMAND man --warnings -l -P cat ${usr}/share/man/man1/${page}.1.gz
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR NOT out MATCHES "EXIT STATUS" OR
     (page STREQUAL "brevlo-catalog" AND NOT out MATCHES "receipts.*remove RECEIPT"))
    message(FATAL_ERROR "man ${page}: exit ${rc}\n${err}")
  endif()
endforeach()
run("^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n.*\nFiles: \\*\nCopyright: [^\n]+\nLicense: [^\n]+\n"
  cat ${usr}/share/doc/brevlo/copyright)

# The installed tool stands in /usr/bin, away from any pack: `brevlo marks` run in an unpacked
# pack's folder imports that pack into the product of a scratch prefix, and
# `brevlo-catalog remove --apply` takes it out again, byte for byte.
set(prefix ${WORK}/prefix)
# A product without a version keeps its data in C:\\Mirvo\\Data.
set(product ${prefix}/drive_c/Mirvo/Data)
file(MAKE_DIRECTORY ${prefix}/drive_c/windows ${prefix}/drive_c/MirvoPix ${prefix}/dosdevices
  ${WORK}/pack)
file(CREATE_LINK ../drive_c ${prefix}/dosdevices/c: SYMBOLIC)
file(CREATE_LINK / ${prefix}/dosdevices/z: SYMBOLIC)
file(WRITE ${prefix}/user.reg
  "WINE REGISTRY Version 2\n\n[Software\\\\Mirvo] 1700000000\n\"Install Path\"=\"C:\\\\MirvoPix\"\n")
file(COPY ${SOURCE}/examples/product/data/ DESTINATION ${product})
run("" iconv -f UTF-8 -t CP936 -o ${WORK}/product.xml ${product}/marks/config.xml)
file(RENAME ${WORK}/product.xml ${product}/marks/config.xml)
file(COPY ${product}/ DESTINATION ${WORK}/before)
file(COPY ${usr}/share/doc/brevlo/examples/marks DESTINATION ${WORK}/pack)
set(env ${CMAKE_COMMAND} -E env WINEPREFIX=${prefix} LC_ALL=zh_CN.UTF-8 USER=packtest)
execute_process(COMMAND ${env} ${usr}/bin/brevlo marks WORKING_DIRECTORY ${WORK}/pack
  INPUT_FILE /dev/null RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT EXISTS ${product}/marks/frames/wood.png)
  message(FATAL_ERROR "brevlo marks in the pack's folder: exit ${rc}\n${out}${err}")
endif()
file(GLOB receipts ${prefix}/drive_c/users/packtest/AppData/Local/Brevlo/Receipts/*.xml)
list(LENGTH receipts n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "receipts after the import: ${receipts}")
endif()
# The product's own album names the pack's summer\cover.png, which it lacked: that file stays.
execute_process(COMMAND ${env} ${usr}/bin/brevlo-catalog remove ${receipts} --apply
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 1 OR NOT out MATCHES "\nkeep +file summer.cover.png: still named by album [^\n]*\ntook out 11, kept 1;")
  message(FATAL_ERROR "brevlo-catalog remove: exit ${rc}\n${out}${err}")
endif()
file(REMOVE ${product}/marks/summer/cover.png)
run("" diff -r ${WORK}/before ${product})
