# Runs the demo program on the driver simulator and checks what it printed.
# Inputs: JAVA, PRELOAD (libtrvsim.so), LIBDIR (folder of libnativelayer.so),
# SCENARIO, WORKDIR (holds trvpos.ini), and either CLASSPATH (both jars) or
# JAR (the demo jar, run with -jar: its manifest names the service jar and
# grants it native access). Any line on standard error fails the run.
include(${CMAKE_CURRENT_LIST_DIR}/run_java.cmake)
if(DEFINED JAR)
  set(launch -jar ${JAR})
elseif(DEFINED CLASSPATH)
  # A class-path launch grants native access itself, as a service's own
  # launcher must.
  set(launch --enable-native-access=ALL-UNNAMED -cp ${CLASSPATH} com.tarvel.jpos.demo.Demo)
else()
  message(FATAL_ERROR "run_demo.cmake: CLASSPATH or JAR not given")
endif()
foreach(v PRELOAD LIBDIR SCENARIO WORKDIR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "run_demo.cmake: ${v} not given")
  endif()
endforeach()

file(REMOVE ${WORKDIR}/trvsim.log)
trv_run_java(out WORKDIR ${WORKDIR} TIMEOUT 90
  ENV LD_PRELOAD=${PRELOAD}
      TRVSIM_SCENARIO=${SCENARIO}
      TRVSIM_LOG=${WORKDIR}/trvsim.log
  ARGS -Djava.library.path=${LIBDIR} ${launch})

# What the demo's scenario makes the service receive and send. (One call
# per line: several lines hold semicolons, which a CMake list would split.)
function(expect_line line)
  string(FIND "${out}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "demo output lacks: ${line}")
  endif()
endfunction()
expect_line("open: keyboard 4660, MSR 4660, keylock 4660")
expect_line("keylock position 1")
expect_line("keylock position 2")
expect_line("keylock position 3")
expect_line("keys: 0000001e 00000030 0000002e")
expect_line("keys: 00000002 00000082 00000003 00000083")
expect_line("swipe 1")
expect_line("text: %B4111111111111111^DEMO/CARD^29121010000000000000?")
expect_line("text: ;4111111111111111=29121010000000000?")
expect_line("swipe 2")
expect_line("text: ;011234567890123445=724724100000000000030300001?")
expect_line("swipe 3")
expect_line("text: .%B4567?")
expect_line("hex:  00 25 42 34 35 36 37 3f")
expect_line("text: .;4567=90?")
expect_line("closed; 3 swipe(s) seen")
expect_line("PS/2 POS key table, set-1 codes marked: 3b 3c e01c")
expect_line("USB POS key table: usage 3a=0101, usage 3b=0102, usage 58=0103, combination key=usage e0, combination+usage 04=0104")
expect_line("MSR header record: command 10, GH 00/00, GT 00/28, H1 e1/22, T1 e1/38, H2 00/33, T2 e1/38, H3 00/33, T3 e1/38")
expect_line("PS/2 POS key table, set-1 codes marked: none (empty table)")
expect_line("USB POS key table: none (empty table)")
# Files are named relative to the working folder or by name alone: the
# output shows no folder of the machine it ran on.
get_filename_component(scenario_name ${SCENARIO} NAME)
get_filename_component(scenario_dir ${SCENARIO} DIRECTORY)
expect_line("simulated keyboard (${scenario_name})")
expect_line("configuration that reached the drivers (trvsim.log):")
foreach(dir ${WORKDIR} ${scenario_dir})
  string(FIND "${out}" "${dir}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "demo output shows the folder ${dir}")
  endif()
endforeach()
string(REGEX MATCHALL "swipe [0-9]+\n" swipes "${out}")
list(LENGTH swipes n)
if(NOT n EQUAL 3)
  message(FATAL_ERROR "demo reported ${n} swipes, want 3")
endif()
