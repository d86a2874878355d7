#pragma once

#if defined(_WIN32)
#if defined(SELMET_PALVEX_BUILDING)
#define SELMET_PALVEX_API __declspec(dllexport)
#else
#define SELMET_PALVEX_API __declspec(dllimport)
#endif
#else
#define SELMET_PALVEX_API __attribute__((visibility("default")))
#endif
