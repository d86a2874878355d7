// The library's one error convention. Every step that can fail returns a
// fault; an empty fault means success. The text a user reads is made from it
// in one place, describe().
#pragma once

#include <string>

namespace Selmet::Palvex::detail {

enum e_fault {
    e_fault_none,
    e_fault_settings,  // the settings cannot be recorded
    e_fault_setup,     // the muxer or an encoder could not be set up
    e_fault_message,   // a message the writer cannot take
    e_fault_encoder,   // an encoder failed on data it had taken
    e_fault_write,     // a write or sync failed, or the muxer's bytes make no file
    e_fault_read,      // the file (or its size) could not be read
    e_fault_stopped,   // media stopped before a fragment: the disk or the size limit
    e_fault_memory,
    e_fault_layout,  // the file's boxes are not what the muxer writes
    e_fault_finish,  // the full index could not be put into the file
    e_fault_closed,  // a write after close()
};

struct fault {
    e_fault kind = e_fault_none;
    std::string text;  // what went wrong, in the user's words
    int av_code = 0;   // FFmpeg's reason, appended to the text where not 0

    explicit operator bool() const { return kind != e_fault_none; }
};

inline fault failure(e_fault kind, std::string text, int av_code = 0) {
    return fault{kind, std::move(text), av_code};
}

inline fault no_memory() {
    return failure(e_fault_memory, {});
}

// FFmpeg's text for one of its negative error codes.
std::string av_error_text(int code);

// The text the user reads for a fault.
std::string describe(const fault& problem);

}  // namespace Selmet::Palvex::detail
