// The command line and the DIN lists: what a person may type, and what must be refused.
#include "CollectTestSupport.h"
#include "ConfigFile.h"
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

// The command line as main() takes it: a collect run must name a channel once merged.
bool parseAll(const std::string &line, Options &o, std::string &error)
{
    return parseOptions(words(line), o, error) &&
           (o.mode != Mode::Collect || checkCollectOptions(o, error));
}

} // namespace

TEST(Options, CollectPlotAndDefaults)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parseOptions(words("--tcp 5000 --tcp 5001 --serial auto --accept 000-001-234 "
                                   "--params p.json --db x.db -v -v --max-devices 3 --no-sleep "
                                   "--max-connections 8 --no-status"),
                             o, error))
        << error;
    EXPECT_TRUE(o.mode == Mode::Collect && o.verbosity == 2 && !o.statusLine && o.maxDevices == 3 &&
                o.maxConnections == 8 && o.finalStep == FinalStep::Exit);
    EXPECT_EQ(o.tcpPorts, (std::vector<uint16_t>{5000, 5001}));
    EXPECT_EQ(o.serialPorts.size() + o.accept.size(), 2u);
    EXPECT_EQ(o.paramsFile + o.dbPath, "p.jsonx.db");
    Options d;
    ASSERT_TRUE(parseOptions({"--tcp", "1"}, d, error)) << error;
    EXPECT_TRUE(d.dbPath == "lumo.db" && d.finalStep == FinalStep::Sleep && d.verbosity == 0 &&
                d.maxConnections > 1);
    ASSERT_TRUE(
        parseOptions(words("plot --db a.db --din 000-001-234 --index -2 -o a.svg"), o, error))
        << error;
    EXPECT_EQ(o.din + " " + std::to_string(o.index) + " " + o.output, "000-001-234 -2 a.svg");
    std::set<std::string> dins; // a list with blanks, added to what was there
    ASSERT_TRUE(parseDinList("000-001-234", dins, error)) << error;
    ASSERT_TRUE(parseDinList(" 999-000-001 , 123-456-789", dins, error)) << error;
    EXPECT_EQ(dins, (std::set<std::string>{"000-001-234", "999-000-001", "123-456-789"}));
}

TEST(Options, ServeAndTheWebView)
{
    const std::vector<std::pair<std::string, long>> durations = {
        {"90", 90}, {"90s", 90}, {"15m", 900}, {"6h", 21600}, {"2d", 172800}};
    for (const auto &[text, seconds] : durations) {
        Options o;
        std::string error;
        ASSERT_TRUE(parseOptions(words("serve --db postgresql://u@h/d --http 127.0.0.1:8080 "
                                       "--http-token-file tok --expect-every " +
                                       text),
                                 o, error))
            << error;
        EXPECT_TRUE(o.mode == Mode::Serve && o.httpHost == "127.0.0.1" && o.httpPort == 8080 &&
                    o.httpTokenFile == "tok" && o.dbPath == "postgresql://u@h/d");
        EXPECT_EQ(o.expectEverySeconds, seconds) << text;
    }
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
        {"serve --db x.db", "serve needs --http"},
        {"serve --db x.db --http 127.0.0.1:8080 --tcp 5000", "unknown option for serve"},
        {"--tcp 5000 --http :8080 --expect-every 0", "not a duration"},
        {"--tcp 5000 --http :8080 --expect-every 5x", "not a duration"},
        {"--tcp 5000 --http :8080 --expect-every h", "not a duration"},
        {"--tcp 5000 --http :8080 --expect-every 99999999999999999d", "not a duration"},
        {"--tcp 5000 --expect-every 1h", "give --http too"},
        {"--tcp 5000 --http-token-file t", "give --http too"},
        {"--listen 5000", "not ADDR:PORT"},
        {"--listen ::1:5000", "not ADDR:PORT"}, // IPv6 needs its brackets
        {"--listen [127.0.0.1]:5000", "not ADDR:PORT"},
        {"--listen localhost:5000", "not ADDR:PORT"},
        {"--listen [::1]:0", "not ADDR:PORT"},
        {"--tcp 5000 --log-format xml", "not text or json"},
        {"export --db x.db", "export needs -o FILE"},
        {"export -o x.csv --format xls", "not csv, jsonl or hdf5"},
        {"export -o x.csv --from 2024-05-17T10:00:00Z", "no zone"},
        {"export -o x.csv --from 2024-13-01", "not a device time"},
        {"export -o x.csv --from 2024-05-18 --to 2024-05-17", "later than --from"},
        {"export -o x.csv --tcp 5000", "unknown option for export"},
    };
    for (const auto &[line, message] : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(parseAll(line, o, error)) << line;
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

TEST(Options, ListenExportAndTheConfigurationFileWithFlagsOverIt)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parseAll("--listen [::1]:5000 --listen 0.0.0.0:5001 --log-format json", o, error))
        << error;
    ASSERT_EQ(o.listen.size(), 2u);
    EXPECT_EQ(o.listen[0].address + " " + o.listen[0].text() + " " + o.listen[1].text(),
              "::1 [::1]:5000 0.0.0.0:5001");
    EXPECT_TRUE(o.logFormat == LogFormat::Json);
    ASSERT_TRUE(parseAll("export --db a.db --din 000-001-234 --from 2024-05-17T10:00 --to "
                         "2024-05-18 --format hdf5 -o a.h5",
                         o, error))
        << error;
    EXPECT_EQ(o.from + "|" + o.to, "2024-05-17 10:00:00|2024-05-18 00:00:00");
    EXPECT_TRUE(o.mode == Mode::Export && o.format == ExportFormat::Hdf5);

    collect_test::TempDir dir;
    const std::string path = dir.file("c.toml");
    std::ofstream(path) << "tcp = [5000, 5001]\nlisten = \"[::]:6000\"\nhold = true\n"
                           "db = \"/var/lib/x.db\"\nexit-when-idle = 2.5\nverbose = 1\n"
                           "accept = [\"000-001-234\"]\nlog-format = \"json\"\n";
    Options file;
    ASSERT_TRUE(loadConfigFile(path, file, error)) << error;
    EXPECT_EQ(file.tcpPorts, (std::vector<uint16_t>{5000, 5001}));
    EXPECT_TRUE(file.listen.size() == 1 && file.finalStep == FinalStep::Hold &&
                file.dbPath == "/var/lib/x.db" && file.exitWhenIdleSeconds == 2.5 &&
                file.verbosity == 1 && file.accept.size() == 1 &&
                file.logFormat == LogFormat::Json);
    // Flags replace what the file says, lists included; the rest of the file stays.
    Options cli;
    ASSERT_TRUE(parseAll("--config c.toml --tcp 7000 --no-sleep --db y.db", cli, error)) << error;
    applyGivenOptions(cli, file);
    EXPECT_EQ(file.tcpPorts, (std::vector<uint16_t>{7000}));
    EXPECT_TRUE(file.finalStep == FinalStep::Exit && file.dbPath == "y.db" &&
                file.listen.size() == 1 && file.verbosity == 1);
}

