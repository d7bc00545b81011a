# Builds the Debian package with the project's CPack configuration and
# checks its contents. The files come from `cmake --install` into a staging
# folder: CPack's own install step would first build every target of the
# tree, which a test must not do (CI runs the plain `cpack -G DEB` itself).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/stage/usr
  OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status})")
endif()
file(WRITE ${WORK}/CPackStaged.cmake
  "include(${BUILD_DIR}/CPackConfig.cmake)\n"
  "set(CPACK_INSTALL_CMAKE_PROJECTS \"\")\n"
  "set(CPACK_INSTALLED_DIRECTORIES \"${WORK}/stage;.\")\n")
execute_process(COMMAND ${CPACK} -G DEB --config ${WORK}/CPackStaged.cmake -B ${WORK}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack -G DEB failed (${status})")
endif()
file(GLOB debs ${WORK}/tarvel-pos_${VERSION}_*.deb)
list(LENGTH debs n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "want one tarvel-pos_${VERSION}_<arch>.deb, found: ${debs}")
endif()
execute_process(COMMAND ${DPKG_DEB} -c ${debs} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
message("${listing}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -c failed")
endif()
foreach(f
    "./usr/lib/libnativelayer.so"
    "./usr/bin/hdrcfg"
    "./usr/share/java/tarvel-jpos.jar"
    "./usr/share/java/tarvel-jpos-demo.jar"
    "./usr/share/doc/tarvel-pos/trvpos.ini"
    "./usr/src/tarvel-msrdrv-${VERSION}/Kbuild")
  string(FIND "${listing}" "${f}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "package lacks ${f}")
  endif()
endforeach()
string(FIND "${listing}" "./etc/" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "package carries files below /etc")
endif()
execute_process(COMMAND ${DPKG_DEB} -f ${debs} Package Version Architecture
  OUTPUT_VARIABLE fields)
message("${fields}")
if(NOT fields MATCHES "Package: tarvel-pos\nVersion: ${VERSION}\n")
  message(FATAL_ERROR "unexpected control fields")
endif()
