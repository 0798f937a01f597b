# cmake -DSCDOC=... -DGZIP=... -DEPOCH=... -DVERSION=... -DSOURCE=x.1.scd -DPAGE=.../x.1
#   -P build_page.cmake
# Turns one scdoc source into the compressed roff page PAGE.gz, as installed.
# The package named in the page's footer ("organ-board") gets VERSION after
# it, so a page says which build it came with. scdoc dates the page from
# SOURCE_DATE_EPOCH; gzip -n leaves out the time stamp, so the same commit
# gives the same bytes.
set(ENV{SOURCE_DATE_EPOCH} ${EPOCH})
file(READ ${SOURCE} text)
string(REGEX REPLACE "^([a-z]+\\([0-9]\\) \"[a-z-]+)\"" "\\1 ${VERSION}\"" text "${text}")
file(WRITE ${PAGE}.scd "${text}")
execute_process(COMMAND ${SCDOC}
  INPUT_FILE ${PAGE}.scd OUTPUT_FILE ${PAGE}.roff ERROR_VARIABLE error RESULT_VARIABLE result)
if(result EQUAL 0)
  execute_process(COMMAND ${GZIP} -9n -c ${PAGE}.roff OUTPUT_FILE ${PAGE}.gz RESULT_VARIABLE result)
  set(error "gzip failed")
endif()
file(REMOVE ${PAGE}.scd ${PAGE}.roff)
if(NOT result EQUAL 0)
  file(REMOVE ${PAGE}.gz)
  message(FATAL_ERROR "${SOURCE}: ${error}")
endif()