// Each bad file: exit 2 (main) with the file, the line and the key in the message.
TEST(Options, ConfigurationFileErrorsNameFileLineAndKey)
{
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"tcp = [5000]\ntpc = 5001\n", "c.toml:2: tpc: unknown key"},
        {"tcp = [5000]\n[collect]\ndb = \"x\"\n", "c.toml:2: collect: unknown key"},
        {"tcp = \"5000\"\n", "c.toml:1: tcp: expected an integer or an array of integers"},
        {"tcp = [5000, \"x\"]\n", "c.toml:1: tcp: expected an integer"},
        {"\nhold = 1\n", "c.toml:2: hold: expected true or false"},
        {"db = 3\n", "c.toml:1: db: expected a string"},
        {"max-devices = 2.5\n", "c.toml:1: max-devices: expected an integer"},
        {"exit-when-idle = \"soon\"\n", "c.toml:1: exit-when-idle: expected a number"},
        {"max-connections = 0\n", "c.toml:1: max-connections: \"0\" is not a number from 1"},
        {"tcp = 70000\n", "c.toml:1: tcp: \"70000\" is not a port number"},
        {"verbose = 3\n", "c.toml:1: verbose: \"3\" is not 0, 1 or 2"},
        {"accept = \"1-2-3\"\n", "c.toml:1: accept: malformed DIN"},
        {"listen = [\"::1:5000\"]\n", "c.toml:1: listen: "},
        {"log-format = \"xml\"\n", "c.toml:1: log-format: \"xml\" is not text or json"},
        {"hold = true\nno-sleep = true\n", "c.toml:2: no-sleep: --hold and --no-sleep"},
        {"tcp = [5000\n", "c.toml:1:13: not valid TOML"},
        {"tcp = 5000\ntcp = 5001\n", "c.toml:2:"},
        {"db = \"a\" x\n", "c.toml:1:"},
    };
    collect_test::TempDir dir;
    const std::string path = dir.file("c.toml");
    for (const auto &[text, message] : bad) {
        std::ofstream(path, std::ios::trunc) << text;
        Options o;
        std::string error;
        EXPECT_FALSE(loadConfigFile(path, o, error)) << text;
        EXPECT_NE(error.find(path.substr(0, path.size() - 6) + message), std::string::npos)
            << text << " -> " << error;
    }
    Options o;
    std::string error;
    EXPECT_FALSE(loadConfigFile(dir.file("missing.toml"), o, error));
    EXPECT_NE(error.find("missing.toml"), std::string::npos) << error;
}
