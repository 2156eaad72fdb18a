#include "protocol/jm.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

bool parseDoc(const std::string& text, jm::Value& out) {
    jm::Parser p(text);
    return p.document(out);
}

jm::Value doc(const std::string& text) {
    jm::Value v;
    EXPECT_TRUE(parseDoc(text, v)) << text;
    return v;
}

bool fails(const std::string& text) {
    jm::Value v;
    return !parseDoc(text, v);
}

double num(const std::string& text) {
    return std::get<double>(doc(text).v);
}

std::string strOf(const std::string& text) {
    return doc(text).str("<none>");
}

TEST(JmParser, ReadsEveryAlternativeAtItsIndex) {
    EXPECT_EQ(doc("null").index(), 0u);
    EXPECT_EQ(doc("true").index(), 1u);
    EXPECT_EQ(doc("false").index(), 1u);
    EXPECT_EQ(doc("-1.5e2").index(), 2u);
    EXPECT_EQ(doc("\"x\"").index(), 3u);
    EXPECT_EQ(doc("{ }").index(), 4u);
    EXPECT_EQ(doc("[ ]").index(), 5u);
    EXPECT_EQ(num("-1.5e2"), -150.0);
}

TEST(JmParser, LenientNumberSpans) {
    EXPECT_EQ(num("-"), 0.0);
    EXPECT_EQ(num("."), 0.0);
    EXPECT_EQ(num("1."), 1.0);
    EXPECT_EQ(num(".5"), 0.5);
    EXPECT_EQ(num("1e"), 1.0);
    EXPECT_EQ(num("007"), 7.0);
    EXPECT_TRUE(std::isinf(num("1e999")));
    EXPECT_TRUE(fails("+1"));
    EXPECT_EQ(num("e5"), 0.0);
}

TEST(JmParser, ObjectsKeepTheLastDuplicateAndSortKeysBytewise) {
    const jm::Value v = doc("{\"a\":1,\"a\":2,\"\xc3\xa9\":3,\"b\":4,\"ab\":5}");
    EXPECT_EQ(std::get<double>(v.get("a").v), 2.0);
    std::string order;
    for (const auto& [k, _] : std::get<jm::Object>(v.v)) order += k + ",";
    EXPECT_EQ(order, "a,ab,b,\xc3\xa9,");
}

TEST(JmParser, RejectsMalformedText) {
    for (const char* bad :
         {"[1,]", "{\"a\":1,}", "{a:1}", "'x'", "\"abc", "[1 2]", "{\"a\" 1}", "\"\\x\"", "\"\\'\"",
          "\"\\u12\"", "tru", "", "   ", "truex", "{\"cmd\":\"x\"}x", "[", "{"}) {
        EXPECT_TRUE(fails(bad)) << bad;
    }
    EXPECT_FALSE(fails("{\"cmd\":\"x\"} "));
    EXPECT_FALSE(fails(" \t{\"cmd\":\"x\"}\f\v"));
}

TEST(JmParser, LiteralLeavesTheFollowingByteToTheCaller) {
    jm::Value v;
    const std::string text = "truex";
    jm::Parser p(text);
    ASSERT_TRUE(p.value(v));
    EXPECT_EQ(p.pos(), 4u);
}

TEST(JmParser, StringEscapesDecodeToBytes) {
    EXPECT_EQ(strOf(R"("\"\\\/\b\f\n\r\t")"), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(strOf(R"("\u00e9")"), "\xC3\xA9");
    EXPECT_EQ(strOf(R"("\ud83d\ude00")"), "\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_EQ(strOf(R"("\u0000")"), std::string(1, '\0'));
    EXPECT_EQ(strOf(R"("\u20AC")"), "\xE2\x82\xAC");
    EXPECT_EQ(strOf(R"("\u7gzzab")"),
              std::string("\x07") + "ab");  // conversion stops at 'g', all four are taken
    EXPECT_EQ(strOf("\"a\tb\rc\x80\""), "a\tb\rc\x80");
}

TEST(JmParser, NestingIsBoundedInsteadOfOverflowingTheStack) {
    const int limit = jm::Parser::kMaxDepth;
    EXPECT_FALSE(fails(std::string(limit, '[') + std::string(limit, ']')));
    EXPECT_TRUE(fails(std::string(limit + 1, '[') + std::string(limit + 1, ']')));
    EXPECT_TRUE(fails(std::string(100000, '[')));
    std::string objects;
    for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
    EXPECT_TRUE(fails(objects));
}

TEST(JmValue, GetAndStrFallBackToDefaults) {
    EXPECT_EQ(doc("[1]").get("a").index(), 0u);
    EXPECT_EQ(doc("\"s\"").get("a").index(), 0u);
    EXPECT_EQ(doc("null").get("a").index(), 0u);
    EXPECT_EQ(doc("{\"b\":1}").get("a").index(), 0u);
    EXPECT_EQ(doc("5").str("d"), "d");
    EXPECT_EQ(doc("true").str("d"), "d");
    EXPECT_EQ(doc("{\"cmd\":\"go\"}").get("cmd").str(""), "go");
}

TEST(JmEscape, EscapesQuotesBackslashesAndControlBytesOnly) {
    EXPECT_EQ(jm::escape("\"\\\n\x01"), "\\\"\\\\\\n\\u0001");
    EXPECT_EQ(jm::escape("\b\f\t\r"), "\\u0008\\u000c\\t\\r");
    EXPECT_EQ(jm::escape(std::string("a\0b", 3)), "a\\u0000b");
    EXPECT_EQ(jm::escape("/\x7f\xc3\xa9"), "/\x7f\xc3\xa9");
}

}  // namespace
