# Installs the build into a fresh prefix, checks the layout, and runs the
# installed demo jar with the installed library and sample trvpos.ini.
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status})")
endif()

set(want
  ${JNIDIR}/libnativelayer.so
  bin/hdrcfg
  share/man/man1/hdrcfg.1.gz
  share/java/tarvel-jpos.jar
  share/java/tarvel-jpos-demo.jar
  share/doc/libtarvel-jpos-jni/examples/trvpos.ini
  lib/udev/rules.d/60-tarvel-pos.rules
  src/tarvel-msrdrv-${VERSION}/dkms.conf
  src/tarvel-msrdrv-${VERSION}/Kbuild
  src/tarvel-msrdrv-${VERSION}/swipetype.c
  src/tarvel-msrdrv-${VERSION}/swipetype.h)
foreach(f IN LISTS want)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
if(EXISTS ${prefix}/etc)
  message(FATAL_ERROR "the install writes below etc/")
endif()
# Test support stays out of the product: only the test kit's component
# installs the simulator.
foreach(component jni tools dkms demo)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/product
    --component ${component} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install --component ${component} failed (${status})")
  endif()
endforeach()
file(GLOB_RECURSE sim_files ${WORK}/product/*trvsim*)
if(sim_files)
  message(FATAL_ERROR "simulator installed with the product: ${sim_files}")
endif()
foreach(f ${JNIDIR}/libtrvsimjni.so share/java/tarvel-pos-testkit.jar)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "test kit not installed: ${f}")
  endif()
endforeach()

# The demo, from the installed files only (plus the simulator of the build).
set(run ${WORK}/run)
file(MAKE_DIRECTORY ${run})
file(COPY ${prefix}/share/doc/libtarvel-jpos-jni/examples/trvpos.ini DESTINATION ${run})
execute_process(COMMAND ${CMAKE_COMMAND}
  -DJAVA=${JAVA}
  -DPRELOAD=${PRELOAD}
  -DLIBDIR=${prefix}/${JNIDIR}
  -DJAR=${prefix}/share/java/tarvel-jpos-demo.jar
  -DSCENARIO=${SCENARIO}
  -DWORKDIR=${run}
  -P ${RUN_DEMO}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed demo failed")
endif()
