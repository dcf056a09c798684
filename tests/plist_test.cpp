// The property-list layer on real files: formats, the number reading rule, hostile input.
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "plist/Plist.h"
#include "plist/Value.h"
#include "plist/XmlReader.h"
#include "plist/XmlWriter.h"
#include "store/DurableFile.h"
#include "store/MeteringFiles.h"
#include "support/ChildProcess.h"
#include "support/Printers.h"

namespace fs = std::filesystem;
using namespace tallyvane::plist;
using namespace tallyvane;
using namespace tallyvane::test;

namespace {

// The same value in libplist's binary format, as another program would write it.
std::string binaryOf(const Value& value) {
    auto xml = toXml(value);
    plist_t node = nullptr;
    plist_from_memory(xml->data(), static_cast<uint32_t>(xml->size()), &node);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    std::string bytes(bin, length);
    std::free(bin);
    plist_free(node);
    return bytes;
}

}  // namespace

TEST(Plist, NumberRuleHoldsAfterXmlAndBinaryRoundTrips) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const std::optional<std::int64_t> no;
    const std::tuple<const char*, Value, std::optional<std::int64_t>, std::optional<double>>
        cases[] = {{"minusOne", -1, -1, -1.0},
                   {"min", kMin, kMin, double(kMin)},
                   {"max", kMax, kMax, double(kMax)},
                   {"wholeReal", 60.0, 60, 60.0},
                   {"halfReal", 60.5, no, 60.5},
                   {"bigReal", 1e300, no, 1e300},
                   {"text", "60", no, no},
                   {"flag", true, no, no},
                   {"markup & <key>", "a & b < c > d \"q\" 'a' Grüße", no, no},
                   {"tiny", 5e-324, no, 5e-324},
                   {"date", Date{1700000000}, no, no},
                   {"data", Data(3, 0xA5), no, no},
                   {"deep", Array{Array{Dict{{"x", -7}}, ""}}, no, no}};
    Dict numbers;
    for (const auto& [key, value, integer, real] : cases) numbers[key] = value;
    // A trailing line feed keeps the parser from recognising the document it just wrote.
    for (const std::string& bytes : {*toXml(Value(numbers)) + "\n", binaryOf(Value(numbers))}) {
        auto value = parse(bytes);
        ASSERT_EQ(value, Value(numbers));
        for (const auto& [key, number, integer, real] : cases) {
            SCOPED_TRACE(key);
            EXPECT_EQ(integerFor(*asDict(*value), key), integer);
            EXPECT_EQ(realFor(*asDict(*value), key), real);
        }
    }
    EXPECT_EQ(integerFor(numbers, "absent"), std::nullopt);
    // The boundary of the signed range: 2^63 as a real is not an integer, -2^63 is.
    EXPECT_EQ(asInteger(Value(9223372036854775808.0)), std::nullopt);
    EXPECT_EQ(asInteger(Value(-9223372036854775808.0)), kMin);
}

TEST(Plist, IntegersAreReadAsWrittenAndThoseBeyondSixtyFourBitsAreKeptUnread) {
    // Each key's integer as written and what it reads as; the others keep their text unread.
    const std::tuple<const char*, const char*, std::optional<std::int64_t>> rows[] = {
        {"octal", "0100", 100},
        {"padded", " -007 ", -7},
        {"minusOne", "-1", -1},
        {"hex", "0x10", std::nullopt},
        {"top", "18446744073709551615", std::nullopt},
        {"past", "9223372036854775808", std::nullopt},
        {"below", "-9223372036854775809", std::nullopt}};
    std::string xml =
        "<plist version=\"1.0\"><dict><key>list</key><array><integer>+5</integer></array>";
    Dict expected{{"list", Array{5}}};
    for (const auto& [key, text, number] : rows) {
        xml += "<key>" + std::string(key) + "</key><integer>" + text + "</integer>";
        expected[key] = number ? Value(*number) : Value(UnreadInteger{text});
    }
    xml += "</dict></plist>";
    const auto read = parse(xml);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, Value(expected));
    // No reader takes them, and a rewrite carries their text unchanged.
    EXPECT_EQ(integerFor(expected, "top"), std::nullopt);
    EXPECT_EQ(realFor(expected, "top"), std::nullopt);
    const auto rewritten = writeXml(*read);
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(parse(*rewritten), Value(expected));
    // A binary list tells 2^64 - 1 from -1 as well.
    const Value wide(Dict{{"top", expected.at("top")}, {"minusOne", -1}});
    EXPECT_EQ(parse(binaryOf(wide)), wide);
}

