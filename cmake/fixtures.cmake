# Fixture programs for the platform tests: tiny PE files with and without a version record,
# built here with mingw-w64 in both the native and the Windows build, never downloaded.
#
# Included from tests/CMakeLists.txt after the test targets exist; when included earlier, the
# work waits until the top directory is done.

include_guard(GLOBAL)

set(BREVLO_FIXTURE_SOURCE ${CMAKE_SOURCE_DIR}/tests/platform/fixtures)
set(BREVLO_FIXTURE_DIR ${CMAKE_BINARY_DIR}/tests/platform/fixtures)

function(brevlo_platform_fixtures)
  find_program(BREVLO_MINGW_GCC x86_64-w64-mingw32-gcc REQUIRED)
  find_program(BREVLO_MINGW_WINDRES x86_64-w64-mingw32-windres REQUIRED)
  set(outputs)
  foreach(name versioned plain other_id)
    set(exe ${BREVLO_FIXTURE_DIR}/${name}.exe)
    add_custom_command(OUTPUT ${exe}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${BREVLO_FIXTURE_DIR}
      COMMAND ${BREVLO_MINGW_WINDRES} ${BREVLO_FIXTURE_SOURCE}/${name}.rc
              -O coff -o ${BREVLO_FIXTURE_DIR}/${name}.res.o
      COMMAND ${BREVLO_MINGW_GCC} -nostdlib -s -mwindows -Wl,-e,entry -o ${exe}
              ${BREVLO_FIXTURE_SOURCE}/stub.c ${BREVLO_FIXTURE_DIR}/${name}.res.o
      DEPENDS ${BREVLO_FIXTURE_SOURCE}/${name}.rc ${BREVLO_FIXTURE_SOURCE}/stub.c
      COMMENT "Fixture ${name}.exe"
      VERBATIM)
    list(APPEND outputs ${exe})
  endforeach()
  add_custom_target(brevlo_platform_fixtures DEPENDS ${outputs})
  foreach(test platform_registry_test platform_version_test platform_system_test)
    if(TARGET ${test})
      add_dependencies(${test} brevlo_platform_fixtures)
      target_compile_definitions(${test} PRIVATE BREVLO_FIXTURE_DIR="${BREVLO_FIXTURE_DIR}")
    endif()
  endforeach()
endfunction()

if(TARGET platform_version_test)
  brevlo_platform_fixtures()
else()
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL brevlo_platform_fixtures)
endif()
