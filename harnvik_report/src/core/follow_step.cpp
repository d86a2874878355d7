#include "core/follow_step.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/statistics.h"

namespace Harnvik::Report {

namespace {

constexpr double k_not_a_number = std::numeric_limits<double>::quiet_NaN();
// The shortest quiet after the final text that ends a followed log.
constexpr double k_least_quiet_after_end_s = 2.0;
// Notes the view keeps: it shows the last few.
constexpr std::size_t k_notes_kept = 20;

}  // namespace

bool is_foreign_log(const log_facts& facts, bool whole) {
    if (facts.rate_lines() != 0 || facts.start_line != 0) return false;
    return whole || facts.lines >= k_lines_before_doubt;
}

void take_room(recording_sample& sample, const recording_look& look) {
    sample.room_bytes = look.free_bytes;
    sample.room_is_limit = false;
    sample.limit_owner = look.limit_owner;
    sample.writer = look.limit_owner == e_limit_of_writer ? look.writer : 0;
    if (look.size_limit < 0) return;
    const std::int64_t below = std::max<std::int64_t>(look.size_limit - sample.file_bytes, 0);
    if (sample.room_bytes < 0 || below < sample.room_bytes) {
        sample.room_bytes = below;
        sample.room_is_limit = true;
    }
}

double quiet_after_end_s(double median_before, double median_since) {
    const double rate = std::isnan(median_since) ? median_before : median_since;
    if (!(rate > 0.0)) return k_least_quiet_after_end_s;
    return std::max(k_least_quiet_after_end_s, 1.5 * measurement_seconds(rate));
}

follow_step::follow_step(follow_settings settings, double now_s)
    : m_settings(std::move(settings)), m_reader(std::make_unique<log_reader>()) {
    m_status.log_name = m_settings.log_name;
    m_status.has_file = !m_settings.file_name.empty();
    m_status.file_name = m_settings.file_name;
    m_refreshed_s = now_s;
    m_quiet_since_s = now_s;
    complete_status(m_status);
}

follow_step::~follow_step() = default;

bool follow_step::due(double now_s) const {
    return !m_refreshed_once || now_s - m_refreshed_s >= m_settings.refresh_s;
}

follow_update follow_step::step(double now_s, log_news news, const recording_look* look) {
    follow_update update;
    const std::size_t notes_before = m_pending.size();
    update.refreshed = due(now_s);
    const std::int64_t rate_lines_before = m_reader->so_far().rate_lines();
    take_log_news(now_s, news);
    const log_facts& facts = m_reader->so_far();
    update.new_lines = facts.rate_lines() > rate_lines_before;
    if (!m_doubted && is_foreign_log(facts, false)) {
        m_doubted = true;
        note(std::to_string(facts.lines) +
             " lines and none of them Harnvik's: is this its standard output?");
    }
    if (update.refreshed) {
        m_refreshed_s = now_s;
        m_refreshed_once = true;
        if (look != nullptr && m_status.has_file) take_look(*look);
    }

    live_status& status = m_status;
    status.lines = facts.lines;
    status.rate_lines = facts.rate_lines();
    status.foreign_lines = facts.foreign_count;
    status.started = facts.start_line != 0;
    status.ended = m_reader->has_final_text();
    take_log(status, m_figures);
    status.since_newest_line_s = m_newest_line_s < 0 ? k_not_a_number : now_s - m_newest_line_s;
    status.since_start_text_s = m_start_text_s < 0 ? k_not_a_number : now_s - m_start_text_s;
    complete_status(status);

    update.ended = run_ended(now_s, news);
    update.noted = m_pending.size() != notes_before;
    return update;
}

void follow_step::take_log_news(double now_s, log_news& news) {
    const std::string& name = m_settings.log_file;
    switch (news.change) {
        case e_log_same:
            break;
        case e_log_missing:
            if (!m_waiting) note("waiting for the log " + name + ": no such file yet");
            m_waiting = true;
            break;
        case e_log_opened:
            if (m_waiting) note("the log " + name + " is there now");
            m_waiting = false;
            break;
        case e_log_replaced:
            note("the log " + name + " was replaced by another file: read from its start");
            restart_log();
            break;
        case e_log_cut:
            note("the log was cut to " + std::to_string(news.cut_to) + " bytes (it had " +
                 std::to_string(news.had) + "): read again from its start");
            restart_log();
            break;
        case e_log_unnamed:
            note("the log's name " + name + " is gone: the file still open is read");
            break;
    }
    if (news.bytes.empty()) return;
    m_quiet_since_s = now_s;
    const bool had_start = m_reader->so_far().start_line != 0;
    m_reader->feed(news.bytes);
    if (m_figures.take(m_reader->so_far()) > 0) m_newest_line_s = now_s;
    if (!had_start && m_reader->so_far().start_line != 0) m_start_text_s = now_s;
}

void follow_step::restart_log() {
    m_reader = std::make_unique<log_reader>();
    m_figures = live_log{};
    m_doubted = false;
    m_newest_line_s = -1.0;
    m_start_text_s = -1.0;
}

void follow_step::take_look(const recording_look& look) {
    recording_sample& sample = m_status.recording;
    switch (look.change) {
        case e_file_missing:
            sample = recording_sample{};
            m_file_error.clear();
            return;
        case e_file_failed:
            if (look.error != m_file_error) note(look.error);
            m_file_error = look.error;
            return;
        case e_file_replaced:
            note("the recording was replaced by another file: read from its start");
            break;
        case e_file_unnamed:
            note("the recording's name is gone: the file still open is read");
            break;
        case e_file_same:
            break;
    }
    m_file_error.clear();
    sample = look.sample;
    for (const std::string& text : look.notes) note(text);
    take_room(sample, look);
}

bool follow_step::run_ended(double now_s, const log_news& news) const {
    if (news.input_ended) return true;
    // A log file has no end of its own: its run has ended once the log has
    // been quiet after the final text. Standard input ends with the run.
    return !m_settings.log_file.empty() && m_reader->has_final_text() &&
           now_s - m_quiet_since_s >=
               quiet_after_end_s(m_status.median_before, m_status.median_since);
}

std::vector<std::string> follow_step::take_notes() {
    return std::exchange(m_pending, {});
}

void follow_step::note(std::string text) {
    m_pending.push_back(text);
    m_status.notes.push_back(std::move(text));
    if (m_status.notes.size() > k_notes_kept) m_status.notes.erase(m_status.notes.begin());
}

log_facts follow_step::finish() {
    return m_reader->finish();
}

}  // namespace Harnvik::Report
