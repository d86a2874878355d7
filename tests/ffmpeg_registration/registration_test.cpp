// The registration library's behaviour, on three builds of its one source:
// the shipped library (current FFmpeg, nothing to call), the same source
// built against a stand-in of FFmpeg's releases before 5.0 that records the
// lock-manager registration and the register-all, and the current-FFmpeg
// source with a hook that hands the lock manager to the tests. Each test
// loads its build afresh, so it starts unregistered.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "counting_srw/counting_srw.h"
#include "ffmpeg_old_api/recording.h"
#include "karvon/threads/critical_section.h"
#include "loaded_library.h"
#include "threads_at_once.h"

namespace {

using Karvon::Threads::critical_section;
using counting = counting_srw::counter;
using ffmpeg_old_api::e_call;

constexpr char k_ffm_register[] = "_ZN6Tovrel6ffmpeg12ffm_registerEv";
constexpr char k_get_ffm_lock[] = "_ZN6Tovrel6ffmpeg12get_ffm_lockEv";

constexpr std::int32_t k_create = 0;
constexpr std::int32_t k_obtain = 1;
constexpr std::int32_t k_release = 2;
constexpr std::int32_t k_destroy = 3;

constexpr int k_threads = 8;

enum class e_build { shipped, old_api, hooks };

const char* name_of(e_build build) {
    switch (build) {
        case e_build::shipped:
            return "Shipped";
        case e_build::old_api:
            return "old_ffmpeg";
        case e_build::hooks:
            return "CurrentFfmpegWithHooks";
    }
    return "Unknown";
}

void PrintTo(e_build build, std::ostream* out) {
    *out << name_of(build);
}

std::uint32_t owner_of(critical_section& lock) {
    return counting_srw::owner(lock);
}
std::uint32_t recursion_of(critical_section& lock) {
    return counting_srw::recursion(lock);
}
critical_section& as_lock(void* mutex) {
    return *static_cast<critical_section*>(mutex);
}

class registration_library : public ::testing::TestWithParam<e_build> {
  protected:
    void SetUp() override {
        ffmpeg_old_api::reset();
        load(GetParam());
    }
    void TearDown() override {
        counting::uninstall();
        ffmpeg_old_api::reset();
        m_library.reset();
    }

    void load(e_build build) {
        m_build = build;
        const char* file = build == e_build::shipped   ? TOVREL_FFMPEG_SHIPPED
                           : build == e_build::old_api ? TOVREL_FFMPEG_OLD_API
                                                       : TOVREL_FFMPEG_HOOKS;
        m_library = std::make_unique<tovrel_test::loaded_library>(file);
        m_ffm_register = m_library->function<bool (*)()>(k_ffm_register);
        m_get_ffm_lock = m_library->function<critical_section& (*)()>(k_get_ffm_lock);
        ASSERT_NE(m_ffm_register, nullptr);
        ASSERT_NE(m_get_ffm_lock, nullptr);
        if (build == e_build::old_api) ffmpeg_old_api::watch_ffm_lock(&m_get_ffm_lock());
    }

    bool ffm_register() { return m_ffm_register(); }
    critical_section& ffm_lock() { return m_get_ffm_lock(); }

    // The FFmpeg calls the stand-in saw, in order.
    static std::vector<e_call> ffmpeg_calls() {
        std::vector<e_call> calls;
        for (std::size_t i = 0; i < ffmpeg_old_api::call_count(); ++i) {
            calls.push_back(ffmpeg_old_api::call_at(i).call);
        }
        return calls;
    }

