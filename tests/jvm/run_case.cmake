# Runs one case of JvmEndToEnd with the driver simulator preloaded. Inputs:
# JAVA, PRELOAD (libtrvsim.so), LIBPATH (java.library.path), CLASSPATH,
# CASE, WORKDIR (holds trvpos.ini). The case passes when it prints
# "PASS <case>" and the JVM wrote nothing on standard error.
include(${CMAKE_CURRENT_LIST_DIR}/run_java.cmake)
foreach(v PRELOAD LIBPATH CLASSPATH CASE WORKDIR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "run_case.cmake: ${v} not given")
  endif()
endforeach()
# The service and the simulator's control class are on the class path (the
# unnamed module): their System.loadLibrary needs native access.
trv_run_java(out WORKDIR ${WORKDIR} TIMEOUT 110
  ENV LD_PRELOAD=${PRELOAD}
  ARGS --enable-native-access=ALL-UNNAMED -Djava.library.path=${LIBPATH}
       -cp ${CLASSPATH} com.tarvel.jpos.test.JvmEndToEnd ${CASE})
string(FIND "${out}" "PASS ${CASE}\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "no \"PASS ${CASE}\" line")
endif()
