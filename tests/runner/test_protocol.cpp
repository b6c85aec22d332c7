// What reaches the engine from outside: the JSON objects of its protocol, read back as the
// Linux runner (Python's json) writes them, and its command line, as the contract's table
// makes it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "runner/json.h"
#include "runner/options.h"
#include "runner/report.h"

namespace {

JsonObject Parsed(const std::string &line)
{
    JsonObject object;
    EXPECT_TRUE(ParseJsonObject(line, object)) << line;
    return object;
}

TEST(Json, ReadsEveryKindOfValueOfAFlatObject)
{
    JsonObject o = Parsed(R"( {"run": ["--log", "a b", ""], "stop": -143, "why": "x",)"
                          R"( "quit": true, "open": false, "none": null, "t": 0.25} )");
    EXPECT_EQ(o["run"].items, (std::vector<std::string>{"--log", "a b", ""}));
    EXPECT_EQ(o["stop"].kind, JsonValue::kNumber);
    EXPECT_EQ(o["stop"].number, -143);
    EXPECT_EQ(TextOf(o, "why"), "x");
    EXPECT_TRUE(o["quit"].flag);
    EXPECT_EQ(o["open"].kind, JsonValue::kBool);
    EXPECT_FALSE(o["open"].flag);
    EXPECT_EQ(o["none"].kind, JsonValue::kNull);
    EXPECT_EQ(o["t"].number, 0.25);
    EXPECT_EQ(TextOf(o, "stop"), "") << "a number has no text";
    EXPECT_TRUE(Parsed("{}").empty());
}

TEST(Json, EscapesBecomeUtf8AndSurrogatePairsOneCharacter)
{
    const struct {
        const char *json, *utf8;
    } cases[] = {
        {R"("a\"b\\c\/d\n\r\t\b\f")", "a\"b\\c/d\n\r\t\b\f"},
        {R"("\u0041\u00e9\u20ac")", "A\xC3\xA9\xE2\x82\xAC"},
        // An emoji, as Python's json.dumps writes it: one four-byte character.
        {R"("folder \ud83d\udc0d")", "folder \xF0\x9F\x90\x8D"},
        {R"("\uD800\uDC00 \uDBFF\uDFFF")", "\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"},
        // Halves alone, or in the wrong order, are no character.
        {R"("\ud83d x \udc0d \udc0d\ud83d")",
         "\xEF\xBF\xBD x \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD"},
        // Bytes that are not escaped pass as they are: the console's own code page.
        {"\"caf\xE9\"", "caf\xE9"},
    };
    for (const auto &c : cases) {
        JsonObject o = Parsed(std::string("{\"s\": ") + c.json + "}");
        EXPECT_EQ(TextOf(o, "s"), c.utf8) << c.json;
    }
}

TEST(Json, WhatItWritesItReadsBack)
{
    std::string bytes;
    for (int c = 1; c < 256; c++)
        bytes += (char)c;
    JsonObject o = Parsed("{\"line\": " + JsonString(bytes) + "}");
    EXPECT_EQ(TextOf(o, "line"), bytes);
}

TEST(Json, RefusesWhatIsNoFlatObject)
{
    for (const char *line : {"", "[]", "\"x\"", "{", "{\"a\"}", "{\"a\": }", "{\"a\": 1,}",
                             "{\"a\": 1} x", "{\"a\": \"open}", "{\"a\": \"\\q\"}",
                             "{\"a\": \"\\u12\"}", "{\"a\": {\"b\": 1}}", "{\"a\": [1]}",
                             "{a: 1}", "{\"a\": tru}"}) {
        JsonObject object;
        EXPECT_FALSE(ParseJsonObject(line, object)) << line;
    }
}

// Parses a command line of the engine's; the exit of ParseOptions.
ParseResult ParseLine(std::vector<std::wstring> words, Options &options)
{
    words.insert(words.begin(), L"mirdu-run.exe");
    std::vector<wchar_t *> argv;
    for (std::wstring &word : words)
        argv.push_back(&word[0]);
    ProcessChanges changes;
    return ParseOptions((int)argv.size(), argv.data(), options, changes);
}

TEST(Options, TakesEveryOptionOfTheTableWholeAndNoAbbreviation)
{
    for (const OptionEntry &entry : kOptionTable) {
        std::wstring flag = entry.flag;
        std::vector<std::wstring> given = {flag};
        if (entry.takesValue)
            given.push_back(entry.id == OptionId::kDo     ? L"close"
                            : entry.id == OptionId::kAs   ? L"vendor.dll"
                            : entry.id == OptionId::kCwd  ? L"."
                            : entry.id == OptionId::kSteps ? L"NUL"
                            : entry.id == OptionId::kImage ? L"a.hex"
                            : entry.id == OptionId::kPreload ? L"id.bin@0x8000"
                                                          : L"5");
        given.push_back(L"program.exe");
        Options whole, shortened;
        EXPECT_EQ(ParseLine(given, whole), kParsed) << flag;
        given[0] = flag.substr(0, flag.size() - 1);
        EXPECT_EQ(ParseLine(given, shortened), kBadOptions) << given[0];
    }
}

TEST(Options, TheProgramAndWhatFollowsItAreThePrograms)
{
    Options options;
    ASSERT_EQ(ParseLine({L"--timeout=9", L"--interactive", L"--", L"--log", L"a", L"--as"},
                        options),
              kParsed);
    EXPECT_EQ(options.timeout, 9);
    EXPECT_TRUE(options.interactive);
    EXPECT_EQ(options.program, L"--log");
    EXPECT_EQ(options.args, (std::vector<std::wstring>{L"a", L"--as"}));
    for (std::vector<std::wstring> wrong : std::vector<std::vector<std::wstring>>{
             {L"--interactive=yes", L"p.exe"}, {L"--timeout", L"0", L"p.exe"},
             {L"--timeout"}, {L"--as", L"vendor", L"p.exe"}, {L"--image", L"a.png", L"p.exe"},
             {L"--do", L"press OK", L"p.exe"}, {L"--preload", L"id.bin", L"p.exe"},
             {L"-x", L"p.exe"}, {}}) {
        Options refused;
        EXPECT_EQ(ParseLine(wrong, refused), kBadOptions) << (wrong.empty() ? L"" : wrong[0]);
    }
}

} // namespace
