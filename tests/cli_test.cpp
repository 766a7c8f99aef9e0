// kistwerk-cli: options, output placement, exit status and messages.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "cli/options.h"
#include "cli/terminal_frontend.h"
#include "pfc/naming.h"
#include "pfc/run.h"
#include "testkit/pfc_builder.h"
#include "ui/texts.h"

using namespace kistwerk;
using namespace kistwerk::fixture;
namespace fs = std::filesystem;

TEST(CliOptions, Parsing)
{
    struct Row {
        std::vector<std::string> args;
        bool error;
        bool quiet;
        std::string output;
        std::size_t inputs;
        bool unixStyle = false;
    };
    std::vector<Row> rows = {
        {{"a.pfc"}, false, false, "", 1},
        {{"-q", "a.pfc", "b.pfc"}, false, true, "", 2},
        {{"--unix", "-o", "x.mbx", "a.pfc"}, false, false, "x.mbx", 1, true},
        {{"a.pfc", "--unix"}, false, false, "", 1, true},
        {{"--", "--unix"}, false, false, "", 1, false},
        {{"-o", "x.mbx", "a.pfc"}, false, false, "x.mbx", 1},
        {{"-o", "-", "a.pfc"}, false, false, "-", 1},
        {{"-ox.mbx", "a.pfc"}, false, false, "x.mbx", 1},
        {{"--", "-weird.pfc"}, false, false, "", 1},
        {{}, true, false, "", 0},
        {{"-o", "x.mbx", "a.pfc", "b.pfc"}, true, false, "x.mbx", 2},
        {{"a.pfc", "-o"}, true, false, "", 1},
        {{"-x", "a.pfc"}, true, false, "", 0},
    };
    for (const Row& row : rows) {
        std::string trace;
        for (const auto& a : row.args)
            trace += a + " ";
        SCOPED_TRACE(trace);
        CliOptions o = parseOptions(row.args);
        EXPECT_EQ(!o.error.empty(), row.error);
        if (row.error)
            continue;
        EXPECT_EQ(o.quiet, row.quiet);
        EXPECT_EQ(o.output, row.output);
        EXPECT_EQ(o.inputs.size(), row.inputs);
        EXPECT_EQ(o.unixStyle, row.unixStyle);
    }
}

TEST(CliTexts, GermanNumbersInTheSummary)
{
    const std::pair<std::uint64_t, const char*> numbers[] = {
        {0, "0"}, {999, "999"}, {1000, "1.000"}, {4567, "4.567"}, {1234567, "1.234.567"}};
    for (const auto& [value, shown] : numbers)
        EXPECT_EQ(texts::wholeNumber(value), shown);
    EXPECT_EQ(texts::decimal(0.294, 2), "0,29");
    EXPECT_EQ(texts::decimal(1234.5, 2), "1.234,50");
    EXPECT_EQ(texts::summary("Post.pfc", "Post.mbx", 4567, 11, 0.29),
              "Post.pfc \xE2\x86\x92 Post.mbx: 4.567 Nachrichten, 11 besch\xC3\xA4" "digte \xC3\xBC" "bersprungen, "
              "0,29 s");
    EXPECT_EQ(texts::summary("a.pfc", "a.mbx", 1, 0, 0), "a.pfc \xE2\x86\x92 a.mbx: 1 Nachricht, 0,00 s");
}

TEST(CliOptions, OutputGoesBesideTheInput)
{
    EXPECT_EQ(defaultOutputPath("Post.2009.pfc"), "Post.2009.mbx");
    EXPECT_EQ(defaultOutputPath("/data/aol/Post"), "/data/aol/Post.mbx");
    EXPECT_EQ(defaultOutputPath("C:\\AOL\\Post.pfc"), "C:\\AOL\\Post.mbx");
    EXPECT_EQ(defaultOutputPath("C:Post.pfc"), "C:Post.mbx");
}

#ifndef _WIN32
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("kistwerk-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        MessageBuilder m;
        m.sectionCount(1).field(5, "01.02.2003 10:20:30").field(6, "jdoe").field(10, "Betreff").endList();
        m.section().typeRecord(0, 0).content("Hallo").endList();
        PfcBuilder b(3);
        b.node(1, 7, 3, 2, 0);
        b.node(2, 7, 3, 0, 0);
        b.record(3, m.bytes());
        ASSERT_TRUE(b.writeTo((dir_ / "Post.2009.pfc").string()));
        PfcBuilder none(3);  // a PFC file whose head counts no entry
        none.node(1, 7, 3, 0, 0);
        none.setEntryCount(0);
        ASSERT_TRUE(none.writeTo((dir_ / "Leer.pfc").string()));
        std::ofstream(dir_ / "leer.pfc").close();
        std::ofstream(dir_ / "notiz.pfc") << "Liebe Anna,\nanbei die Liste.\n";
        fs::copy_file(KISTWERK_SAMPLE_PATH, dir_ / "sample.pfc");
        std::ofstream(dir_ / "notiz.mbx") << "die alte Postfachdatei\n";
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result run(const std::string& args)
    {
        std::string command = std::string(KISTWERK_CLI_PATH) + " " + args + " >" + (dir_ / "stdout").string() +
                              " 2>" + (dir_ / "stderr").string() + " </dev/null";
        int raw = std::system(command.c_str());
        Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir_ / "stdout"), slurp(dir_ / "stderr")};
        return r;
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

} // namespace

