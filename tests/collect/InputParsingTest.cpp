// The command line and the DIN lists: what a person may type, and what must be refused.
#include "DinList.h"
#include "Options.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace lumo_collect;

namespace {

std::vector<std::string> words(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

} // namespace

TEST(Options, CollectPlotHelpAndDefaults)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parseOptions(words("--tcp 5000 --tcp 5001 --serial /dev/ttyUSB0 --serial auto "
                                   "--accept 000-001-234,999-000-001 --params p.json --db x.db "
                                   "--csv csvdir --jsonl x.jsonl -v -v --no-status "
                                   "--exit-when-idle 2.5 --max-devices 3 --no-sleep "
                                   "--max-connections 8"),
                             o, error))
        << error;
    EXPECT_TRUE(o.mode == Mode::Collect && o.verbosity == 2 && !o.statusLine &&
                o.exitWhenIdleSeconds == 2.5 && o.maxDevices == 3 && o.maxConnections == 8 &&
                o.finalStep == FinalStep::Exit);
    EXPECT_EQ(o.tcpPorts, (std::vector<uint16_t>{5000, 5001}));
    EXPECT_EQ(o.serialPorts, (std::vector<std::string>{"/dev/ttyUSB0", "auto"}));
    EXPECT_EQ(o.accept, (std::set<std::string>{"000-001-234", "999-000-001"}));
    EXPECT_EQ(o.paramsFile + o.dbPath + o.csvDir + o.jsonlPath, "p.jsonx.dbcsvdirx.jsonl");

    Options d;
    ASSERT_TRUE(parseOptions({"--tcp", "1"}, d, error)) << error;
    EXPECT_EQ(d.dbPath, "lumo.db");
    EXPECT_TRUE(d.finalStep == FinalStep::Sleep && d.verbosity == 0 && d.maxConnections > 1);
    ASSERT_TRUE(parseOptions(words("--tcp 1 --hold"), d, error)) << error;
    EXPECT_EQ(d.finalStep, FinalStep::Hold);

    ASSERT_TRUE(parseOptions(words("plot --db a.db --din 000-001-234 --index -2 -o a.svg"), o, error))
        << error;
    EXPECT_EQ(o.mode, Mode::Plot);
    EXPECT_EQ(o.din + " " + std::to_string(o.index) + " " + o.output, "000-001-234 -2 a.svg");
    ASSERT_TRUE(parseOptions(words("--tcp 5000 --help"), o, error));
    EXPECT_EQ(o.mode, Mode::Help);

    std::set<std::string> dins; // a list with blanks, added to what was there
    ASSERT_TRUE(parseDinList("000-001-234", dins, error)) << error;
    ASSERT_TRUE(parseDinList(" 999-000-001 , 123-456-789", dins, error)) << error;
    EXPECT_EQ(dins, (std::set<std::string>{"000-001-234", "999-000-001", "123-456-789"}));
}

TEST(Options, RefusesBadInputWithAMessage)
{
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"", "no channel"},
        {"--tcp", ""},
        {"--tcp 0", "not a port number"},
        {"--tcp 65536", "not a port number"},
        {"--tcp 50x0", "not a port number"},
        {"--tcp -5", ""},
        {"--tcp http", "not a port number"},
        {"--tcp 5000 --accept 1-2-3", "malformed DIN \"1-2-3\""},
        {"--tcp 5000 --accept 000-001-234,12-345-678", "12-345-678"},
        {"--tcp 5000 --samples-from ns", ""}, // gone: what arrived is stored
        {"--tcp 5000 --exit-when-idle 0", "not a positive number of seconds"},
        {"--tcp 5000 --exit-when-idle nan", "not a positive number of seconds"},
        {"--tcp 5000 --max-devices 0", ""},
        {"--tcp 5000 --max-connections 0", ""},
        {"--tcp 5000 --max-connections 65536", ""},
        {"--tcp 5000 --hold --no-sleep", ""},
        {"--tcp 5000 --frobnicate", ""},
        {"plot --din 000-001-234", ""},
        {"plot --din 0001234 -o x.svg", "malformed DIN"},
        {"plot --din 000-001-234 --index 0 -o x.svg", ""},
        {"plot --din 000-001-234 --tcp 5000 -o x.svg", ""},
    };
    for (const auto &[line, message] : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(parseOptions(words(line), o, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
        EXPECT_NE(error.find(message), std::string::npos) << line << ": " << error;
    }
    // Malformed DIN lists, refused whole: the set is left as it was.
    for (const char *text :
         {"", "000-001-23", "000-001-2345", "0000-01-234", "000_001_234", "00a-001-234",
          "000-001-234,", ",000-001-234", "000-001-234,,000-001-235", "000001234", "-00-001-234",
          "000-001-234 000-001-235", "000-001-235,12-345-678"}) {
        std::set<std::string> kept{"111-111-111"};
        std::string error;
        EXPECT_FALSE(parseDinList(text, kept, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(kept, std::set<std::string>{"111-111-111"}) << text;
    }
}
