#include "os/log_source.h"

#include <algorithm>
#include <thread>

#include "os/followed_file.h"
#include "os/input_reader.h"

namespace Harnvik::Report::os {

namespace {

constexpr std::size_t k_read_block = 1 << 20;

}  // namespace

log_source::log_source(const std::string& name) {
    if (name == "-") {
        m_input = std::make_unique<input_reader>();
    } else {
        m_file = std::make_unique<followed_file>(name);
    }
}

log_source::~log_source() = default;

bool log_source::poll(std::chrono::milliseconds wait, log_news& news) {
    if (m_input) {
        if (m_input->take(news.bytes, wait)) return true;
        m_error = m_input->error();
        news.input_ended = m_error.empty();
        if (!news.input_ended) m_error = "cannot read standard input: " + m_error;
        return news.input_ended;
    }
    if (!m_first) std::this_thread::sleep_for(wait);
    m_first = false;
    followed_file& file = *m_file;
    switch (file.look()) {
        case followed_file::e_look_missing:
            news.change = e_log_missing;
            return true;
        case followed_file::e_look_failed:
            m_error = file.error();
            return false;
        case followed_file::e_look_replaced:
            news.change = e_log_replaced;
            m_read = 0;
            break;
        case followed_file::e_look_cut:
            news.change = e_log_cut;
            news.cut_to = file.size();
            news.had = m_read;
            m_read = 0;
            break;
        case followed_file::e_look_unnamed:
            news.change = e_log_unnamed;
            break;
        case followed_file::e_look_opened:
            news.change = e_log_opened;
            break;
        case followed_file::e_look_same:
            break;
    }
    while (m_read < file.size()) {
        const std::size_t at = news.bytes.size();
        const auto wanted =
            static_cast<std::size_t>(std::min<std::int64_t>(file.size() - m_read, k_read_block));
        news.bytes.resize(at + wanted);
        const std::int64_t got = file.read_at(m_read, news.bytes.data() + at, wanted);
        if (got < 0) {
            m_error = file.error();
            return false;
        }
        news.bytes.resize(at + static_cast<std::size_t>(got));
        m_read += got;
        if (got == 0) break;
    }
    return true;
}

}  // namespace Harnvik::Report::os
