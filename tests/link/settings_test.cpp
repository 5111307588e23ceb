// Link settings: markers, defaults written back, and saving.
#include <climits>

#include "link_fakes.h"

namespace {

using SettingsTest = LinkTest;

TEST_F(SettingsTest, FirstStartWritesEveryDefault) {
    ReadLinkSettings();
    const std::map<std::string, std::string> expected = {
        {"AlderaPresent0", "1"}, {"Com0", "1"}, {"speed0", "9600"}, {"Debug0", "1"},
        {"AlderaPresent1", "0"}, {"Com1", "2"}, {"Debug1", "1"},
        {"AlderaPresent2", "0"}, {"Com2", "3"}, {"Debug2", "1"},
        {"AlderaPresent3", "0"}, {"Com3", "4"}, {"Debug3", "1"},
    };
    EXPECT_EQ(store, expected);
    EXPECT_EQ(MainUps[0].present, 1);
    EXPECT_EQ(MainUps[0].comPort, 1);
    EXPECT_EQ(MainUps[0].baudRate, 9600);
    EXPECT_EQ(MainUps[1].present, 0);
    EXPECT_EQ(MainUps[3].comPort, 4);
    EXPECT_EQ(MainUps[2].debugFlag, 1);
    // Units without a bit-rate setting of their own use device 0's.
    EXPECT_EQ(MainUps[1].baudRate, 9600);
    EXPECT_EQ(MainUps[3].baudRate, 9600);
}

TEST_F(SettingsTest, StoredValuesAreKeptAndMarkersReplaced) {
    store = {{"Com2", "7"}, {"AlderaPresent1", "7"}, {"speed0", "abc"}, {"Com0", " -1"},
             {"Debug3", "  0 trailing"}, {"AlderaPresent0", "+2"}, {"Com3", "19200x"}};
    ReadLinkSettings();
    EXPECT_EQ(MainUps[2].comPort, 7);
    EXPECT_EQ(store["Com2"], "7");
    EXPECT_EQ(MainUps[1].present, 0);
    EXPECT_EQ(store["AlderaPresent1"], "0");
    EXPECT_EQ(MainUps[0].baudRate, 9600);
    EXPECT_EQ(store["speed0"], "9600");
    EXPECT_EQ(MainUps[0].comPort, 1);
    EXPECT_EQ(store["Com0"], "1");
    EXPECT_EQ(MainUps[3].debugFlag, 0);
    EXPECT_EQ(store["Debug3"], "  0 trailing");  // a usable value is not rewritten
    EXPECT_EQ(MainUps[0].present, 2);
    EXPECT_EQ(MainUps[3].comPort, 19200);

    store["speed0"] = "0";
    store["Com1"] = "5";
    ReadLinkSettings();
    EXPECT_EQ(store["speed0"], "9600");
    EXPECT_EQ(MainUps[1].comPort, 5);
}

TEST_F(SettingsTest, UnreadableStoreGivesDefaults) {
    storeReadable = false;
    store = {{"Com0", "9"}};
    ReadLinkSettings();
    EXPECT_EQ(MainUps[0].comPort, 1);
    EXPECT_EQ(store["Com0"], "1");

    SetLinkSettingsStore(nullptr);
    EXPECT_EQ(ReadRegistryInt("Com0", -1), -1);
    EXPECT_EQ(WriteRegistryString("Com0", "3"), 0);
    ReadLinkSettings();
    EXPECT_EQ(MainUps[0].present, 1);
    EXPECT_EQ(MainUps[1].comPort, 2);
}

TEST_F(SettingsTest, ReadingIsBoundedToFiftyBytes) {
    store["Com1"] = std::string(49, '1') + "99999";
    store["Com2"] = std::string(60, ' ') + "5";
    EXPECT_EQ(ReadRegistryInt("Com1", -1), INT_MAX);
    EXPECT_EQ(ReadRegistryInt("Com2", -1), -1);  // the number lies past the 50 bytes read
    EXPECT_EQ(ReadRegistryInt("Absent", 42), 42);
}

TEST_F(SettingsTest, LeadingIntegers) {
    struct Case {
        const char* text;
        int ok;
        int value;
    } cases[] = {
        {"12", 1, 12},       {"  -7x", 1, -7},   {"+3", 1, 3},          {"\t9", 1, 9},
        {"", 0, 0},          {"-", 0, 0},        {"x1", 0, 0},          {"- 1", 0, 0},
        {"2147483647", 1, INT_MAX},              {"2147483648", 1, INT_MAX},
        {"-2147483648", 1, INT_MIN},             {"-99999999999999999999999", 1, INT_MIN},
        {"000000000000000000000000012", 1, 12},
    };
    for (const Case& c : cases) {
        int v = 0;
        EXPECT_EQ(ParseLeadingInt(c.text, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    int v = 5;
    EXPECT_EQ(ParseLeadingInt(nullptr, &v), 0);
}

TEST_F(SettingsTest, SaveWritesPresencePortAndDebugOfEveryDevice) {
    for (int d = 0; d < 4; ++d) {
        MainUps[d].present = d % 2;
        MainUps[d].comPort = 10 + d;
        MainUps[d].debugFlag = 20 + d;
        MainUps[d].baudRate = 1200;
    }
    SaveLinkSettings();
    EXPECT_EQ(store.size(), 12u);
    EXPECT_EQ(store["AlderaPresent1"], "1");
    EXPECT_EQ(store["Com3"], "13");
    EXPECT_EQ(store["Debug0"], "20");
    EXPECT_EQ(store.count("speed0"), 0u);
    EXPECT_EQ(WriteRegistryInt("portnumber", -12), 1);
    EXPECT_EQ(store["portnumber"], "-12");
    storeWritable = false;
    EXPECT_EQ(WriteRegistryInt("portnumber", 3), 0);
}

}  // namespace
