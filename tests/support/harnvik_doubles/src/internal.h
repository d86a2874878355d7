// Shared state of the doubles, inside the library.
#pragma once

#include <mutex>

#include "harnvik_doubles/doubles.h"

namespace harnvik_doubles::internal {

// The installed script; read under lock().
const script& current_script();
std::mutex& lock();

// Holds of a message created through a message double; -1 if unknown.
std::int32_t holds(const void* message);
void set_holds(const void* message, std::int32_t count);

// Storage handed out by the doubles, freed at the next reset().
enum class e_storage { item, video, audio };
void keep(void* storage, e_storage kind);

// Appends without taking the lock (the caller holds it).
void record_locked(const call& entry);

}  // namespace harnvik_doubles::internal
