// The identity of one build: compiled into each program with the revision
// and package version the build knows (builds for tests give others).
#include "build_info.h"

#ifndef WATCH_HANDOVER_FORMAT_NUMBER
#define WATCH_HANDOVER_FORMAT_NUMBER 2  // 1: the memory image of older builds
#endif

extern const char WATCH_PACKAGE_VERSION[] = WATCH_DEB_VERSION;
#ifdef WATCH_SRC_VER
extern const char DPI_SRC_VER[] = WATCH_SRC_VER;
extern const char WATCH_VERSION[] = WATCH_DEB_VERSION " (" WATCH_SRC_VER ")";
#else
extern const char DPI_SRC_VER[] = "";
extern const char WATCH_VERSION[] = WATCH_DEB_VERSION;
#endif
extern const unsigned WATCH_HANDOVER_FORMAT = WATCH_HANDOVER_FORMAT_NUMBER;
