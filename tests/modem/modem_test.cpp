// The simulated modem's answers: V.250 framing, echo, +CMEE modes, unknown
// commands, command lines split over several writes, and the length-prefixed
// wrapping.
#include <gtest/gtest.h>

#include "modem.h"

namespace {

using mbnsim::Modem;
using mbnsim::ModemConfig;

ModemConfig NoEcho() {
    ModemConfig c;
    c.echo = false;
    return c;
}

TEST(ModemFraming, results_and_information_text_are_framed_by_cr_lf) {
    Modem modem(NoEcho());
    EXPECT_EQ(modem.Feed("AT\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CSQ\r\n"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+NOSUCH\r\n"), "\r\nERROR\r\n");
}

TEST(ModemFraming, numeric_results_after_atv0) {
    Modem modem(NoEcho());
    EXPECT_EQ(modem.Feed("ATV0\r"), "0\r");
    EXPECT_EQ(modem.Feed("AT+CGMI\r"), "Simulated\r\n0\r");
    EXPECT_EQ(modem.Feed("ATX9Y\r"), "4\r");
    EXPECT_EQ(modem.Feed("ATV1\r"), "\r\nOK\r\n");
}

TEST(ModemFraming, quiet_mode_drops_result_codes_only) {
    Modem modem(NoEcho());
    EXPECT_EQ(modem.Feed("ATQ1\r"), "");
    EXPECT_EQ(modem.Feed("AT+CGMM\r"), "\r\nMBIM AT Simulator\r\n");
    EXPECT_EQ(modem.Feed("ATQ0\r"), "\r\nOK\r\n");
}

TEST(ModemFraming, line_is_run_only_when_its_cr_arrives) {
    Modem modem(NoEcho());
    EXPECT_EQ(modem.Feed("AT+CG"), "");
    EXPECT_EQ(modem.Feed("MI"), "");
    EXPECT_EQ(modem.Feed("\r"), "\r\nSimulated\r\n\r\nOK\r\n");
    // Noise before the prefix and a line without one produce nothing.
    EXPECT_EQ(modem.Feed("xyz\r"), "");
    EXPECT_EQ(modem.Feed("\n\n~~at\r"), "\r\nOK\r\n");
    // Backspace edits the line being typed.
    EXPECT_EQ(modem.Feed("ATQ\b\r"), "\r\nOK\r\n");
}

TEST(ModemEcho, echo_is_on_by_default_and_follows_ate) {
    Modem modem;
    EXPECT_EQ(modem.Feed("AT\r\n"), "AT\r\r\nOK\r\n");
    // The line that turns echo off is still echoed: it was typed with echo on.
    EXPECT_EQ(modem.Feed("ATE0\r\n"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("ATE1\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("at\r\n"), "at\r\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("ATE2\r"), "ATE2\r\r\nERROR\r\n");
}

TEST(ModemEcho, atz_restores_the_configured_defaults) {
    Modem modem(NoEcho());
    EXPECT_EQ(modem.Feed("ATE1\r"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CMEE=2\r"), "AT+CMEE=2\r\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("ATZ\r"), "ATZ\r\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CMEE?\r"), "\r\n+CMEE: 0\r\n\r\nOK\r\n");
}

TEST(ModemIdentity, identification_says_plainly_that_it_is_simulated) {
    ModemConfig c = NoEcho();
    c.manufacturer = "Maker X";
    c.model = "Model Y";
    c.revision = "Rev Z";
    c.imei = "123456789012347";
    c.imsi = "001019876543210";
    Modem modem(c);
    const std::string ati = modem.Feed("ATI\r");
    EXPECT_NE(ati.find("Simulated"), std::string::npos) << ati;
    EXPECT_NE(ati.find("not a real device"), std::string::npos) << ati;
    EXPECT_EQ(ati.substr(ati.size() - 6), "\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CGMI\r"), "\r\nMaker X\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CGMM\r"), "\r\nModel Y\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CGMR\r"), "\r\nRev Z\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CGSN\r"), "\r\n123456789012347\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CIMI\r"), "\r\n001019876543210\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CGMI=?\r"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CGMI?\r"), "\r\nERROR\r\n");
}

TEST(ModemIdentity, sim_and_network_queries) {
    ModemConfig c = NoEcho();
    c.operatorName = "Test Net";
    c.rssi = 7;
    Modem modem(c);
    EXPECT_EQ(modem.Feed("AT+CPIN?\r"), "\r\n+CPIN: READY\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+COPS?\r"), "\r\n+COPS: 0,0,\"Test Net\",7\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CSQ\r"), "\r\n+CSQ: 7,99\r\n\r\nOK\r\n");
}