TEST_F(Cli, ConvertsBesideTheInputAndSummarises)
{
    Result r = run(path("Post.2009.pfc"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(path("Post.2009.mbx")));
    EXPECT_NE(r.out.find("Post.2009.pfc \xE2\x86\x92 " + path("Post.2009.mbx") + ": 2 Nachrichten, "),
              std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");  // standard error is no terminal here: no progress bar
}

TEST_F(Cli, QuietSaysNothing)
{
    Result r = run("-q " + path("Post.2009.pfc"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(Cli, ExitStatus)
{
    struct Row { std::string args; int status; std::string errorPart; };
    std::vector<Row> rows = {
        {"--help", 0, ""},
        {"--version", 0, ""},
        {"", 2, "Keine PFC-Datei"},
        {"--bogus " + path("Post.2009.pfc"), 2, "Unbekannte Option"},
        {"-o x.mbx " + path("Post.2009.pfc") + " " + path("Post.2009.pfc"), 2, "nur mit einer"},
        {"-", 2, "Standardeingabe"},
        {path("missing.pfc") + " " + path("Post.2009.pfc"), 1, "nicht gefunden. Pr\xC3\xBC" "fen Sie Namen"},
        {dir_.string(), 1, "Das ist ein Ordner, keine Datei. Geben Sie die PFC-Dateien darin an, etwa " +
                               dir_.string() + "/*.pfc."},
        {"-o " + path("no/such/dir/x.mbx") + " " + path("Post.2009.pfc"), 1,
         "Den Ordner gibt es nicht. W\xC3\xA4hlen Sie mit -o einen anderen Ort."},
        {"-o " + path("Post.2009.pfc") + " " + path("Post.2009.pfc"), 1, "die PFC-Datei selbst"},
        {"-o /dev/full " + path("Post.2009.pfc"), 1, "Der Datentr\xC3\xA4ger ist voll. Sie ist unvollst\xC3\xA4ndig."},
        {path("leer.pfc"), 1, "ist leer, also keine PFC-Datei. Es wurde nichts geschrieben."},
        {path("notiz.pfc"), 1, "ist keine PFC-Datei oder gleich am Anfang besch\xC3\xA4" "digt."},
        {path("Leer.pfc"), 0, "enth\xC3\xA4lt keine Nachrichten. Die Postfachdatei"},
        {path("sample.pfc"), 3, "1 besch\xC3\xA4" "digte Nachricht der PFC-Datei"},
        // Over several files: a failure outweighs losses, losses outweigh success.
        {path("Post.2009.pfc") + " " + path("sample.pfc"), 3, "wurde \xC3\xBC" "bersprungen"},
        {path("sample.pfc") + " " + path("notiz.pfc") + " " + path("Post.2009.pfc"), 1, "keine PFC-Datei"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args);
        Result r = run(row.args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.errorPart), std::string::npos) << r.err;
    }
    // The readable file after the unreadable one was still converted; no wrong
    // file made a mailbox file, or replaced one.
    EXPECT_TRUE(fs::exists(path("Post.2009.mbx")));
    EXPECT_FALSE(fs::exists(path("leer.mbx")));
    EXPECT_EQ(slurp(path("notiz.mbx")), "die alte Postfachdatei\n");
}

TEST_F(Cli, SkippedMessagesAreCountedInTheSummary)
{
    Result r = run(path("sample.pfc"));
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find(": 4 Nachrichten, 1 besch\xC3\xA4" "digte \xC3\xBC" "bersprungen, "), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" s\n"), std::string::npos) << r.out;
}

TEST_F(Cli, StandardOutput)
{
    Result r = run("-o - " + path("Post.2009.pfc"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("From - ", 0), 0u);  // the mailbox alone; the summary went to standard error
    EXPECT_NE(r.err.find("Standardausgabe"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("Post.2009.mbx")));
}
#endif

#ifndef _WIN32
// Ctrl-C is the command line's Escape: the next progress step asks the run to stop.
TEST(CliInterrupt, CtrlCStopsTheRunAtTheNextStep)
{
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    TerminalFrontEnd frontEnd(sink, false);
    ConversionRun run;
    run.percent = 10;
    EXPECT_FALSE(frontEnd.progressStep(run));
    TerminalFrontEnd::installInterruptHandler();
    std::raise(SIGINT);
    EXPECT_TRUE(TerminalFrontEnd::interrupted());
    run.percent = 20;
    EXPECT_TRUE(frontEnd.progressStep(run));
    EXPECT_EQ(run.lastDrawnPercent, 10);  // nothing drawn for the stopping step
    std::signal(SIGINT, SIG_DFL);
    std::fclose(sink);
}
#endif
