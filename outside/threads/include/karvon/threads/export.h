#pragma once

#if defined(_WIN32)
#if defined(KARVON_THREADS_BUILDING)
#define KARVON_THREADS_API __declspec(dllexport)
#else
#define KARVON_THREADS_API __declspec(dllimport)
#endif
#else
#define KARVON_THREADS_API __attribute__((visibility("default")))
#endif
