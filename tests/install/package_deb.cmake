# Builds the Debian packages with the project's CPack configuration,
# unpacks all of them into one temporary root (as dpkg would install them)
# and checks that every file lies where Debian expects it and in the right
# package, the control fields and maintainer scripts, that the JVM's default
# library path holds the JNI folder, and that the demo runs from that root.
# Inputs: BUILD_DIR, WORK, CPACK, DPKG_DEB, VERSION, MULTIARCH, MSRDRV_DIR,
# JAVA, PRELOAD, SCENARIO, RUN_DEMO, SAMPLE_INI.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/root)
# CPack's install step rebuilds nothing here: `make test` has built the tree.
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack -G DEB failed (${status}):\n${out}")
endif()

set(jni libtarvel-jpos-jni)
set(tools tarvel-pos-tools)
set(dkms tarvel-msrdrv-dkms)
set(demo tarvel-jpos-demo)
set(testkit tarvel-pos-testkit)
set(src usr/src/tarvel-msrdrv-${VERSION})

# Every file (or link) of every package: "<package> <path>".
set(want
  "${jni} usr/lib/${MULTIARCH}/jni/libnativelayer.so"
  "${jni} usr/share/java/tarvel-jpos-${VERSION}.jar"
  "${jni} usr/share/java/tarvel-jpos.jar"
  "${jni} usr/lib/udev/rules.d/60-tarvel-pos.rules"
  "${jni} usr/share/doc/${jni}/examples/trvpos.ini"
  "${jni} usr/share/doc/${jni}/README.Debian"
  "${tools} usr/bin/hdrcfg"
  "${tools} usr/share/man/man1/hdrcfg.1.gz"
  "${dkms} ${src}/dkms.conf"
  "${demo} usr/share/java/tarvel-jpos-demo-${VERSION}.jar"
  "${demo} usr/share/java/tarvel-jpos-demo.jar"
  "${testkit} usr/lib/${MULTIARCH}/tarvel-pos/libtrvsim.so"
  "${testkit} usr/lib/${MULTIARCH}/jni/libtrvsimjni.so"
  "${testkit} usr/share/java/tarvel-pos-testkit-${VERSION}.jar"
  "${testkit} usr/share/java/tarvel-pos-testkit.jar"
  "${testkit} usr/share/doc/${testkit}/simulator.md"
  "${testkit} usr/share/doc/${testkit}/examples/PosService.java"
  "${testkit} usr/share/doc/${testkit}/examples/PosServiceTest.java"
  "${testkit} usr/share/doc/${testkit}/examples/run-tests.sh")
foreach(p ${jni} ${tools} ${dkms} ${demo} ${testkit})
  list(APPEND want "${p} usr/share/doc/${p}/copyright" "${p} usr/share/doc/${p}/changelog.gz")
