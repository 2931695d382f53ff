#include "base/ConfigINI.h"
#include "base/Diag.h"
#include "base/TextCodec.h"
#include "base/ConfigKeys.h"

#include "support/common/Files.h"

#include <gtest/gtest.h>
#include <memory>
#include <random>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::unique_ptr<ConfigINI> LoadQuiet(const std::string& file) {
    CaptureStdout();
    auto c = std::make_unique<ConfigINI>(file.c_str());
    GetCapturedStdout();
    return c;
}

std::string SaveAndRead(ConfigINI& c) {
    EXPECT_TRUE(c.Save());
    return ReadFile(c.FileName());
}

// The store's lines are diagnostics: with --verbose on standard error (in
// UTF-8), nothing on standard output; without it, nothing at all.
struct Diagnostics {
    explicit Diagnostics(bool verbose = true) {
        tarvex::SetVerbose(verbose);
        CaptureStdout();
        testing::internal::CaptureStderr();
    }
    std::string Err() {
        done = true;
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(out, "");
        return testing::internal::GetCapturedStderr();
    }
    ~Diagnostics() {
        if (!done) {
            GetCapturedStdout();
            testing::internal::GetCapturedStderr();
        }
        tarvex::SetVerbose(false);
    }
    bool done = false;
};

} // namespace

TEST(ConfigLoad, WithoutVerboseTheLinesGoNowhere) {
    TempDir d;
    const std::string f = d.File("none.ini");
    Diagnostics diag(false);
    ConfigINI c(f.c_str());
    EXPECT_EQ(c.GetValue("s", "k"), nullptr);
    EXPECT_EQ(diag.Err(), "");
}

TEST(ConfigLoad, GbkNamesAreSaidInUtf8) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, TextCodec::Utf8ToGbk("[本地服务器]\nID=1\n"));
    auto c = LoadQuiet(f);
    Diagnostics diag;
    EXPECT_EQ(c->GetValue(TextCodec::Utf8ToGbk("本地服务器").c_str(), TextCodec::Utf8ToGbk("端口").c_str()), nullptr);
    EXPECT_EQ(diag.Err(), "tarvex: DEBUG: [本地服务器] of--[端口] not found\n");
}

TEST(ConfigLoad, MissingFilePrintsLineAndKeepsEmptyStore) {
    TempDir d;
    const std::string f = d.File("none.ini");
    Diagnostics diag;
    ConfigINI c(f.c_str());
    EXPECT_EQ(diag.Err(), "tarvex: load config, file [" + f + "] not exist\n");
    EXPECT_TRUE(c.Entries().empty());
    EXPECT_FALSE(c.IsDirty());
    // A later save creates the file.
    c.SetValue("1", "a", "x");
    EXPECT_TRUE(c.Save());
    EXPECT_EQ(ReadFile(f), "[a]\r\nx=1\r\n\r\n");
}

TEST(ConfigLoad, EntriesCommentsSectionsAndLinesWithoutEquals) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "# head\r\n[one]\r\nk=v=w\r\n\r\n\r\nplain line\r\n[two]\r\n#c2\nk=2\n");
    auto c = LoadQuiet(f);
    const auto& e = c->Entries();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0].isComment, 1);
    EXPECT_EQ(e[0].comment, "# head");
    EXPECT_EQ(e[0].section, "");
    EXPECT_EQ(e[1].section, "one");
    EXPECT_EQ(e[1].key, "k");
    EXPECT_EQ(e[1].value, "v=w"); // split at the first "="
    EXPECT_EQ(e[2].key, "plain line");
    EXPECT_EQ(e[2].value, "plain line");
    EXPECT_EQ(e[3].comment, "#c2");
    EXPECT_EQ(e[4].section, "two");
    EXPECT_STREQ(c->GetValue("one", "k"), "v=w");
    EXPECT_STREQ(c->GetValue("two", "k"), "2");
}

TEST(ConfigLoad, BlanksAroundEqualsAreKept) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "[s]\nname = value \n");
    auto c = LoadQuiet(f);
    EXPECT_STREQ(c->GetValue("s", "name "), " value ");
    Diagnostics diag;
    EXPECT_EQ(c->GetValue("s", "name"), nullptr);
    EXPECT_EQ(diag.Err(), "tarvex: DEBUG: [s] of--[name] not found\n");
}

TEST(ConfigLoad, SectionNameDropsFirstAndLastByteOnly) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "[a b]x\nk=1\n[\nk=2\n");
    auto c = LoadQuiet(f);
    EXPECT_STREQ(c->GetValue("a b]", "k"), "1");
    EXPECT_STREQ(c->GetValue("", "k"), "2");
}

