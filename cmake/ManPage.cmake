# SPDX-License-Identifier: GPL-2.0-or-later
# cmake -DHELP2MAN=... -DPROGRAM=... -DINCLUDE=... -DOUTPUT=... -DSOURCE_DIR=...
#       [-DEMULATOR=...] -P ManPage.cmake
# The manual page, made by help2man from the program's own --help and
# --version. It is dated from SOURCE_DATE_EPOCH when that is set, else from
# the last commit, so that building one commit again gives the same page
# (outside a git clone and without SOURCE_DATE_EPOCH, the month of the
# build). Run at every build, since a new commit changes the date without
# touching the program; the page is replaced only when its text changes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND EXISTS ${SOURCE_DIR}/.git)
  find_program(GIT git)
  if(GIT)
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} log -1 --format=%ct
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(epoch MATCHES "^[0-9]+$")
      set(ENV{SOURCE_DATE_EPOCH} ${epoch})
    endif()
  endif()
endif()
# A program built for another machine runs through its emulator: help2man
# is handed a script of the program's own name that runs it so.
if(EMULATOR)
  get_filename_component(name ${PROGRAM} NAME)
  set(launcher ${OUTPUT}.run/${name})
  string(REPLACE ";" "' '" command "'${EMULATOR};${PROGRAM}'")
  file(WRITE ${launcher} "#!/bin/sh\nexec ${command} \"$@\"\n")
  file(CHMOD ${launcher} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
             GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(PROGRAM ${launcher})
endif()
# The month's name in the page's footer, in English whatever the locale.
set(ENV{LC_ALL} C)
execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1 --include=${INCLUDE} --output=${OUTPUT}.new
          ${PROGRAM}
  RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${OUTPUT}.new)
  message(FATAL_ERROR "help2man could not make ${OUTPUT} from ${PROGRAM} --help "
                      "(configure with -DHUSHLINK_MANUAL=OFF to build without the page)")
endif()
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
