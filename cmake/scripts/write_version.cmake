# cmake -DSOURCE_DIR=... -DVERSION=... -DTEMPLATE=... -DOUTPUT=... -P write_version.cmake
set(GIT_COMMIT "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
                  WORKING_DIRECTORY ${SOURCE_DIR}
                  OUTPUT_VARIABLE GIT_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    set(GIT_COMMIT "")
  endif()
endif()
if(GIT_COMMIT)
  set(IDENTIFICATION "quillark ${VERSION} (git ${GIT_COMMIT})")
else()
  set(IDENTIFICATION "quillark ${VERSION}")
endif()
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
