# Writes README.Debian of libtarvel-jpos-jni: the "Troubleshooting" section
# of the project's README, as it stands, under a title. Inputs: README, OUT.
file(READ ${README} text)
string(FIND "${text}" "\n## Troubleshooting\n" begin)
if(begin EQUAL -1)
  message(FATAL_ERROR "${README}: no section '## Troubleshooting'")
endif()
math(EXPR begin "${begin} + 1")
string(SUBSTRING "${text}" ${begin} -1 section)
# The section ends where the next one of the same level begins.
string(FIND "${section}" "\n## " end)
if(NOT end EQUAL -1)
  string(SUBSTRING "${section}" 0 ${end} section)
endif()
string(REGEX REPLACE "^## Troubleshooting\n" "" section "${section}")
string(STRIP "${section}" section)
file(WRITE ${OUT} "libtarvel-jpos-jni on Debian: troubleshooting\n"
                  "=============================================\n\n"
                  "${section}\n")
