// The web side's own parsing and bookkeeping, where a slip would corrupt a page or let a
// request through that should not pass.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "daemon/web/json_text.h"
#include "daemon/web/unit_json.h"
#include "daemon/web/web_api.h"
#include "daemon/web/web_sessions.h"

namespace {

QJsonValue Parse(const std::string& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString("[" + json + "]"), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << json;
    return doc.array().at(0);
}

TEST(WebParts, JsonTextAlwaysParsesAndKeepsNumbersApart) {
    std::string s;
    web::AppendJsonString(&s, std::string("a\"b\\c\n\x01\x7f caf\xc3\xa9 bad\xff\xc3 end"));
    EXPECT_EQ(Parse(s).toString(), QString::fromUtf8("a\"b\\c\n\x01\x7f caf\xc3\xa9 bad\xef\xbf\xbd\xef\xbf\xbd end"));
    // Overlong and surrogate encodings are not let through as they are.
    s.clear();
    web::AppendJsonString(&s, "\xc0\xaf\xed\xa0\x80");
    EXPECT_EQ(s.find('\xc0'), std::string::npos);
    EXPECT_TRUE(Parse(s).isString());

    auto variable = [](const char* v) {
        std::string out;
        web::AppendJsonVariable(&out, v);
        return Parse(out);
    };
    EXPECT_EQ(variable("27.4").toDouble(), 27.4);
    EXPECT_EQ(variable("-3").toDouble(), -3);
    EXPECT_EQ(variable("0").toDouble(), 0);
    for (const char* text : {"007", "1.", ".5", "-", "1e5", "OL CHRG", "", "12 V", "nan"})
        EXPECT_EQ(variable(text).toString(), QString::fromLatin1(text)) << text;

    std::string n;
    web::AppendJsonNumber(&n, std::nan(""));
    EXPECT_EQ(n, "null");
}

TEST(WebParts, QueryCookieAndPercentDecoding) {
    EXPECT_EQ(web::QueryValue("from=10&to=20&quantity=battery.voltage", "to").value_or("?"), "20");
    EXPECT_EQ(web::QueryValue("a=1&q=x%2By+z", "q").value_or("?"), "x+y z");
    EXPECT_FALSE(web::QueryValue("q=%zz", "q").has_value());
    EXPECT_FALSE(web::QueryValue("q=%4", "q").has_value());
    EXPECT_FALSE(web::QueryValue("", "q").has_value());
    std::string out;
    EXPECT_FALSE(web::PercentDecode("%", &out, false));
    EXPECT_TRUE(web::PercentDecode("ups%2Fname+", &out, false));
    EXPECT_EQ(out, "ups/name+");

    EXPECT_EQ(web::CookieValue("a=1; vesperod_session=abc; b=2", "vesperod_session"), "abc");
    EXPECT_EQ(web::CookieValue("xvesperod_session=abc", "vesperod_session"), "");
    EXPECT_EQ(web::CookieValue("vesperod_session=\"q\"", "vesperod_session"), "q");
}

TEST(WebParts, ConditionalAndEncodingHeaders) {
    EXPECT_TRUE(web::EtagMatches("\"abc\"", "\"abc\""));
    EXPECT_TRUE(web::EtagMatches("\"x\",  W/\"abc\" ", "\"abc\""));  // a cache may weaken the tag
    EXPECT_TRUE(web::EtagMatches("*", "\"abc\""));
    EXPECT_FALSE(web::EtagMatches("\"abc-gz\"", "\"abc\""));
    EXPECT_FALSE(web::EtagMatches("", "\"abc\""));
    EXPECT_FALSE(web::EtagMatches("abc", "\"abc\""));

    EXPECT_TRUE(web::AcceptsGzip("gzip, deflate, br"));
    EXPECT_TRUE(web::AcceptsGzip("br;q=1.0, GZIP;q=0.5"));
    EXPECT_TRUE(web::AcceptsGzip("x-gzip"));
    EXPECT_FALSE(web::AcceptsGzip("gzip;q=0"));
    EXPECT_FALSE(web::AcceptsGzip("gzip; q=0.000, deflate"));
    EXPECT_FALSE(web::AcceptsGzip("deflate, br, gzipped"));
    EXPECT_FALSE(web::AcceptsGzip(""));
}

// The power a reader takes for the unit's is the one the runtime estimate uses; the panel's own
// figure, which can be far from it, says what it is. Frequency on a scale where 50 Hz shows.
TEST(WebParts, GaugesShowTheRealPowerAndAReadableFrequency) {
    auto ups = std::make_unique<_ZozeUps>();
    ups->status.powerUnits = 1;
    ups->status.currentUnits = 4;
    ups->status.outputPower = 1800;
    ups->status.outputFrequency = 50;
    ups->auxWordB[2] = 480;  // 48.0 V
    ups->auxWord[6] = 20;    // 20 A: the panel's 960 W
    const std::vector<web::Gauge> gauges = web::PanelGauges(*ups);
    auto find = [&](std::string_view key) -> const web::Gauge* {
        for (const web::Gauge& g : gauges)
            if (key == g.key) return &g;
        return nullptr;
    };
    const web::Gauge* real = find("ups.realpower");
    ASSERT_TRUE(real);
    EXPECT_EQ(real->value, 1800);
    EXPECT_EQ(std::string(real->label), "Real power");
    EXPECT_FALSE(real->note);
    const web::Gauge* panel = find("output.power");
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->value, 960);
    ASSERT_TRUE(panel->note);
    EXPECT_NE(std::string(panel->note).find("not the real power"), std::string::npos);
    const web::Gauge* f = find("output.frequency");
    ASSERT_TRUE(f);
    EXPECT_LE(f->min, 45);
    EXPECT_GE(f->max, 65);
    EXPECT_LE(f->max - f->min, 40);
}