    e_build m_build = e_build::shipped;
    std::unique_ptr<tovrel_test::loaded_library> m_library;
    bool (*m_ffm_register)() = nullptr;
    critical_section& (*m_get_ffm_lock)() = nullptr;
};

std::string build_name(const ::testing::TestParamInfo<e_build>& info) {
    return name_of(info.param);
}

// ---------------------------------------------------------------------------
// ffm_register and get_ffm_lock, on every build.

using registration = registration_library;

TEST_P(registration, concurrent_first_calls_register_once_and_all_return_true) {
    std::atomic<int> true_results{0};
    tovrel_test::on_threads_at_once(k_threads, [&](int) {
        if (ffm_register()) true_results.fetch_add(1);
    });
    EXPECT_EQ(true_results.load(), k_threads);
    EXPECT_EQ(owner_of(ffm_lock()), 0u);
    EXPECT_EQ(recursion_of(ffm_lock()), 0u);
    if (m_build == e_build::old_api) {
        EXPECT_THAT(ffmpeg_calls(),
                    ::testing::ElementsAre(e_call::lockmgr_register, e_call::register_all));
    }
}

TEST_P(registration, holder_of_the_ffm_lock_registers_without_waiting_and_keeps_its_levels) {
    const std::uint32_t self = GetCurrentThreadId();
    counting::install();
    // Three levels held across the first call, which registers; one level
    // across a later call.
    for (const std::uint32_t levels : {3u, 1u}) {
        for (std::uint32_t i = 0; i < levels; ++i) ffm_lock().lock();
        const int acquires = counting::acquires.load();
        EXPECT_TRUE(ffm_register());
        EXPECT_EQ(counting::acquires.load(), acquires) << "levels held: " << levels;
        EXPECT_EQ(owner_of(ffm_lock()), self);
        EXPECT_EQ(recursion_of(ffm_lock()), levels - 1);
        for (std::uint32_t i = 0; i < levels; ++i) ffm_lock().unlock();
        EXPECT_EQ(owner_of(ffm_lock()), 0u);
    }
    if (m_build == e_build::old_api) {
        ASSERT_EQ(ffmpeg_old_api::call_count(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(ffmpeg_old_api::call_at(i).thread, self);
            EXPECT_TRUE(ffmpeg_old_api::call_at(i).ffm_lock_held);
        }
    }
}

TEST_P(registration, get_ffm_lock_is_one_lock_for_every_thread_and_registers_nothing) {
    critical_section* const first = &ffm_lock();
    std::vector<critical_section*> seen(k_threads, nullptr);
    tovrel_test::on_threads_at_once(k_threads, [&](int i) { seen[i] = &ffm_lock(); });
    EXPECT_THAT(seen, ::testing::Each(first));
    if (m_build == e_build::old_api) {
        EXPECT_EQ(ffmpeg_old_api::call_count(), 0u);
    }

    EXPECT_TRUE(ffm_register());
    EXPECT_EQ(&ffm_lock(), first);
    // It is a working lock, free when not taken.
    EXPECT_EQ(owner_of(*first), 0u);
    first->lock();
    EXPECT_EQ(owner_of(*first), GetCurrentThreadId());
    first->unlock();
    EXPECT_EQ(owner_of(*first), 0u);
}

INSTANTIATE_TEST_SUITE_P(builds, registration,
                         ::testing::Values(e_build::shipped, e_build::old_api, e_build::hooks),
                         build_name);

// ---------------------------------------------------------------------------
// The lock-manager protocol, played from FFmpeg's side: through the callback
// that the old-release build handed to the stand-in, and through the hook of
// the current-release build.

class lock_manager : public registration_library {
  protected:
    void SetUp() override {
        registration_library::SetUp();
        if (HasFatalFailure()) return;
        if (m_build == e_build::old_api) {
            ASSERT_TRUE(ffm_register());
            const ffmpeg_old_api::lock_manager installed = ffmpeg_old_api::installed_lock_manager();
            ASSERT_NE(installed, nullptr);
            m_call = [installed](void** mutex, std::int32_t op) {
                // The old protocol's operations are exactly AVLockOp's four.
                EXPECT_TRUE(op >= k_create && op <= k_destroy);
                return static_cast<std::int32_t>(installed(mutex, static_cast<AVLockOp>(op)));
            };
        } else {
            using hook = std::int32_t (*(*)())(void**, std::int32_t);
            const auto lock_manager = m_library->function<hook>("tovrel_ffmpeg_test_lock_manager");
            ASSERT_NE(lock_manager, nullptr);
            m_call = lock_manager();
            ASSERT_NE(m_call, nullptr);
        }
    }

    std::int32_t lock_op(void** mutex, std::int32_t op) { return m_call(mutex, op); }

    critical_section& create_one() {
        void* mutex = nullptr;
        EXPECT_EQ(lock_op(&mutex, k_create), 0);
        EXPECT_NE(mutex, nullptr);
        return as_lock(mutex);
    }

    std::function<std::int32_t(void**, std::int32_t)> m_call;
};

TEST_P(lock_manager, every_created_mutex_is_one_free_lock_apart_from_the_ffm_lock) {
    int placeholder = 0;
    void* first = &placeholder;
    void* second = nullptr;
    EXPECT_EQ(lock_op(&first, k_create), 0);
    EXPECT_EQ(lock_op(&second, k_create), 0);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, static_cast<void*>(&placeholder));
    EXPECT_EQ(first, second);
    EXPECT_NE(first, static_cast<void*>(&ffm_lock()));
    EXPECT_EQ(owner_of(as_lock(first)), 0u);
    if (m_build == e_build::old_api) {
        // The codec and format mutexes made when the lock manager went in.
        EXPECT_EQ(ffmpeg_old_api::created_mutex(0), first);
        EXPECT_EQ(ffmpeg_old_api::created_mutex(1), first);
    }
}

TEST_P(lock_manager, obtaining_a_second_mutex_nests_on_one_thread_and_waits_on_another) {
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(lock_op(&first, k_create), 0);
    ASSERT_EQ(lock_op(&second, k_create), 0);
    critical_section& lock = as_lock(first);
    const std::uint32_t self = GetCurrentThreadId();
    counting::install();

    EXPECT_EQ(lock_op(&first, k_obtain), 0);
    EXPECT_EQ(lock_op(&second, k_obtain), 0);
    EXPECT_EQ(counting::acquires.load(), 1);
    EXPECT_EQ(owner_of(lock), self);
    EXPECT_EQ(recursion_of(lock), 1u);

    std::atomic<bool> obtained{false};
    std::uint32_t other_id = 0;
    std::uint32_t owner_seen = 0;
    std::uint32_t recursion_seen = 1;
    std::thread other([&] {
        other_id = GetCurrentThreadId();
        EXPECT_EQ(lock_op(&second, k_obtain), 0);
        owner_seen = owner_of(lock);
        recursion_seen = recursion_of(lock);
        obtained = true;
        EXPECT_EQ(lock_op(&second, k_release), 0);
    });
    // Until the other thread is inside the slim lock's acquire (or, wrongly,
    // past it).
    while (counting::acquires.load() < 2 && !obtained.load()) std::this_thread::yield();
    EXPECT_FALSE(obtained.load());

    EXPECT_EQ(lock_op(&second, k_release), 0);
    EXPECT_EQ(owner_of(lock), self);
    EXPECT_FALSE(obtained.load());
    EXPECT_EQ(lock_op(&first, k_release), 0);
    other.join();
    EXPECT_TRUE(obtained.load());
    EXPECT_EQ(owner_seen, other_id);
    EXPECT_EQ(recursion_seen, 0u);
    EXPECT_EQ(owner_of(lock), 0u);
    EXPECT_EQ(counting::acquires.load(), 2);
    EXPECT_EQ(counting::releases.load(), 2);
}

TEST_P(lock_manager, obtain_and_release_take_the_one_lock_whatever_the_slot_holds) {
    critical_section& lock = create_one();
    int unrelated = 0;
    void* null_slot = nullptr;
    void* other_slot = &unrelated;
    EXPECT_EQ(lock_op(&null_slot, k_obtain), 0);
    EXPECT_EQ(owner_of(lock), GetCurrentThreadId());
    EXPECT_EQ(lock_op(&other_slot, k_obtain), 0);
    EXPECT_EQ(recursion_of(lock), 1u);
    EXPECT_EQ(lock_op(&other_slot, k_release), 0);
    EXPECT_EQ(lock_op(&null_slot, k_release), 0);
    EXPECT_EQ(owner_of(lock), 0u);
    EXPECT_EQ(null_slot, nullptr);
    EXPECT_EQ(other_slot, static_cast<void*>(&unrelated));
}

TEST_P(lock_manager, destroy_clears_the_slot_leaves_the_lock_alone_and_create_hands_it_out_again) {
    void* mutex = nullptr;
    ASSERT_EQ(lock_op(&mutex, k_create), 0);
    critical_section* const lock = &as_lock(mutex);
    ASSERT_EQ(lock_op(&mutex, k_obtain), 0);
    ASSERT_EQ(lock_op(&mutex, k_obtain), 0);

    EXPECT_EQ(lock_op(&mutex, k_destroy), 0);
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(owner_of(*lock), GetCurrentThreadId());
    EXPECT_EQ(recursion_of(*lock), 1u);

    void* again = nullptr;
    EXPECT_EQ(lock_op(&again, k_create), 0);
    EXPECT_EQ(again, static_cast<void*>(lock));
    EXPECT_EQ(lock_op(&again, k_release), 0);
    EXPECT_EQ(lock_op(&again, k_release), 0);
    EXPECT_EQ(owner_of(*lock), 0u);
}

TEST_P(lock_manager, create_or_destroy_without_a_slot_is_an_error_and_changes_nothing) {
    critical_section& lock = create_one();
    EXPECT_NE(lock_op(nullptr, k_create), 0);
    EXPECT_NE(lock_op(nullptr, k_destroy), 0);
    EXPECT_EQ(owner_of(lock), 0u);
    EXPECT_EQ(&create_one(), &lock);
}

INSTANTIATE_TEST_SUITE_P(builds, lock_manager, ::testing::Values(e_build::old_api, e_build::hooks),
                         build_name);

// Only a build against a current release can be given codes outside
// AVLockOp: the old protocol passes them as that enumeration, which holds
// only its four values. Against FFmpeg 4.x the hooks build is an old-protocol
// build too.
#if !TOVREL_TEST_HOOKS_OLD_PROTOCOL
using lock_manager_any_code = lock_manager;

TEST_P(lock_manager_any_code, unknown_operations_return_zero_and_do_nothing) {
    critical_section& lock = create_one();
    const std::int32_t unknown[] = {4,
                                    5,
                                    255,
                                    -1,
                                    std::numeric_limits<std::int32_t>::max(),
                                    std::numeric_limits<std::int32_t>::min()};
    counting::install();
    int marker = 0;
    for (const bool held : {false, true}) {
        if (held) lock.lock();
        const std::uint32_t owner = owner_of(lock);
        for (const std::int32_t op : unknown) {
            void* slot = &marker;
            EXPECT_EQ(lock_op(&slot, op), 0) << op;
            EXPECT_EQ(slot, static_cast<void*>(&marker)) << op;
            EXPECT_EQ(lock_op(nullptr, op), 0) << op;
            EXPECT_EQ(owner_of(lock), owner) << op;
            EXPECT_EQ(recursion_of(lock), 0u) << op;
        }
        if (held) lock.unlock();
    }
    EXPECT_EQ(counting::acquires.load(), 1);
    EXPECT_EQ(counting::releases.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(builds, lock_manager_any_code, ::testing::Values(e_build::hooks),
                         build_name);
#endif

// ---------------------------------------------------------------------------
// The FFmpeg calls of the old-release path, as the stand-in recorded them.

using old_ffmpeg = registration_library;

TEST_P(old_ffmpeg, registration_installs_the_lock_manager_then_registers_all_under_the_ffm_lock) {
    EXPECT_TRUE(ffm_register());
    EXPECT_THAT(ffmpeg_calls(),
                ::testing::ElementsAre(e_call::lockmgr_register, e_call::register_all));
    for (std::size_t i = 0; i < ffmpeg_old_api::call_count(); ++i) {
        EXPECT_EQ(ffmpeg_old_api::call_at(i).thread, GetCurrentThreadId());
        EXPECT_TRUE(ffmpeg_old_api::call_at(i).ffm_lock_held);
    }
    EXPECT_NE(ffmpeg_old_api::installed_lock_manager(), nullptr);
    EXPECT_EQ(owner_of(ffm_lock()), 0u);
}

TEST_P(old_ffmpeg, later_calls_from_any_thread_touch_no_ffmpeg) {
    EXPECT_TRUE(ffm_register());
    ASSERT_EQ(ffmpeg_old_api::call_count(), 2u);
    const ffmpeg_old_api::lock_manager installed = ffmpeg_old_api::installed_lock_manager();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(ffm_register());
    bool elsewhere = false;
    std::thread([&] { elsewhere = ffm_register(); }).join();
    EXPECT_TRUE(elsewhere);
    EXPECT_EQ(ffmpeg_old_api::call_count(), 2u);
    EXPECT_EQ(ffmpeg_old_api::installed_lock_manager(), installed);
}

TEST_P(old_ffmpeg, a_failed_lock_manager_install_goes_unnoticed_and_is_not_retried) {
    ffmpeg_old_api::fail_lockmgr_register(-1);
    EXPECT_TRUE(ffm_register());
    EXPECT_TRUE(ffm_register());
    EXPECT_THAT(ffmpeg_calls(),
                ::testing::ElementsAre(e_call::lockmgr_register, e_call::register_all));
    EXPECT_EQ(owner_of(ffm_lock()), 0u);
}

TEST_P(old_ffmpeg, every_load_of_the_library_registers_once) {
    EXPECT_TRUE(ffm_register());
    EXPECT_TRUE(ffm_register());
    ASSERT_TRUE(m_library->unload());
    ffmpeg_old_api::reset();
    load(e_build::old_api);
    EXPECT_TRUE(ffm_register());
    EXPECT_TRUE(ffm_register());
    EXPECT_THAT(ffmpeg_calls(),
                ::testing::ElementsAre(e_call::lockmgr_register, e_call::register_all));
}

INSTANTIATE_TEST_SUITE_P(builds, old_ffmpeg, ::testing::Values(e_build::old_api), build_name);

}  // namespace