TEST(Plist, PlainDocumentsAreReadDirectlyAsLibplistReadsThemAndOthersAreLeftToIt) {
    const Dict d{{"1", Dict{{"FileName", "Caf\u00e9 & <Co> \"q\" 'a'"},
                            {"AppDefinitionId", "1"},
                            {"TOTAL_RUN_COUNT", 9223372036854775807 / 1000},
                            {"LAST_USED", -7},
                            {"flags", Array{true, false, Dict{}, Array{}, ""}}}},
                 {"tab\tand\nline", "x"}};
    const std::string xml = *toXml(Value(d));
    ASSERT_EQ(readPlainXml(xml), Value(d));  // what this program writes is read directly
    EXPECT_EQ(parseWithLibplist(xml), Value(d));
    // Other writers leave keys in their own order: each is still found by name.
    const std::string unsorted =
        "<plist><dict><key>b</key><string>2</string><key>a</key><dict>"
        "<key>y</key><true/><key>x</key><false/></dict></dict></plist>";
    const Value sorted(Dict{{"a", Dict{{"x", false}, {"y", true}}}, {"b", "2"}});
    EXPECT_EQ(readPlainXml(unsorted), sorted);
    EXPECT_EQ(parseWithLibplist(unsorted), sorted);
    // Anything else goes to libplist, which reads it as before.
    const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>";
    for (const char* body :
         {"<integer>9223372036854775807</integer>", "<integer>0x10</integer>",
          "<integer>+5</integer>", "<string>&#233;</string>", "<!-- c --><string>x</string>",
          "<string><![CDATA[<x>]]></string>", "<string>a\rb</string>", "<real>1.5</real>",
          "<string>x</string><key>k</key><string>y</string>"}) {
        const std::string document = head + body + "</dict></plist>";
        EXPECT_FALSE(readPlainXml(document)) << body;
        const auto viaLibplist = parseWithLibplist(document);
        const auto parsed = parse(document);
        ASSERT_EQ(parsed.ok(), viaLibplist.ok()) << body;
        if (parsed) {
            EXPECT_EQ(*parsed, *viaLibplist) << body;
        }
    }
}

TEST(Plist, WhatXmlCannotCarryIsReplacedSoThatStrictReadersTakeTheDocument) {
    const ScratchDir scratch;
    const std::string dir = scratch.path(), path = dir + "/odd.plist";
    // Controls, a NUL, a lone byte, an encoded surrogate and U+FFFF: each becomes U+FFFD.
    const Dict odd{{"version", "2.1\x01\x1b[31m"},
                   {std::string("k\0y", 3), "\xff"},
                   {"surrogate", "\xED\xA0\x80"},
                   {"nonchar", "a\xEF\xBF\xBFz"},
                   {"kept", "tab\tline\ncr\r Grüße 東京 \xF0\x9F\x98\x80 &<>"}};
    bool exact = true;
    const auto xml = writeXml(Value(odd), &exact);
    ASSERT_TRUE(xml);
    EXPECT_FALSE(exact);
    ASSERT_TRUE(store::writeWhole(posixFileSystem(), path, *xml));
    const std::string r = "\xEF\xBF\xBD";
    const auto back = parse(*xml);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, Value(Dict{{"version", "2.1" + r + r + "[31m"},
                                {"k" + r + "y", r},
                                {"surrogate", r + r + r},
                                {"nonchar", "a" + r + "z"},
                                {"kept", odd.at("kept")}}));
    // An integer kept unread as it stood is escaped like text too.
    exact = true;
    const auto unread = writeXml(Value(Array{UnreadInteger{std::string("1<2\0&", 5)}}), &exact);
    ASSERT_TRUE(unread);
    EXPECT_FALSE(exact);
    EXPECT_TRUE(parse(*unread));
    // Python's plistlib reads with expat, which refuses a document with any of them raw.
    const std::string check =
        "python3 -c 'import plistlib,sys; plistlib.load(open(sys.argv[1], \"rb\"))' ";
    EXPECT_EQ(std::system((check + path).c_str()), 0);
    ASSERT_TRUE(store::writeWhole(posixFileSystem(), path, "<plist><string>\x01</string></plist>"));
    EXPECT_NE(std::system((check + path + " 2>/dev/null").c_str()), 0);  // the check can fail
}

