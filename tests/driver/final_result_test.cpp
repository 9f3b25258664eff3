// The final-result table: each final result code, the prompt, the lines an
// answer may hold before its result, and answers that have not ended.
#include <gtest/gtest.h>

#include <string>

#include "final_result.h"

namespace {

TEST(FinalResult, the_last_line_decides) {
    const struct {
        std::string answer;
        FinalResult expected;
    } rows[] = {
        {"\r\nOK\r\n", FinalResult::Success},
        {"ATI\r\r\nModel\r\n\r\nOK\r\n", FinalResult::Success},  // echo and information first
        {"\r\nCONNECT\r\n", FinalResult::Success},
        {"\r\nCONNECT 150000000\r\n", FinalResult::Success},
        {"AT+CMGS=\"123\"\r\r\n> ", FinalResult::Success},
        {"> ", FinalResult::Success},
        {"\r\nERROR\r\n", FinalResult::Error},
        {"\r\n+CME ERROR: SIM not inserted\r\n", FinalResult::Error},
        {"\r\n+CMS ERROR: 500\n", FinalResult::Error},
        {"\r\nNO CARRIER\r\n", FinalResult::Error},
        {"\r\nBUSY\r\n", FinalResult::Error},
        {"\r\nNO ANSWER\r\n", FinalResult::Error},
        {"\r\nNO DIALTONE\r\n", FinalResult::Error},
        {"\r\nOK\r\n\r\nRING\r\n", FinalResult::None},  // an unsolicited line after the result
        {"\r\nOK", FinalResult::Success},
        {"\r\nOKAY\r\n", FinalResult::None},
        {"\r\n+CSQ: 20,99\r\n", FinalResult::None},
        {"AT\r", FinalResult::None},  // only the echo
        {"a > ", FinalResult::None},  // not a prompt: not at a line start
        {"", FinalResult::None},
        {"\r\n\r\n", FinalResult::None},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.expected, ClassifyAnswer(row.answer)) << ::testing::PrintToString(row.answer);
    }
}

}  // namespace
