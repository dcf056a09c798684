// The property-list layer on real files: formats, the number reading rule, hostile input.
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "plist/AppName.h"
#include "plist/PlistFile.h"
#include "plist/Value.h"
#include "support/ChildProcess.h"

namespace fs = std::filesystem;
using namespace tallyvane;
using namespace tallyvane::plist;

namespace {

fs::path scratch() { return tallyvane::test::scratchFolder(); }

using tallyvane::test::slurp;

// The same value in libplist's binary format, as another program would write it.
std::string binaryOf(const Value& value) {
    auto xml = toXml(value);
    plist_t node = nullptr;
    plist_from_memory(xml->data(), static_cast<uint32_t>(xml->size()), &node);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    std::string bytes(bin, length);
    free(bin);
    plist_free(node);
    return bytes;
}

const Dict kNumbers{{"minusOne", Value(std::int64_t{-1})},
                    {"min", Value(std::numeric_limits<std::int64_t>::min())},
                    {"max", Value(std::numeric_limits<std::int64_t>::max())},
                    {"wholeReal", Value(60.0)},
                    {"halfReal", Value(60.5)},
                    {"bigReal", Value(1e300)},
                    {"text", Value("60")},
                    {"flag", Value(true)}};

}  // namespace

TEST(Plist, NumberRuleHoldsAfterXmlAndBinaryRoundTrips) {
    auto dir = scratch();
    auto xml = toXml(Value(kNumbers));
    ASSERT_TRUE(xml);
    // A trailing line feed keeps the parser from recognising the document it just wrote.
    ASSERT_TRUE(writeInPlace(dir / "n.plist", *xml + "\n"));
    ASSERT_TRUE(writeInPlace(dir / "b.plist", binaryOf(Value(kNumbers))));
    for (const char* file : {"n.plist", "b.plist"}) {
        SCOPED_TRACE(file);
        auto value = readFile(dir / file);
        ASSERT_TRUE(value);
        ASSERT_EQ(*value, Value(kNumbers));
        const Dict& d = *asDict(*value);
        EXPECT_EQ(integerFor(d, "minusOne"), -1);
        EXPECT_EQ(integerFor(d, "min"), std::numeric_limits<std::int64_t>::min());
        EXPECT_EQ(integerFor(d, "max"), std::numeric_limits<std::int64_t>::max());
        EXPECT_EQ(integerFor(d, "wholeReal"), 60);
        EXPECT_EQ(integerFor(d, "halfReal"), std::nullopt);
        EXPECT_EQ(integerFor(d, "bigReal"), std::nullopt);
        EXPECT_EQ(integerFor(d, "text"), std::nullopt);
        EXPECT_EQ(integerFor(d, "flag"), std::nullopt);
        EXPECT_EQ(integerFor(d, "absent"), std::nullopt);
        EXPECT_EQ(realFor(d, "minusOne"), -1.0);
        EXPECT_EQ(realFor(d, "halfReal"), 60.5);
        EXPECT_EQ(realFor(d, "text"), std::nullopt);
        EXPECT_EQ(realFor(d, "flag"), std::nullopt);
        ASSERT_NE(stringFor(d, "text"), nullptr);
        EXPECT_EQ(stringFor(d, "minusOne"), nullptr);
    }
    // The boundary of the signed range: 2^63 as a real is not an integer, -2^63 is.
    EXPECT_EQ(asInteger(Value(9223372036854775808.0)), std::nullopt);
    EXPECT_EQ(asInteger(Value(-9223372036854775808.0)), std::numeric_limits<std::int64_t>::min());
}

TEST(Plist, RealsDatesAndDataRoundTripExactly) {
    Dict d{{"whole", Value(50399.0)},
           {"half", Value(2.5)},
           {"tenth", Value(0.1)},
           {"date", Value(Date{1700000000})},
           {"data", Value(Data{0, 1, 255})},
           {"nested", Value(Array{Value(Dict{}), Value("x")})}};
    auto xml = toXml(Value(d));
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<?xml version=\"1.0\""), std::string::npos);
    EXPECT_EQ(parse(*xml + "\n"), Value(d));
    EXPECT_TRUE(std::holds_alternative<double>(asDict(*parse(*xml + "\n"))->at("whole").v));
    EXPECT_EQ(parse(binaryOf(Value(d))), Value(d));
}

