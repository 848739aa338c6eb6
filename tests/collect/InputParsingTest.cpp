// The command line and the DIN lists: what a person may type, and what must be refused.
#include "DinList.h"
#include "Options.h"

#include <gtest/gtest.h>

using namespace lumo_collect;

namespace {

bool parse(std::vector<std::string> args, Options &o, std::string &error)
{
    return parseOptions(args, o, error);
}

} // namespace

TEST(DinList, AcceptsSingleAndSeveralWithBlanks)
{
    std::set<std::string> dins;
    std::string error;
    ASSERT_TRUE(parseDinList("000-001-234", dins, error)) << error;
    ASSERT_TRUE(parseDinList(" 999-000-001 , 123-456-789", dins, error)) << error;
    EXPECT_EQ(dins, (std::set<std::string>{"000-001-234", "999-000-001", "123-456-789"}));
}

TEST(DinList, RefusesMalformedItemsAndKeepsTheSetUnchanged)
{
    const char *bad[] = {"",
                         "000-001-23",
                         "000-001-2345",
                         "0000-01-234",
                         "000_001_234",
                         "00a-001-234",
                         "000-001-234,",
                         ",000-001-234",
                         "000-001-234,,000-001-235",
                         "000001234",
                         "-00-001-234",
                         "000-001-234 000-001-235"};
    for (const char *text : bad) {
        std::set<std::string> dins{"111-111-111"};
        std::string error;
        EXPECT_FALSE(parseDinList(text, dins, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(dins, std::set<std::string>{"111-111-111"}) << text;
    }
}

TEST(DinList, ErrorNamesTheOffendingItem)
{
    std::set<std::string> dins;
    std::string error;
    EXPECT_FALSE(parseDinList("000-001-234,12-345-678", dins, error));
    EXPECT_NE(error.find("12-345-678"), std::string::npos) << error;
}

TEST(Options, CollectWithEveryOption)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--tcp",
                       "5000",
                       "--tcp",
                       "5001",
                       "--serial",
                       "/dev/ttyUSB0",
                       "--serial",
                       "auto",
                       "--accept",
                       "000-001-234,000-001-235",
                       "--params",
                       "p.json",
                       "--db",
                       "x.db",
                       "--csv",
                       "csvdir",
                       "--jsonl",
                       "x.jsonl",
                       "-v",
                       "-v",
                       "--no-status",
                       "--exit-when-idle",
                       "2.5",
                       "--max-devices",
                       "3",
                       "--no-sleep",
                       "--max-connections",
                       "8"},
                      o, error))
        << error;
    EXPECT_EQ(o.mode, Mode::Collect);
    EXPECT_EQ(o.tcpPorts, (std::vector<uint16_t>{5000, 5001}));
    EXPECT_EQ(o.serialPorts, (std::vector<std::string>{"/dev/ttyUSB0", "auto"}));
    EXPECT_EQ(o.accept.size(), 2u);
    EXPECT_EQ(o.paramsFile, "p.json");
    EXPECT_EQ(o.dbPath, "x.db");
    EXPECT_EQ(o.csvDir, "csvdir");
    EXPECT_EQ(o.jsonlPath, "x.jsonl");
    EXPECT_EQ(o.verbosity, 2);
    EXPECT_FALSE(o.statusLine);
    EXPECT_DOUBLE_EQ(o.exitWhenIdleSeconds, 2.5);
    EXPECT_EQ(o.maxDevices, 3);
    EXPECT_EQ(o.finalStep, FinalStep::Exit);
    EXPECT_EQ(o.maxConnections, 8);
}

TEST(Options, DefaultsAndPlot)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--tcp", "1"}, o, error)) << error;
    EXPECT_EQ(o.dbPath, "lumo.db");
    EXPECT_EQ(o.finalStep, FinalStep::Sleep);
    EXPECT_EQ(o.verbosity, 0);
    EXPECT_GT(o.maxConnections, 1) << "several devices at once unless told otherwise";

    ASSERT_TRUE(parse(
        {"plot", "--db", "a.db", "--din", "000-001-234", "--index", "-2", "-o", "a.svg"}, o, error))
        << error;
    EXPECT_EQ(o.mode, Mode::Plot);
    EXPECT_EQ(o.din, "000-001-234");
    EXPECT_EQ(o.index, -2);
    EXPECT_EQ(o.output, "a.svg");

    ASSERT_TRUE(parse({"--tcp", "5000", "--help"}, o, error));
    EXPECT_EQ(o.mode, Mode::Help);
}

TEST(Options, RefusesBadInputWithAMessage)
{
    const std::vector<std::vector<std::string>> bad = {
        {},                                         // no channel
        {"--tcp"},                                  // missing value
        {"--tcp", "0"},                             // out of range
        {"--tcp", "65536"},                         // out of range
        {"--tcp", "50x0"},                          // trailing letters
        {"--tcp", "-5"},                            // negative
        {"--serial", ""},                           // empty path
        {"--tcp", "5000", "--accept", "1-2-3"},     // malformed DIN
        {"--tcp", "5000", "--samples-from", "ns"},  // gone: what arrived is stored
        {"--tcp", "5000", "--exit-when-idle", "0"}, // not positive
        {"--tcp", "5000", "--exit-when-idle", "nan"},
        {"--tcp", "5000", "--max-devices", "0"},
        {"--tcp", "5000", "--max-connections", "0"},
        {"--tcp", "5000", "--max-connections", "65536"},
        {"--tcp", "5000", "--hold", "--no-sleep"}, // contradictory
        {"--tcp", "5000", "--frobnicate"},
        {"plot", "--din", "000-001-234"},            // no output
        {"plot", "--din", "0001234", "-o", "x.svg"}, // malformed DIN
        {"plot", "--din", "000-001-234", "--index", "0", "-o", "x.svg"},
        {"plot", "--din", "000-001-234", "--tcp", "5000", "-o", "x.svg"},
    };
    for (const auto &args : bad) {
        Options o;
        std::string error;
        std::string joined;
        for (const auto &a : args)
            joined += a + " ";
        EXPECT_FALSE(parse(args, o, error)) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}
