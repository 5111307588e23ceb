// The web side's own parsing and bookkeeping, where a slip would corrupt a page or let a
// request through that should not pass.
#include <gtest/gtest.h>

#include <cmath>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "daemon/web/json_text.h"
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

TEST(WebParts, SessionsExpireAndFailedLoginsAreLimitedPerAddress) {
    web::SessionTable sessions;
    const std::string token = sessions.Create("admin", "pw", 1000);
    EXPECT_EQ(token.size(), 64u);
    ASSERT_NE(sessions.Find(token, 2000), nullptr);
    EXPECT_EQ(sessions.Find(token, 2000)->csrf.size(), 64u);
    EXPECT_NE(sessions.Find(token, 2000)->csrf, token);
    EXPECT_EQ(sessions.Find(token.substr(0, 63), 2000), nullptr);
    EXPECT_EQ(sessions.Find(token, 1000 + web::SessionTable::kLifetimeMs), nullptr);
    EXPECT_EQ(sessions.size(), 0u);  // an expired login is dropped when met

    // A full table loses its oldest login, not the newest.
    std::string first;
    for (size_t i = 0; i <= web::SessionTable::kMaxSessions; ++i) {
        const std::string t = sessions.Create("u", "p", 0);
        if (i == 0) first = t;
    }
    EXPECT_EQ(sessions.size(), web::SessionTable::kMaxSessions);
    EXPECT_EQ(sessions.Find(first, 1), nullptr);

    web::LoginLimiter limiter;
    for (int i = 0; i < web::LoginLimiter::kMaxFailures; ++i) {
        EXPECT_TRUE(limiter.Allowed("10.0.0.1", 1000 + i));
        limiter.Failed("10.0.0.1", 1000 + i);
    }
    EXPECT_FALSE(limiter.Allowed("10.0.0.1", 2000));
    EXPECT_TRUE(limiter.Allowed("10.0.0.2", 2000));
    EXPECT_TRUE(limiter.Allowed("10.0.0.1", 1000 + web::LoginLimiter::kWindowMs));
}

}  // namespace
