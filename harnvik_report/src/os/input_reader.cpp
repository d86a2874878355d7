#include "os/input_reader.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "os/os_services.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Harnvik::Report::os {

namespace {

constexpr std::size_t k_block = 64 * 1024;

// One read of what has come, as the system hands it over: negative on a
// failure, 0 at the end.
long long read_some(int descriptor, char* into, std::size_t size) {
#if defined(_WIN32)
    return _read(descriptor, into, static_cast<unsigned>(size));
#else
    return ::read(descriptor, into, size);
#endif
}

}  // namespace

// What the reading thread and the caller share; the thread keeps it alive
// for as long as it runs, however long the reader lives.
struct input_reader::shared {
    std::mutex lock;
    std::condition_variable arrived;
    std::string bytes;
    bool ended = false;
    std::string error;
};

input_reader::input_reader(int descriptor) : m_shared(std::make_shared<shared>()) {
    if (descriptor == 0) read_stdin_as_bytes();
    m_thread = std::thread([state = m_shared, descriptor] {
        std::string block(k_block, '\0');
        for (;;) {
            const long long got = read_some(descriptor, block.data(), block.size());
            if (got < 0 && errno == EINTR) continue;
            const std::lock_guard<std::mutex> hold(state->lock);
            if (got > 0) {
                state->bytes.append(block.data(), static_cast<std::size_t>(got));
            } else {
                if (got < 0) state->error = std::strerror(errno);
                state->ended = true;
            }
            state->arrived.notify_all();
            if (got <= 0) return;
        }
    });
}

input_reader::~input_reader() {
    bool ended = false;
    {
        const std::lock_guard<std::mutex> hold(m_shared->lock);
        ended = m_shared->ended;
    }
    if (ended) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
}

bool input_reader::take(std::string& out, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(m_shared->lock);
    m_shared->arrived.wait_for(hold, wait,
                               [this] { return !m_shared->bytes.empty() || m_shared->ended; });
    out += m_shared->bytes;
    m_shared->bytes.clear();
    return !m_shared->ended;
}

std::string input_reader::error() const {
    const std::lock_guard<std::mutex> hold(m_shared->lock);
    return m_shared->error;
}

}  // namespace Harnvik::Report::os
