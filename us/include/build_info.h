// Constants fixed when the product is built.
#pragma once

#include <cstddef>

inline constexpr char DPI_OUI_INFO[] = "quorin";          // vendor identifier handed to children
inline constexpr char DPI_PLUGIN_VERSION[] = "3.9.47.2";  // least version that boots from ./data/
inline constexpr char DPI_PKG_VERSION[] = "3.9.47";
inline constexpr char DPI_ETH_SN[] = "";
inline constexpr char DPI_DEV_SN[] = "";

inline constexpr char DPI_TMP_DIRNAME[] = "./tmp/";
inline constexpr char DPI_DATA_DIRNAME[] = "./data/";

// The program supervised when config names none.
inline constexpr char DEFAULT_PROGRAM[] = "quorin-dpi-inner";
// The most of config that is read: it may be a product-wide file with much
// else in it; the cap only keeps a runaway file from taking our memory.
inline constexpr size_t CONFIG_MAX = 16 << 20;
// The longest program path config may name: the kernel takes paths of up to
// 4095 bytes, and a program must start whole from ./data/ too ("./data//"
// in front).
inline constexpr size_t PROGRAM_PATH_MAX = 4095 - (sizeof DPI_DATA_DIRNAME - 1) - 1;

// The build's identity, given to each program as it is linked (build_id.cpp):
// the source revision ("g" and a commit, or "" when unknown); the package
// version operators see in dpkg -l; both, as the program reports itself
// ("3.9.47-2 (g0123456789)"); and the format of the state a re-execution
// hands over.
extern const char DPI_SRC_VER[];
extern const char WATCH_PACKAGE_VERSION[];
extern const char WATCH_VERSION[];
extern const unsigned WATCH_HANDOVER_FORMAT;
