#pragma once

#if defined(_WIN32)
#if defined(KARVON_WENDRIX_BUILDING)
#define KARVON_WENDRIX_API __declspec(dllexport)
#else
#define KARVON_WENDRIX_API __declspec(dllimport)
#endif
#else
#define KARVON_WENDRIX_API __attribute__((visibility("default")))
#endif
