// The loaded library and the headers carry the project version.
// HAC_PROJECT_VERSION is CMake's PROJECT_VERSION, passed by tests/version.
#include <vetu_hac.h>

#include <gtest/gtest.h>

#include <string>

TEST(Version, LoadedLibraryAndHeadersCarryTheProjectVersion) {
    const char* loaded = vetu_hac_library_version();
    ASSERT_NE(loaded, nullptr);
    EXPECT_STREQ(loaded, HAC_PROJECT_VERSION);
    EXPECT_STREQ(HBBTV_HAC_VERSION_STRING, HAC_PROJECT_VERSION);
    const std::string from_parts = std::to_string(HBBTV_HAC_VERSION_MAJOR) + "." +
                                   std::to_string(HBBTV_HAC_VERSION_MINOR) + "." +
                                   std::to_string(HBBTV_HAC_VERSION_PATCH);
    EXPECT_EQ(from_parts, HAC_PROJECT_VERSION);
}
