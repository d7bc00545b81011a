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

// What parseini returns when no configuration file opens, in each build.
inline constexpr std::int32_t TRVINI_LIBRARY_NO_FILE = -1;
inline constexpr std::int32_t TRVINI_TOOL_NO_FILE = 1;

// Opens the configuration file the way parseini does ("./trvpos.ini", then
// "/etc/tarvel/pos/trvpos.ini", read-only) and returns its descriptor, or -1
// when neither opens. *ppszPath (if given) gets the path that opened.
int openini(const char **ppszPath);
// The value search of getvalue, without the conversion: 1 with the value as
// read in *pulValue, 0 where getvalue gives -1 (key not found, value up to
// the end of the file, token too long). It is findkey, then readvalue.
int getrawvalue(const char *key, int fd, std::uint32_t *pulValue);
// First half: reads on to just past the '=' of a token that begins with key;
// 1 there, 0 at the end of the file or for a token too long.
int findkey(const char *key, int fd);
// Second half: reads the value up to its terminating white space; 1 with it
// in *pulValue, 0 when the file ends first or the value is too long.
int readvalue(int fd, std::uint32_t *pulValue);
// The tool build's result for a value found in the file: the HID usage that
// the key table gives for it taken as a set-1 code, 0 when no row carries it.
std::int32_t toolusage(std::uint32_t ulValue);
