// Reader of the configuration file trvpos.ini ("./trvpos.ini", then
// "/etc/tarvel/pos/trvpos.ini").
//
// One source, two builds:
//  - library build (default): parseini returns the value as read, -1 when no
//    file opens; exported with C linkage from libnativelayer.so;
//  - tool build (TRVINI_TOOL_BUILD defined): parseini returns the HID usage
//    that the key table gives for the value, 0 when no row carries it, 1 when
//    no file opens; used by hdrcfg.
#pragma once

#include <cstdint>

extern "C" {

std::int32_t parseini(const char *section, const char *key);
int getsection(const char *section, int fd);
int getvalue(const char *key, int fd);

} // extern "C"