TEST(Plist, AFileRewrittenByAnotherProgramIsReadAfresh) {
    const ScratchDir scratch;
    const std::string dir = scratch.path(), path = dir + "/shared.plist";
    FileSystem& files = posixFileSystem();
    store::MeteringFiles documents(files);
    const Dict ours{{"count", std::int64_t{1}}};
    ASSERT_TRUE(store::writeWhole(files, path, std::string(1000, 'x')));
    ASSERT_TRUE(documents.write(path, Value(ours), store::MeteringFiles::Write::InPlace));
    const auto viewed = [&] {
        auto held = documents.view(path);
        return held ? **held : Value();
    };
    EXPECT_EQ(slurp(path), *writeXml(Value(ours)));  // the longer file was cut short
    EXPECT_EQ(viewed(), Value(ours));
    // Same length, other content, while the document is still remembered: only the bytes tell
    // them apart.
    std::string theirs = slurp(path);
    theirs.replace(theirs.find("<integer>1<"), 11, "<integer>2<");
    ASSERT_TRUE(store::writeWhole(files, path, theirs));
    EXPECT_EQ(viewed(), Value(Dict{{"count", std::int64_t{2}}}));
    // A document of many pieces is written, and known again, as the whole text would be.
    std::vector<Dict::value_type> many;
    for (int i = 0; i < 3000; ++i) many.emplace_back("k" + std::to_string(100000 + i), "é & <v>");
    const Value large(Dict::fromEntries(std::move(many)));
    ASSERT_TRUE(documents.write(path, large, store::MeteringFiles::Write::InPlace));
    const std::string whole = *writeXml(large);
    ASSERT_GT(whole.size(), 2u << 16);
    EXPECT_EQ(slurp(path), whole);
    EXPECT_EQ(viewed(), large);
    ASSERT_TRUE(store::replaceAtomically(files, path, binaryOf(Value(ours))));
    EXPECT_EQ(documents.read(path), Value(ours));
    // The replacement stays readable by others and leaves no temporary file behind.
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_read, fs::perms::others_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST(Plist, ACopyOfADictionaryChangesAloneWhicheverWayItIsChanged) {
    const Dict original{{"a", 1}, {"b", "two"}, {"c", Dict{{"inner", 3}}}};
    const std::vector<std::function<void(Dict&)>> changes = {
        [](Dict& d) { d["z"] = 9; },
        [](Dict& d) { d.insert_or_assign("a", 5); },
        [](Dict& d) { d.emplace("aa", 6); },
        [](Dict& d) { d.erase("b"); },
        [](Dict& d) { d.erase(std::as_const(d).find("b")); },
        [](Dict& d) { d.at("a") = 7; },
        [](Dict& d) { d.find("b")->second = "three"; },
        [](Dict& d) { d.begin()->second = 8; },
        [](Dict& d) { std::get<Dict>(d.at("c").v)["inner"] = 4; },
        [](Dict& d) { d.clear(); },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        Dict copy = original;
        Dict kept = copy;
        changes[i](copy);
        EXPECT_NE(copy, original);
        EXPECT_EQ(kept, original);
    }
    // Copies handed to other threads and dropped there leave the last holder free to change.
    Dict shared = original;
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([copy = shared] { EXPECT_EQ(copy.at("b"), Value("two")); });
    shared["b"] = "changed";
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(original.at("b"), Value("two"));
    EXPECT_EQ(shared.at("b"), Value("changed"));
}

TEST(Plist, TextsKeepTheirContentWhereverTheyAreHeld) {
    // Either side of the 15 bytes held in place, with a NUL inside and multibyte characters.
    std::vector<std::string> samples;
    for (std::size_t n : {0, 1, 14, 15, 16, 40}) samples.push_back(std::string(n, 'k'));
    samples.push_back(std::string("fifteen\0bytes!!", 15));
    samples.push_back(std::string("sixteen\0 bytes!!", 16));
    samples.push_back("Grüße, 東京");
    for (const std::string& a : samples) {
        for (const std::string& b : samples) {
            SCOPED_TRACE(a.size() * 100 + b.size());
            Text x(a), copy(b), moved(b);
            EXPECT_EQ(x < copy, a < b);
            copy = x;  // over either kind of storage
            EXPECT_EQ(std::string_view(copy), a);
            EXPECT_EQ(copy.c_str()[copy.size()], '\0');
            moved = std::move(copy);
            moved = *&moved;
            EXPECT_EQ(moved, a);
            EXPECT_TRUE(copy.empty());
            EXPECT_EQ(x, a);
        }
    }
}

TEST(Plist, HostileInputIsRefusedWithAnError) {
    std::string unclosed = "<plist version=\"1.0\">", nested = unclosed;
    for (int i = 0; i < 100000; ++i) unclosed += "<array>";
    // Nesting that libplist accepts but that would be too deep to convert safely.
    for (int i = 0; i < 1000; ++i) nested.insert(21, "<array>").append("</array>");
    // A NUL inside a binary key or string makes libplist 2.2 abort on an assertion.
    const Value valid(Dict{{"key1", "text"}});
    const std::string xml = *toXml(valid), binary = binaryOf(valid);
    ASSERT_TRUE(parse(binary));
    std::string nulInKey = binary, nulInString = binary;
    nulInKey[nulInKey.find("key1") + 2] = '\0';
    nulInString[nulInString.find("text") + 2] = '\0';
    for (const std::string& bytes :
         {std::string(), std::string("garbage"), xml.substr(0, xml.size() / 2),
          binary.substr(0, binary.size() - 5), std::string("bplist00"), unclosed,
          nested + "</plist>", nulInKey, nulInString}) {
        SCOPED_TRACE(bytes.substr(0, 40));
        const auto parsed = parse(bytes);
        EXPECT_FALSE(parsed);
        EXPECT_FALSE(parsed.status().description().empty());
    }
}