TEST(ConfigLoad, CommentEndsAtCarriageReturn) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "[s]\n#note\rk=1\n");
    auto c = LoadQuiet(f);
    ASSERT_EQ(c->Entries().size(), 2u);
    EXPECT_EQ(c->Entries()[0].comment, "#note");
    EXPECT_STREQ(c->GetValue("s", "k"), "1");
}

TEST(ConfigLoad, LineOf4095BytesIsReadWholeAndLongerLineIsSkipped) {
    TempDir d;
    const std::string f = d.File("c.ini");
    const std::string v4095 = std::string(4095 - 2, 'v'); // "k=" + value
    const std::string v4096 = std::string(4096 - 2, 'w');
    WriteFile(f,
               "[s]\nk=" + v4095 + "\nl=" + v4096 + "\nm=3\n#" + std::string(5000, 'c') + "\nn=4");
    auto c = LoadQuiet(f);
    EXPECT_EQ(c->GetString("s", "k"), v4095);
    CaptureStdout();
    EXPECT_EQ(c->GetValue("s", "l"), nullptr);
    GetCapturedStdout();
    EXPECT_STREQ(c->GetValue("s", "m"), "3");
    // The last line has no line end and is still read.
    EXPECT_STREQ(c->GetValue("s", "n"), "4");
    EXPECT_EQ(c->Entries().size(), 3u);
}

TEST(ConfigLoad, KeyLineBeforeAnySectionIsSkipped) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "orphan=1\n# c\n[s]\nk=2\n");
    auto c = LoadQuiet(f);
    ASSERT_EQ(c->Entries().size(), 2u);
    EXPECT_EQ(c->Entries()[0].isComment, 1);
    EXPECT_STREQ(c->GetValue("s", "k"), "2");
}

TEST(ConfigLoad, BinaryGarbageLoadsWithoutHarm) {
    TempDir d;
    const std::string f = d.File("c.ini");
    std::mt19937 rng(7);
    std::string junk;
    for (int i = 0; i < 200000; ++i)
        junk.push_back(static_cast<char>(rng()));
    junk += "\n[s]\nk=ok\n";
    WriteFile(f, junk);
    auto c = LoadQuiet(f);
    EXPECT_STREQ(c->GetValue("s", "k"), "ok");
    EXPECT_TRUE(c->Save());
    auto again = LoadQuiet(f);
    EXPECT_STREQ(again->GetValue("s", "k"), "ok");
}

TEST(ConfigGetValue, KeyMissingFromItsSectionIsNotReadFromALaterOne) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "[a]\nx=1\n[b]\ny=2\n[a]\nz=3\n");
    auto c = LoadQuiet(f);
    {
        Diagnostics diag;
        EXPECT_EQ(c->GetValue("a", "y"), nullptr);
        EXPECT_EQ(diag.Err(), "tarvex: DEBUG: [a] of--[y] not found\n");
    }
    EXPECT_STREQ(c->GetValue("a", "z"), "3"); // a second run of the same section counts
    EXPECT_EQ(c->GetInt("a", "y"), -1);
    EXPECT_EQ(c->GetInt("a", "y", 255), 255);
    EXPECT_EQ(c->GetString("a", "y"), "");
}

TEST(ConfigGetValue, ComparisonIsByteWiseAndCaseSensitive) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, std::string("[") + ConfigKeys::kLocalServer + "]\n" + ConfigKeys::kPort +
                      "=5060\nID=1\n");
    auto c = LoadQuiet(f);
    EXPECT_EQ(c->GetInt(ConfigKeys::kLocalServer, ConfigKeys::kPort), 5060);
    CaptureStdout();
    EXPECT_EQ(c->GetValue(ConfigKeys::kLocalServer, "id"), nullptr);
    GetCapturedStdout();
}

TEST(ConfigGetInt, LeadingDigitsAfterOptionalSign) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "[s]\na=42abc\nb=-7\nc=x1\nd=+3\ne=99999999999\n");
    auto c = LoadQuiet(f);
    EXPECT_EQ(c->GetInt("s", "a"), 42);
    EXPECT_EQ(c->GetInt("s", "b"), -7);
    EXPECT_EQ(c->GetInt("s", "c"), 0);
    EXPECT_EQ(c->GetInt("s", "d"), 3);
    EXPECT_EQ(c->GetInt("s", "e"), 2147483647);
}

TEST(ConfigSetValue, InsertsAfterLastKeyOfSectionAndAppendsNewSection) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "[a]\nx=1\ny=2\n[b]\nz=3\n");
    auto c = LoadQuiet(f);
    c->SetValue("9", "a", "new");
    c->SetValue("8", "c", "k");
    ASSERT_EQ(c->Entries().size(), 5u);
    EXPECT_EQ(c->Entries()[2].key, "new");
    EXPECT_EQ(c->Entries()[4].section, "c");
    EXPECT_EQ(SaveAndRead(*c),
              "[a]\r\nx=1\r\ny=2\r\nnew=9\r\n\r\n[b]\r\nz=3\r\n\r\n[c]\r\nk=8\r\n\r\n");
}

