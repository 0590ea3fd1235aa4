// Constants of the POSIX backend that the neutral header needs at compile time.
#ifndef TARVELD_PLAT_CONFIG_H
#define TARVELD_PLAT_CONFIG_H

constexpr int PLAT_MAX_PATH = 4096;       // bytes of a full path buffer
constexpr char PLAT_PATH_SEPARATOR = '/';
constexpr bool PLAT_NAMES_IGNORE_CASE = false;  // file names differ by case

#endif
