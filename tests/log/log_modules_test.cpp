// The module table through its list operations, and the lifecycle modes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "vetu_log.h"

namespace {

std::string module_list() {
    char out[LOG_COMMAND_SIZE] = {0};
    get_modules_list(out);
    return out;
}

// Standard output of one insert_modules_list call.
std::string insert_output(const std::string& list, unsigned int value) {
    hac_test::StdoutCapture capture;
    EXPECT_EQ(insert_modules_list(list.c_str(), value), 0);
    return capture.stop();
}

class ModuleList : public ::testing::Test {
protected:
    void SetUp() override { clear_modules_list(); }
    void TearDown() override { clear_modules_list(); }
};

TEST_F(ModuleList, EmptyPiecesSkippedAndNamesInByteOrder) {
    EXPECT_EQ(insert_output("|b|a||B|", 1), "");
    char out[LOG_COMMAND_SIZE];
    EXPECT_EQ(get_modules_list(out), 3);
    EXPECT_STREQ(out, "B|a|b");
}

TEST_F(ModuleList, NamesOver32CharactersAreRefused) {
    const std::string name32(32, 'n'), name33(33, 'm');
    EXPECT_EQ(insert_output(name33 + "|" + name32 + "|ok", 1),
              "module:" + name33 + " set error, length is 33, out of max length:32\n");
    EXPECT_EQ(module_list(), name32 + "|ok");
}

TEST_F(ModuleList, FullTableRefusesTheRestOfAList) {
    std::string twenty;
    for (int i = 0; i < 20; ++i) twenty += "m" + std::to_string(10 + i) + "|";
    EXPECT_EQ(insert_output(twenty, 2), "");
    EXPECT_EQ(insert_output("m15", 1), "module:m15 set error, module_list map has number:20\n");
    EXPECT_EQ(vetu_log_getLevel("m15"), LOG_LEVEL_ERROR) << "value unchanged";
    EXPECT_EQ(insert_output("x|y", 1), "module:x set error, module_list map has number:20\n");
    EXPECT_EQ(insert_output("m15|x", 0), "");
    char out[LOG_COMMAND_SIZE];
    EXPECT_EQ(get_modules_list(out), 19);
    EXPECT_EQ(std::string(out).find("m15"), std::string::npos);
}

TEST_F(ModuleList, ListIsCutAt1024Characters) {
    insert_modules_list((std::string(1020, '|') + "abcdefgh").c_str(), 1);
    EXPECT_EQ(module_list(), "abcd");
}

TEST_F(ModuleList, EmptyTableAndBadArguments) {
    char out[LOG_COMMAND_SIZE] = "untouched";
    EXPECT_EQ(get_modules_list(out), 0);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(get_modules_list(nullptr), -1);
    EXPECT_EQ(insert_modules_list(nullptr, 1), -1);
    insert_modules_list("HAC", 1);
    EXPECT_EQ(get_modules_list(nullptr), -1);
    EXPECT_EQ(clear_modules_list(), 0);
    EXPECT_EQ(get_modules_list(out), 0);
}

TEST(LogLifecycle, ModesOtherThanZeroAndOneAreRefused) {
    EXPECT_EQ(std::vector<int>({vetu_log_initialize(0), vetu_log_initialize(2), vetu_log_initialize(-1)}),
              std::vector<int>({0, -1, -1}));
    EXPECT_EQ(std::vector<int>({vetu_log_finalize(0), vetu_log_finalize(1), vetu_log_finalize(2)}),
              std::vector<int>({0, 0, -1}));
}

}  // namespace
