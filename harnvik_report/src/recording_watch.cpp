#include "recording_watch.h"

namespace Harnvik::Report {

recording_look recording_watch::look() {
    recording_look look;
    switch (m_file.look()) {
        case os::followed_file::e_look_missing:
            look.change = e_file_missing;
            return look;
        case os::followed_file::e_look_failed:
            look.change = e_file_failed;
            look.error = m_file.error();
            return look;
        case os::followed_file::e_look_replaced:
            look.change = e_file_replaced;
            m_scan.restart();
            break;
        case os::followed_file::e_look_unnamed:
            look.change = e_file_unnamed;
            break;
        default:
            break;
    }
    byte_source source;
    source.size = m_file.size();
    source.read = [this](std::int64_t offset, std::uint8_t* out, std::size_t count) {
        return m_file.read_at(offset, out, count) == static_cast<std::int64_t>(count);
    };
    m_scan.look(source, look.sample, look.notes);
    look.free_bytes = os::free_bytes_for(m_file.name());
    // Only a file still written has a writer to ask.
    if (look.sample.state == e_recording_fragmented || look.sample.state == e_recording_no_header) {
        const os::size_limit limit = m_limit.look(m_file.name());
        look.size_limit = limit.bytes;
        look.limit_owner = limit.of_writer ? e_limit_of_writer : e_limit_of_follower;
        look.writer = limit.writer;
    }
    return look;
}

}  // namespace Harnvik::Report
