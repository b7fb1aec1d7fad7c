# Writes OUTPUT (a man page) and OUTPUT.gz from PROGRAM's --help.
#   cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... [-DEMULATOR=a|b] -DDESCRIPTION=...
#         -DRELEASE_DATE=YYYY-MM-DD -DVERSION=x.y.z -DOUTPUT=...
#         [-DNO_GZIP=1] [-DREFERENCE=page] -P man_page.cmake
# The page carries the release number and date, not the commit and today's
# date, so that it is the same on every build of the same release. With
# REFERENCE, fails unless the page written equals that one.
cmake_path(GET PROGRAM FILENAME name)
cmake_path(GET OUTPUT PARENT_PATH out_dir)
set(run_dir ${out_dir}/.run-${name})
file(REMOVE_RECURSE ${run_dir})
file(MAKE_DIRECTORY ${run_dir})
set(program ${PROGRAM})
if(EMULATOR)
  # help2man runs the program by name; a wrapper of that name runs it emulated.
  string(REPLACE "|" " " emulator "${EMULATOR}")
  set(program ${run_dir}/${name})
  file(WRITE ${program} "#!/bin/sh\nexec ${emulator} '${PROGRAM}' \"$@\"\n")
  file(CHMOD ${program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endif()

execute_process(COMMAND date -u -d "${RELEASE_DATE}" +%s
                OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
set(ENV{SOURCE_DATE_EPOCH} ${epoch})
set(ENV{LC_ALL} C.UTF-8)
set(ENV{COLUMNS} 80)
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 "--name=${DESCRIPTION}"
                        "--version-string=${name} ${VERSION}"
                        --output=${OUTPUT}.part ${program}
                RESULT_VARIABLE rc ERROR_VARIABLE err)
file(REMOVE_RECURSE ${run_dir})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man ${name}: ${err}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
if(NOT NO_GZIP)
  execute_process(COMMAND ${GZIP} -9nc ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
if(REFERENCE)
  file(READ ${OUTPUT} written)
  file(READ ${REFERENCE} reference)
  if(NOT written STREQUAL reference)
    message(FATAL_ERROR "${REFERENCE} is stale: ${name} --help now gives ${OUTPUT}")
  endif()
endif()