endforeach()
file(GLOB driver RELATIVE ${MSRDRV_DIR} ${MSRDRV_DIR}/*.c ${MSRDRV_DIR}/*.h)
foreach(f Kbuild Makefile ${driver})
  list(APPEND want "${dkms} ${src}/${f}")
endforeach()

set(found "")
foreach(p ${jni} ${tools} ${dkms} ${demo} ${testkit})
  file(GLOB deb ${WORK}/${p}_${VERSION}_*.deb)
  list(LENGTH deb n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "want one ${p}_${VERSION}_<arch>.deb, found: ${deb}")
  endif()
  set(deb_${p} ${deb})
  execute_process(COMMAND ${DPKG_DEB} -c ${deb} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  message("${p}:\n${listing}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -c ${deb} failed")
  endif()
  # Files and links only, as "<package> <path>"; every entry owned by root.
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line IN LISTS lines)
    if(line STREQUAL "")
      continue()
    endif()
    if(NOT line MATCHES "^[-dl][rwxs-]+ root/root ")
      message(FATAL_ERROR "${p}: not owned by root/root: ${line}")
    endif()
    if(line MATCHES "^[-l].* \\./([^ ]+)( -> .*)?$")
      list(APPEND found "${p} ${CMAKE_MATCH_1}")
    endif()
  endforeach()
  execute_process(COMMAND ${DPKG_DEB} -x ${deb} ${WORK}/root RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -x ${deb} failed")
  endif()
endforeach()

list(SORT want)
list(SORT found)
set(missing ${want})
list(REMOVE_ITEM missing ${found})
set(extra ${found})
list(REMOVE_ITEM extra ${want})
if(missing OR extra)
  string(REPLACE ";" "\n  " missing "${missing}")
  string(REPLACE ";" "\n  " extra "${extra}")
  message(FATAL_ERROR "package contents differ\nmissing:\n  ${missing}\nunexpected:\n  ${extra}")
endif()

# The jar links point at the versioned jars beside them.
foreach(j tarvel-jpos tarvel-jpos-demo tarvel-pos-testkit)
  file(READ_SYMLINK ${WORK}/root/usr/share/java/${j}.jar target)
  if(NOT target STREQUAL "${j}-${VERSION}.jar")
    message(FATAL_ERROR "${j}.jar points at '${target}'")
  endif()
endforeach()

# Control fields: versions, architectures and the relations between packages.
function(expect_field p field regex)
  execute_process(COMMAND ${DPKG_DEB} -f ${deb_${p}} ${field} OUTPUT_VARIABLE v
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT v MATCHES "${regex}")
    message(FATAL_ERROR "${p}: ${field} is '${v}', want a match of '${regex}'")
  endif()
endfunction()
foreach(p ${jni} ${tools} ${dkms} ${demo} ${testkit})
  expect_field(${p} Version "^${VERSION}$")
endforeach()
expect_field(${jni} Architecture "^[a-z0-9]+$")
expect_field(${tools} Architecture "^[a-z0-9]+$")
expect_field(${dkms} Architecture "^all$")
expect_field(${demo} Architecture "^all$")
expect_field(${jni} Depends "(^|, )adduser(,|$)")
expect_field(${dkms} Depends "(^|, )dkms(,|$)")
expect_field(${demo} Depends "(^|, )${jni} \\(= ${VERSION}\\)")
expect_field(${testkit} Depends "(^|, )${jni} \\(= ${VERSION}\\)")
expect_field(${tools} Recommends "(^|, )${jni} \\(= ${VERSION}\\)")

# Maintainer scripts: the group and udev in the library's package, DKMS in
# the module's.
function(expect_script p script regex)
  set(dir ${WORK}/control-${p})
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND ${DPKG_DEB} -e ${deb_${p}} ${dir} RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT EXISTS ${dir}/${script})
    message(FATAL_ERROR "${p}: no ${script}")
  endif()
  file(READ ${dir}/${script} text)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${p}: ${script} lacks '${regex}'")
  endif()
endfunction()
expect_script(${jni} postinst "addgroup --system --quiet tarvel-pos")
expect_script(${dkms} postinst "/usr/lib/dkms/common.postinst \"\\$name\" \"\\$version\"")
expect_script(${dkms} prerm "dkms remove -m \"\\$name\" -v \"\\$version\" --all")
file(READ ${WORK}/root/${src}/dkms.conf conf)
foreach(line "PACKAGE_NAME=\"tarvel-msrdrv\"" "PACKAGE_VERSION=\"${VERSION}\""
             "BUILT_MODULE_NAME[0]=\"msrdrv\"" "AUTOINSTALL=\"yes\"")
  string(FIND "${conf}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "dkms.conf lacks ${line}")
  endif()
endforeach()

# System.loadLibrary("nativelayer") finds the installed library without
# -Djava.library.path: its folder is on the JVM's default search path.
execute_process(COMMAND ${JAVA} -XshowSettings:properties -version
  OUTPUT_VARIABLE props ERROR_VARIABLE props)
# The value is printed one folder per line.
string(REGEX MATCH "java\\.library\\.path = [^\n]*\n( +[^ =\n]+\n)*" libpath "${props}")
if(NOT libpath MATCHES "[ ]/usr/lib/${MULTIARCH}/jni\n")
  message(FATAL_ERROR "the JVM does not search /usr/lib/${MULTIARCH}/jni by default:\n${props}")
endif()

# The installed demo, from the unpacked root (the link names only).
set(run ${WORK}/run)
file(MAKE_DIRECTORY ${run})
file(COPY ${WORK}/root/usr/share/doc/${jni}/examples/trvpos.ini DESTINATION ${run})
execute_process(COMMAND ${CMAKE_COMMAND}
  -DJAVA=${JAVA}
  -DPRELOAD=${PRELOAD}
  -DLIBDIR=${WORK}/root/usr/lib/${MULTIARCH}/jni
  -DJAR=${WORK}/root/usr/share/java/tarvel-jpos-demo.jar
  -DSCENARIO=${SCENARIO}
  -DWORKDIR=${run}
  -P ${RUN_DEMO}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the packaged demo failed")
endif()
