// The recording of a followed run, looked at once per update: its file by
// its name, what the scan finds new in it, and the room left for it.
#pragma once

#include <string>

#include "core/follow_step.h"
#include "media/recording_scan.h"
#include "os/followed_file.h"
#include "os/os_services.h"

namespace Harnvik::Report {

class recording_watch {
  public:
    explicit recording_watch(const std::string& name) : m_file(name) {}

    recording_look look();

  private:
    os::followed_file m_file;
    recording_scan m_scan;
    os::writer_limit m_limit;
};

}  // namespace Harnvik::Report
