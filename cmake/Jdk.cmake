# Locate the JDK for the JNI headers (and, for the Java parts, java/javac).
# A plain `cmake -S . -B build` must work with JAVA_HOME unset: then the JDK
# is found from the real path of javac. Only jni.h and jni_md.h are needed;
# the library never links against libjvm or AWT.
if(NOT DEFINED ENV{JAVA_HOME} OR "$ENV{JAVA_HOME}" STREQUAL "")
  find_program(TRV_JAVAC_PROGRAM javac)
  if(TRV_JAVAC_PROGRAM)
    file(REAL_PATH "${TRV_JAVAC_PROGRAM}" _trv_javac_real)
    get_filename_component(_trv_jdk_bin "${_trv_javac_real}" DIRECTORY)
    get_filename_component(_trv_jdk_home "${_trv_jdk_bin}" DIRECTORY)
    set(ENV{JAVA_HOME} "${_trv_jdk_home}")
  endif()
endif()
set(TRV_JAVA_HOME "$ENV{JAVA_HOME}" CACHE PATH "JDK used for the JNI headers")

find_path(TRV_JNI_INCLUDE_DIR jni.h
  HINTS "${TRV_JAVA_HOME}/include" /usr/lib/jvm/java-17-openjdk-amd64/include
  NO_DEFAULT_PATH)
find_path(TRV_JNI_MD_INCLUDE_DIR jni_md.h
  HINTS "${TRV_JNI_INCLUDE_DIR}/linux" NO_DEFAULT_PATH)
if(NOT TRV_JNI_INCLUDE_DIR OR NOT TRV_JNI_MD_INCLUDE_DIR)
  message(FATAL_ERROR "jni.h not found: install a JDK (Debian: openjdk-17-jdk-headless) or set JAVA_HOME")
endif()
add_library(trv_jni_headers INTERFACE)
target_include_directories(trv_jni_headers SYSTEM INTERFACE
  "${TRV_JNI_INCLUDE_DIR}" "${TRV_JNI_MD_INCLUDE_DIR}")
message(STATUS "JNI headers: ${TRV_JNI_INCLUDE_DIR}")