TEST(WebParts, SessionsExpireAndAFullTableLosesItsOldest) {
    web::SessionTable sessions;
    const std::string token = sessions.Create("admin", "pw", 1000);
    EXPECT_EQ(token.size(), 64u);
    ASSERT_NE(sessions.Find(token, 2000), nullptr);
    EXPECT_EQ(sessions.Find(token, 2000)->csrf.size(), 64u);
    EXPECT_NE(sessions.Find(token, 2000)->csrf, token);
    EXPECT_EQ(sessions.Find(token.substr(0, 63), 2000), nullptr);
    // A login lasts twelve hours.
    EXPECT_NE(sessions.Find(token, 1000 + 12 * 3600 * 1000LL - 1), nullptr);
    EXPECT_EQ(sessions.Find(token, 1000 + 12 * 3600 * 1000LL), nullptr);
    EXPECT_EQ(sessions.size(), 0u);  // an expired login is dropped when met

    // A full table (4096 logins) loses its oldest login, not the newest.
    std::string first;
    for (size_t i = 0; i <= 4096; ++i) {
        const std::string t = sessions.Create("u", "p", 0);
        if (i == 0) first = t;
    }
    EXPECT_EQ(sessions.size(), 4096u);
    EXPECT_EQ(sessions.Find(first, 1), nullptr);
}

// Every history parameter is checked and named when wrong; whatever range is asked for, the
// answer stays within what is kept and within the point cap, with no arithmetic overflowing.
TEST(WebParts, HistoryRangesAreCheckedClippedAndCapped) {
    constexpr int64_t now = 1'800'000'000, cap = 20'000;
    auto fails = [&](const char* query) {
        std::string error;
        const bool ok = web::ParseHistoryRange(query, now, cap, &error).has_value();
        return ok ? std::string("accepted") : error;
    };
    EXPECT_EQ(fails("from=x"), "from must be a whole number of seconds since the epoch");
    EXPECT_EQ(fails("to=1.5"), "to must be a whole number of seconds since the epoch");
    EXPECT_EQ(fails("step="), "step must be a whole number of seconds");
    EXPECT_EQ(fails("from=9223372036854775808"), "from is out of range");
    EXPECT_EQ(fails("to=-99999999999999999999"), "to is out of range");
    EXPECT_EQ(fails("from=20&to=10"), "from is after to");
    EXPECT_EQ(fails("step=0"), "step must be above 0");
    EXPECT_EQ(fails("step=-60"), "step must be above 0");

    std::string error;
    const auto hour = web::ParseHistoryRange("", now, cap, &error);
    ASSERT_TRUE(hour);
    EXPECT_EQ(hour->to, now);
    EXPECT_EQ(hour->from, now - 3600);
    EXPECT_EQ(hour->step, 60);
    EXPECT_EQ(web::ParseHistoryRange("step=61", now, cap, &error)->step, 120);

    const char* const wide[] = {
        "from=-9223372036854775807&to=9223372036854775807&step=60",
        "from=-9223372036854775808&to=9223372036854775807&step=9223372036854775807",
        "from=0&to=9223372036854775807&step=1",
        "to=-9223372036854775808",
    };
    for (const char* query : wide) {
        const auto r = web::ParseHistoryRange(query, now, cap, &error);
        ASSERT_TRUE(r) << query;
        EXPECT_GE(r->from, now - 366 * 86400) << query;
        EXPECT_LE(r->to, now + 60) << query;
        EXPECT_LE(r->from, r->to) << query;
        EXPECT_GE(r->step, 60) << query;
        EXPECT_EQ(r->step % 60, 0) << query;
        // Buckets start at multiples of the step: a range touches at most span / step + 1.
        EXPECT_LE((r->to - r->from) / r->step + 1, cap) << query;
    }
}

}  // namespace
