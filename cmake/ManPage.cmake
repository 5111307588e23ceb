# Writes a gzipped man page from a program's --help and --version text.
# cmake -DHELP2MAN=... -DPROGRAM=path -DSUMMARY=text -DOUTPUT=name.1.gz -P ManPage.cmake
#
# The program runs by its bare name from PATH, so the page's usage line shows "vespero-probe",
# not the build tree's path. No display is needed: --help never opens a window.
get_filename_component(dir ${PROGRAM} DIRECTORY)
get_filename_component(name ${PROGRAM} NAME)
string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})
get_filename_component(out_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "PATH=${dir}:$ENV{PATH}" --unset=DISPLAY --unset=WAYLAND_DISPLAY
          ${HELP2MAN} --no-info --section=1 "--name=${SUMMARY}" --output=${page} ${name}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${name} (${status})")
endif()
# -n: no name or time stamp inside, so the same text gives the same file.
execute_process(COMMAND gzip -9nf ${page} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${page}")
endif()
