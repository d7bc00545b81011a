# trv_run_java(<out-var> WORKDIR <dir> TIMEOUT <s> [ENV <name=value>...] ARGS <java args>...)
#
# Runs the JVM of the test run with -Xcheck:jni: the java named by the
# environment variable TRV_TEST_JAVA when it is set (so one build tests
# several JDKs), else JAVA, the one found at configure time. Prints what the
# JVM wrote, stores its standard output in <out-var>, and fails on a non-zero
# exit and on any line on standard error: the JNI checker's complaints, the
# JVM's warnings (native access, deprecations) and the program's own
# messages all end up there, and none of them belongs in a passing run.
function(trv_run_java out_var)
  cmake_parse_arguments(PARSE_ARGV 1 RUN "" "WORKDIR;TIMEOUT" "ENV;ARGS")
  set(java "${JAVA}")
  if(DEFINED ENV{TRV_TEST_JAVA} AND NOT "$ENV{TRV_TEST_JAVA}" STREQUAL "")
    set(java "$ENV{TRV_TEST_JAVA}")
  endif()
  if(java STREQUAL "")
    message(FATAL_ERROR "no java: JAVA not given and TRV_TEST_JAVA not set")
  endif()
  message("java: ${java}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env ${RUN_ENV} ${java} -Xcheck:jni ${RUN_ARGS}
    WORKING_DIRECTORY ${RUN_WORKDIR}
    RESULT_VARIABLE status
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err
    TIMEOUT ${RUN_TIMEOUT})
  message("${out}")
  if(NOT err STREQUAL "")
    message("standard error:\n${err}")
  endif()
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "java ended with status ${status}")
  endif()
  if(NOT err STREQUAL "")
    string(REGEX MATCHALL "[^\n]+" lines "${err}")
    list(LENGTH lines n)
    message(FATAL_ERROR "the JVM wrote ${n} line(s) on standard error")
  endif()
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()
