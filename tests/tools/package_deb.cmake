# Makes the .deb of this build, unpacks it into a scratch root and runs the tools from there.
# -DCPACK=<cpack> -DBUILD=<build folder> -DWORK=<scratch folder> -DVERSION=<project version>
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
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR NOT out MATCHES "EXIT STATUS")
    message(FATAL_ERROR "man ${page}: exit ${rc}\n${err}")
  endif()
endforeach()
run("^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n.*\nFiles: \\*\nCopyright: [^\n]+\nLicense: [^\n]+\n"
  cat ${usr}/share/doc/brevlo/copyright)
