# Compile the service and its tests against the installed jars, then run
# the tests with the driver simulator preloaded into the JVM.
set -e
KIT=/usr/share/java/tarvel-jpos.jar:/usr/share/java/tarvel-pos-testkit.jar
JUNIT=/usr/share/java/junit-platform-console-standalone.jar
javac -d classes -cp "$KIT" PosService.java
javac -d test-classes -cp "$KIT:$JUNIT:classes" PosServiceTest.java
LD_PRELOAD=/usr/lib/x86_64-linux-gnu/tarvel-pos/libtrvsim.so \
java --enable-native-access=ALL-UNNAMED -cp "$KIT:$JUNIT:classes:test-classes" \
    org.junit.platform.console.ConsoleLauncher --select-class com.example.pos.PosServiceTest
