// The final-result table: each final result code, the prompt, the lines an
// answer may hold before its result, what follows it, and answers that have
// not ended.
#include <gtest/gtest.h>

#include <string>

#include "final_result.h"

namespace {

TEST(FinalResult, the_first_final_result_line_decides) {
    const struct {
        std::string answer;
        FinalResult expected;
        size_t end;  // where the answer ends, as read while it arrives; 0: it has not
    } rows[] = {
        {"\r\nOK\r\n", FinalResult::Success, 6},
        {"ATI\r\r\nModel\r\n\r\nOK\r\n", FinalResult::Success, 19},  // echo and information first
        {"\r\nCONNECT\r\n", FinalResult::Success, 11},
        {"\r\nCONNECT 150000000\r\n", FinalResult::Success, 21},
        {"AT+CMGS=\"123\"\r\r\n> ", FinalResult::Success, 18},
        {"> ", FinalResult::Success, 2},
        {"\r\nERROR\r\n", FinalResult::Error, 9},
        {"\r\n+CME ERROR: SIM not inserted\r\n", FinalResult::Error, 32},
        {"\r\n+CMS ERROR: 500\n", FinalResult::Error, 18},
        {"\r\nNO CARRIER\r\n", FinalResult::Error, 14},
        {"\r\nBUSY\r\n", FinalResult::Error, 8},
        {"\r\nNO ANSWER\r\n", FinalResult::Error, 13},
        {"\r\nNO DIALTONE\r\n", FinalResult::Error, 15},
        {"\r\nOK\r\n\r\nRING\r\n", FinalResult::Success, 6},  // an unsolicited line after it
        {"\r\nOK", FinalResult::Success, 0},                  // whole, or still arriving
        {"\r\n+CME ERROR: 1", FinalResult::Error, 0},         // "10" may be on its way
        {"\r\nOKAY\r\n", FinalResult::None, 0},
        {"\r\n+CSQ: 20,99\r\n", FinalResult::None, 0},
        {"AT\r", FinalResult::None, 0},  // only the echo
        {"a > ", FinalResult::None, 0},  // not a prompt: not at a line start
        {"", FinalResult::None, 0},
        {"\r\n\r\n", FinalResult::None, 0},
    };
    for (const auto& row : rows) {
        const std::string what = ::testing::PrintToString(row.answer);
        EXPECT_EQ(row.expected, ClassifyAnswer(row.answer)) << what;
        size_t end = 0;
        EXPECT_EQ(row.end != 0 ? row.expected : FinalResult::None, FindFinalResult(row.answer, false, &end)) << what;
        EXPECT_EQ(row.end, row.end != 0 ? end : 0u) << what;
    }
}

}  // namespace