TEST(ConfigSetValue, ReplacesOnlyFirstMatchInSectionRun) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "[a]\nx=1\nx=2\n# split\n[a]\nw=5\n");
    auto c = LoadQuiet(f);
    c->SetValue("7", "a", "x");
    EXPECT_EQ(c->Entries()[0].value, "7");
    EXPECT_EQ(c->Entries()[1].value, "2");
    // The comment ends the first run: a new key goes after x=2, before the comment.
    c->SetValue("6", "a", "y");
    EXPECT_EQ(c->Entries()[2].key, "y");
    EXPECT_EQ(c->Entries()[3].isComment, 1);
    EXPECT_TRUE(c->IsDirty());
    EXPECT_TRUE(c->Save());
    EXPECT_FALSE(c->IsDirty());
}

TEST(ConfigSetValue, EmptyStoreAppendsAndNumbersGoThroughScratch) {
    TempDir d;
    const std::string f = d.File("c.ini");
    auto c = LoadQuiet(f);
    c->SetInt(-12, "s", "n");
    EXPECT_STREQ(c->scratch, "-12");
    EXPECT_EQ(c->GetInt("s", "n"), -12);
}

TEST(ConfigSave, EmptyLineRulesAndFinalLineEnd) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "[a]\nx=1\n# note\n[b]\ny=\n");
    auto c = LoadQuiet(f);
    EXPECT_EQ(SaveAndRead(*c), "[a]\r\nx=1\r\n\r\n# note\r\n[b]\r\n\r\n");
    // y= stays in memory.
    EXPECT_STREQ(c->GetValue("b", "y"), "");
}

TEST(ConfigSave, LeadingCommentAndRoundTrip) {
    TempDir d;
    const std::string f = d.File("c.ini");
    const std::string text = "# top\r\n[a]\r\nx=1\r\n\r\n[b]\r\ny=2\r\n\r\n";
    WriteFile(f, text);
    auto c = LoadQuiet(f);
    EXPECT_EQ(SaveAndRead(*c), text);
}

TEST(ConfigSave, UnwritableFileReportsFailureAndKeepsEntries) {
    TempDir d;
    const std::string f = d.File("missing-dir/c.ini");
    auto c = LoadQuiet(f);
    c->SetValue("1", "a", "x");
    EXPECT_FALSE(c->Save());
    EXPECT_STREQ(c->GetValue("a", "x"), "1");
}

TEST(ConfigDestroy, DirtyStoreSavesWithAutoSaveLine) {
    TempDir d;
    const std::string f = d.File("c.ini");
    {
        auto c = LoadQuiet(f);
        c->SetValue("v", "s", "k");
        Diagnostics diag;
        c.reset();
        EXPECT_EQ(diag.Err(), "tarvex: AUTO save Config file[" + f + "]\n");
    }
    EXPECT_EQ(ReadFile(f), "[s]\r\nk=v\r\n\r\n");
    {
        auto c = LoadQuiet(f);
        CaptureStdout();
        c.reset(); // clean: nothing printed, nothing written
        EXPECT_EQ(GetCapturedStdout(), "");
    }
}

TEST(ConfigEncoding, Utf8FileIsConvertedToGbkOnLoad) {
    TempDir d;
    const std::string f = d.File("c.ini");
    WriteFile(f, "\xEF\xBB\xBF[本地服务器]\n端口=5060\n地址=10.0.0.1\n");
    auto c = LoadQuiet(f);
    EXPECT_EQ(c->GetInt(ConfigKeys::kLocalServer, ConfigKeys::kPort), 5060);
    EXPECT_STREQ(c->GetValue(ConfigKeys::kLocalServer, ConfigKeys::kAddress), "10.0.0.1");
    c->SetValue("5070", ConfigKeys::kLocalServer, ConfigKeys::kPort);
    EXPECT_EQ(SaveAndRead(*c), std::string("[") + ConfigKeys::kLocalServer + "]\r\n" +
                                   ConfigKeys::kPort + "=5070\r\n" + ConfigKeys::kAddress +
                                   "=10.0.0.1\r\n\r\n");
}

TEST(ConfigEncoding, GbkFileIsKeptAsBytes) {
    TempDir d;
    const std::string f = d.File("c.ini");
    const std::string text = std::string("[") + ConfigKeys::kMediaReceiver + "]\r\n" +
                             ConfigKeys::kDownloadSpeed + "=4\r\n\r\n";
    WriteFile(f, text);
    auto c = LoadQuiet(f);
    EXPECT_EQ(c->GetInt(ConfigKeys::kMediaReceiver, ConfigKeys::kDownloadSpeed, 255), 4);
    EXPECT_EQ(SaveAndRead(*c), text);
}