TEST(Plist, WrittenDocumentsReadBackThroughLibplist) {
    Dict d{{"markup", Value("a & b < c > d \"q\" 'a'")},
           {"unicode", Value("Grüße, 東京")},
           {"empty", Value("")},
           {"key & <key>", Value(true)},
           {"no", Value(false)},
           {"emptyDict", Value(Dict{})},
           {"emptyArray", Value(Array{})},
           {"infinite", Value(std::numeric_limits<double>::infinity())},
           {"negative", Value(-std::numeric_limits<double>::infinity())},
           {"tiny", Value(5e-324)},
           {"deep", Value(Array{Value(Array{Value(Dict{{"x", Value(std::int64_t{-7})}})})})}};
    for (std::uint8_t n = 0; n <= 4; ++n) d.emplace("data" + std::to_string(n), Data(n, 0xA5));
    auto xml = toXml(Value(d));
    ASSERT_TRUE(xml);
    // Read by libplist itself, and written back by it, the document says the same.
    EXPECT_EQ(parse(*xml + "\n"), Value(d));
    EXPECT_EQ(parse(binaryOf(Value(d))), Value(d));

    // A string cut at a NUL is written as libplist would write it, and not taken as read.
    auto cut = toXml(Value(Dict{{"s", Value(std::string("ab\0cd", 5))}}));
    ASSERT_TRUE(cut);
    EXPECT_EQ(parse(*cut), Value(Dict{{"s", Value("ab")}}));
}

TEST(Plist, AFileRewrittenByAnotherProgramIsReadAfresh) {
    auto dir = scratch();
    const auto path = dir / "shared.plist";
    const Dict ours{{"count", Value(std::int64_t{1})}};
    ASSERT_TRUE(writeInPlace(path, *toXml(Value(ours))));
    EXPECT_EQ(readFile(path), Value(ours));
    // Same length, other content: only the bytes tell them apart.
    std::string theirs = slurp(path);
    theirs.replace(theirs.find("<integer>1<"), 11, "<integer>2<");
    ASSERT_TRUE(writeInPlace(path, theirs));
    EXPECT_EQ(readFile(path), Value(Dict{{"count", Value(std::int64_t{2})}}));
    ASSERT_TRUE(writeInPlace(path, binaryOf(Value(ours))));
    EXPECT_EQ(readFile(path), Value(ours));
}

TEST(Plist, HostileInputIsRefusedWithAnError) {
    auto dir = scratch();
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<array>";
    std::string valid = *toXml(Value(kNumbers));
    std::string binary = binaryOf(Value(kNumbers));
    for (std::string bytes :
         {std::string(), std::string("garbage"), valid.substr(0, valid.size() / 2),
          binary.substr(0, binary.size() - 9), std::string("bplist00"),
          "<plist version=\"1.0\">" + deep}) {
        Error error;
        EXPECT_FALSE(parse(bytes, &error)) << bytes.substr(0, 40);
        EXPECT_FALSE(error.description.empty());
    }
    // A NUL inside a binary key or string makes libplist 2.2 abort on an assertion.
    std::string withNul = binaryOf(Value(Dict{{"key1", Value("text")}}));
    for (const char* inside : {"key1", "text"}) {
        std::string bytes = withNul;
        bytes[bytes.find(inside) + 2] = '\0';
        EXPECT_FALSE(parse(bytes)) << inside;
    }
    EXPECT_TRUE(parse(withNul));

    // Nesting that libplist accepts but that would be too deep to convert safely.
    std::string nested = "<plist version=\"1.0\">";
    for (int i = 0; i < 1000; ++i) nested += "<array>";
    for (int i = 0; i < 1000; ++i) nested += "</array>";
    EXPECT_FALSE(parse(nested + "</plist>"));

    Error error;
    EXPECT_FALSE(readFile(dir / "missing.plist", &error));
    EXPECT_NE(error.description.find("missing.plist"), std::string::npos);
    EXPECT_FALSE(readBytes(dir));  // a folder
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(readBytes(dir / "fifo"));  // must not block
}

TEST(Plist, WritesReplaceWholeFiles) {
    auto dir = scratch();
    auto path = (dir / "f.plist").string();
    ASSERT_TRUE(writeInPlace(path, std::string(1000, 'x')));
    ASSERT_TRUE(writeInPlace(path, "short"));
    EXPECT_EQ(slurp(path), "short");
    ASSERT_TRUE(writeAtomically(path, "atomic"));
    EXPECT_EQ(slurp(path), "atomic");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_read, fs::perms::others_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    Error error;
    EXPECT_FALSE(writeAtomically((dir / "no/such/f.plist").string(), "x", &error));
    EXPECT_FALSE(writeInPlace((dir / "no/such/f.plist").string(), "x", &error));
    EXPECT_FALSE(error.description.empty());
}

TEST(Plist, ApplicationNameDropsEveryLowerCaseAppAndDescribeRendersValues) {
    EXPECT_EQ(applicationName("Pro.appliance.app"), "Proliance");
    EXPECT_EQ(applicationName("Safari.app"), "Safari");
    EXPECT_EQ(applicationName("Big.APP"), "Big.APP");
    EXPECT_EQ(applicationName(".app.app"), "");
    EXPECT_EQ(applicationName("a.ap.app"), "a.ap");
    EXPECT_EQ(describe(Dict{{"A", Value("x")}, {"N", Value(60.0)}, {"L", Value(Array{1, 2})}}),
              "[\"A\": \"x\", \"L\": [1, 2], \"N\": 60]");
}
