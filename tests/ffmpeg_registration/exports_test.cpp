// The export list of the registration library, as the loader sees it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loaded_library.h"

namespace {

using ::testing::UnorderedElementsAre;

std::vector<std::string> readable_exports(const tovrel_test::loaded_library& library) {
    std::vector<std::string> names;
    for (const std::string& name : library.exported_names()) {
        names.push_back(tovrel_test::demangle(name));
    }
    return names;
}

TEST(exports, the_library_exports_exactly_its_two_functions) {
    tovrel_test::loaded_library library(TOVREL_FFMPEG_SHIPPED);
    EXPECT_THAT(readable_exports(library), UnorderedElementsAre("Tovrel::ffmpeg::ffm_register()",
                                                                "Tovrel::ffmpeg::get_ffm_lock()"));
    EXPECT_NE(library.symbol("_ZN6Tovrel6ffmpeg12ffm_registerEv"), nullptr);
    EXPECT_NE(library.symbol("_ZN6Tovrel6ffmpeg12get_ffm_lockEv"), nullptr);
}

// The same source with its test hook has one export more, and the listing
// sees it.
TEST(exports, an_export_beyond_the_two_is_listed) {
    tovrel_test::loaded_library library(TOVREL_FFMPEG_HOOKS);
    EXPECT_THAT(readable_exports(library), UnorderedElementsAre("Tovrel::ffmpeg::ffm_register()",
                                                                "Tovrel::ffmpeg::get_ffm_lock()",
                                                                "tovrel_ffmpeg_test_lock_manager"));
}

}  // namespace
