#!/bin/sh
# Runs the JUnit 5 example against this build tree, as run-tests.sh runs it
# against the installed packages: a change of the library that breaks what
# the example shows service developers fails here, not only in the package
# install test. Exit status: 0 pass, 1 fail, 77 skipped (no JUnit console).
# Usage: run_example.sh EXAMPLE-DIR WORK-DIR JAVAC JAVA KIT-CLASSPATH SIMULATOR.so LIBRARY-PATH
set -eu
example=$1 work=$2 javac=$3 java=$4 kit=$5 sim=$6 libpath=$7
junit=/usr/share/java/junit-platform-console-standalone.jar
if [ ! -f "$junit" ]; then
	if [ "${CI:-}" = true ]; then
		echo "testkit example: FAIL: $junit is missing (Debian package junit5)" >&2
		exit 1
	fi
	echo "testkit example: SKIPPED: $junit is missing (Debian package junit5)"
	exit 77
fi
rm -rf "$work" && mkdir -p "$work" && cd "$work"
"$javac" -d classes -cp "$kit" "$example/PosService.java"
"$javac" -d test-classes -cp "$kit:$junit:classes" "$example/PosServiceTest.java"
LD_PRELOAD=$sim "$java" --enable-native-access=ALL-UNNAMED -Djava.library.path="$libpath" \
	-cp "$kit:$junit:classes:test-classes" \
	org.junit.platform.console.ConsoleLauncher --disable-banner --select-class com.example.pos.PosServiceTest
