// Constants fixed when the product is built.
#pragma once

inline constexpr char DPI_OUI_INFO[] = "quorin";          // vendor identifier handed to children
inline constexpr char DPI_PLUGIN_VERSION[] = "3.9.47.2";  // least version that boots from ./data/
inline constexpr char DPI_PKG_VERSION[] = "3.9.47";
// The source's revision, when the build knows it. Given to main.cpp alone,
// so that a new revision rebuilds one file: each file has its own copy
// (not `inline`), and only main.cpp's carries it.
#ifndef WATCH_SRC_VER
#define WATCH_SRC_VER ""
#endif
constexpr char DPI_SRC_VER[] = WATCH_SRC_VER;
inline constexpr char DPI_ETH_SN[] = "";
inline constexpr char DPI_DEV_SN[] = "";

inline constexpr char DPI_TMP_DIRNAME[] = "./tmp/";
inline constexpr char DPI_DATA_DIRNAME[] = "./data/";
