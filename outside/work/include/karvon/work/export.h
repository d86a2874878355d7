#pragma once

#if defined(_WIN32)
#if defined(KARVON_WORK_BUILDING)
#define KARVON_WORK_API __declspec(dllexport)
#else
#define KARVON_WORK_API __declspec(dllimport)
#endif
#else
#define KARVON_WORK_API __attribute__((visibility("default")))
#endif
