// The parameter file: every field lands at its place in the record the library sends, and
// every file a person could get wrong is refused with a reason.
#include "ParamsJson.h"
#include "CollectTestSupport.h"

using namespace lumo_collect;

namespace {

// The record as it sits in memory (and so in answerData), by hand: little-endian fields at
// their offsets, the alignment gaps (after param16a, param16b and crc16) and reserved zero.
const std::string kExpectedRecord =
    "0100020003000400cdab00004433221105000000efbe0000efbeadde0a000b000c000d000e000f0004030201000000"
    "00000000000000000000000000ffffffff" +
    std::string(64, '0') + "5a5a0000";

std::string replaced(const std::string &text, const std::string &from, const std::string &to)
{
    std::string out = text;
    const auto at = out.find(from);
    return at == std::string::npos ? "<" + from + " not found>" : out.replace(at, from.size(), to);
}

} // namespace

TEST(ParamsJson, FieldsLandAtTheirOffsets)
{
    liblumo::DeviceParams params;
    std::memset(&params, 0x77, sizeof params); // stale bytes must not survive
    std::string error;
    ASSERT_TRUE(parseDeviceParams(collect_test::kParamsJson, params, error)) << error;
    static_assert(sizeof params == 100);
    EXPECT_EQ(collect_test::hex(&params, sizeof params), kExpectedRecord);
}

TEST(ParamsJson, RefusesWhatAPersonGetsWrong)
{
    const std::string file = collect_test::kParamsJson;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not json", "not valid JSON"},
        {"[1, 2]", "JSON object"},
        {replaced(file, "\"param32b\": 5,", ""), "missing field \"param32b\""},
        {replaced(file, "\"param32b\": 5,", "\"param32b\": 5, \"param32x\": 1,"),
         "unknown field \"param32x\""},
        {replaced(file, "\"param32b\": 5,", "\"param32b\": 5, \"reserved\": [],"),
         "unknown field \"reserved\""},
        {replaced(file, "[1, 2, 3, 4, 43981]", "[1, 2, 3, 4]"), "param16a"},
        {replaced(file, "[1, 2, 3, 4, 43981]", "[1, 2, 3, 4, 65536]"), "param16a[4]"},
        {replaced(file, "\"param32b\": 5", "\"param32b\": -1"), "param32b"},
        {replaced(file, "\"param32b\": 5", "\"param32b\": 1.5"), "param32b"},
        {replaced(file, "\"param32b\": 5", "\"param32b\": 4294967296"), "param32b"},
        {replaced(file, "\"param32b\": 5", "\"param32b\": true"), "param32b"},
        {replaced(file, "\"param32b\": 5", "\"param32b\": \"5\""), "param32b"},
        {replaced(file, "\"0x5A5A\"", "\"0x10000\""), "crc16"},
        {replaced(file, "\"0x5A5A\"", "\"0xZZ\""), "crc16"},
        {replaced(file, "\"0x5A5A\"", "\"0x\""), "crc16"},
        {replaced(file, "\"param16a\": [1, 2, 3, 4, 43981]", "\"param16a\": 7"), "param16a"},
    };
    for (const auto &[text, expected] : cases) {
        liblumo::DeviceParams params{};
        params.crc16 = 0x4242;
        std::string error;
        EXPECT_FALSE(parseDeviceParams(text, params, error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << "error: " << error;
        EXPECT_EQ(params.crc16, 0x4242) << "a refused file must leave the record alone";
    }
}