TEST(ModemCommandLine, concatenated_commands_share_one_result) {
    Modem modem(NoEcho());
    EXPECT_EQ(modem.Feed("AT+CGMI;+CGMR\r"), "\r\nSimulated\r\n\r\nSIM 1.0\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("ATE0V1Q0\r"), "\r\nOK\r\n");
}

TEST(ModemCommandLine, execution_stops_at_the_first_error) {
    Modem modem(NoEcho());
    EXPECT_EQ(modem.Feed("AT+CGMI;+BOGUS;+CGMR\r"), "\r\nSimulated\r\n\r\nERROR\r\n");
    // A basic command may not follow an extended one without ';'.
    EXPECT_EQ(modem.Feed("AT+CGMI E0\r"), "\r\nERROR\r\n");
    EXPECT_EQ(modem.Feed("ATD123\r"), "\r\nERROR\r\n");
}

TEST(ModemErrors, cmee_selects_error_or_numeric_or_verbose) {
    ModemConfig c = NoEcho();
    c.simInserted = false;
    Modem modem(c);
    EXPECT_EQ(modem.Feed("AT+CPIN?\r"), "\r\nERROR\r\n");
    EXPECT_EQ(modem.Feed("AT+CMEE=1\r"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CPIN?\r"), "\r\n+CME ERROR: 10\r\n");
    EXPECT_EQ(modem.Feed("AT+CIMI\r"), "\r\n+CME ERROR: 10\r\n");
    EXPECT_EQ(modem.Feed("AT+CMEE=2\r"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CPIN?\r"), "\r\n+CME ERROR: SIM not inserted\r\n");
    EXPECT_EQ(modem.Feed("AT+CMEE?\r"), "\r\n+CMEE: 2\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CMEE=?\r"), "\r\n+CMEE: (0-2)\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CMEE=3\r"), "\r\n+CME ERROR: Incorrect parameters\r\n");
    EXPECT_EQ(modem.Feed("AT+CMEE=0\r"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Feed("AT+CMEE=9\r"), "\r\nERROR\r\n");
}

TEST(ModemErrors, unknown_commands_give_plain_error_in_every_cmee_mode) {
    Modem modem(NoEcho());
    for (const char* mode : {"AT+CMEE=0\r", "AT+CMEE=1\r", "AT+CMEE=2\r"}) {
        ASSERT_EQ(modem.Feed(mode), "\r\nOK\r\n");
        EXPECT_EQ(modem.Feed("AT+XYZZY\r"), "\r\nERROR\r\n") << mode;
        EXPECT_EQ(modem.Feed("AT&V\r"), "\r\nERROR\r\n") << mode;
        EXPECT_EQ(modem.Feed("AT+\r"), "\r\nERROR\r\n") << mode;
    }
    // A PIN entered while none is asked for is a mobile-equipment error.
    EXPECT_EQ(modem.Feed("AT+CPIN=\"1234\"\r"), "\r\n+CME ERROR: operation not allowed\r\n");
}

TEST(ModemErrors, overlong_line_gives_error) {
    Modem modem(NoEcho());
    EXPECT_EQ(modem.Feed("AT" + std::string(5000, 'E') + "\r"), "\r\nERROR\r\n");
    EXPECT_EQ(modem.Feed("AT\r"), "\r\nOK\r\n");
}

TEST(LengthPrefix, count_is_four_bytes_little_endian_before_the_payload) {
    const std::string wrapped = mbnsim::LengthPrefixed("\r\nOK\r\n");
    const std::string expected(
        "\x06\x00\x00\x00"  // count 6, least significant byte first
        "\r\nOK\r\n",       // payload
        10);
    EXPECT_EQ(wrapped, expected);
    const std::string big = mbnsim::LengthPrefixed(std::string(0x0102, 'x'));
    EXPECT_EQ(big.substr(0, 4), std::string("\x02\x01\x00\x00", 4));
    EXPECT_EQ(big.size(), 0x0102u + 4);
    EXPECT_EQ(mbnsim::LengthPrefixed(std::string()), std::string(4, '\0'));
}

}  // namespace
