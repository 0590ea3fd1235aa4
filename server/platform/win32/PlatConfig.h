// Constants of the Win32 backend that the neutral header needs at compile time.
#ifndef TARVELD_PLAT_CONFIG_H
#define TARVELD_PLAT_CONFIG_H

constexpr int PLAT_MAX_PATH = 260;  // MAX_PATH: the full path buffer of a request
constexpr char PLAT_PATH_SEPARATOR = '\\';
constexpr bool PLAT_NAMES_IGNORE_CASE = true;  // X.CGI opens the file x.cgi

#endif
