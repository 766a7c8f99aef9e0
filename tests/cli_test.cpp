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
        PfcBuilder b(3);
        b.node(1, 9, 3, 2, 0);
        b.node(2, 9, 3, 0, 0);
        ASSERT_TRUE(b.writeTo((dir_ / "Post.2009.pfc").string()));
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
    EXPECT_NE(r.out.find("Post.2009.mbx"), std::string::npos);
    EXPECT_NE(r.out.find("2 Bl\xC3\xA4tter gez\xC3\xA4hlt"), std::string::npos) << r.out;
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
    struct Row { std::string args; int status; const char* errorPart; };
    std::vector<Row> rows = {
        {"--help", 0, ""},
        {"--version", 0, ""},
        {"", 2, "Keine PFC-Datei"},
        {"--bogus " + path("Post.2009.pfc"), 2, "Unbekannte Option"},
        {"-o x.mbx " + path("Post.2009.pfc") + " " + path("Post.2009.pfc"), 2, "nur mit einer"},
        {path("missing.pfc") + " " + path("Post.2009.pfc"), 1, "kann nicht gelesen werden"},
        {"-o " + path("no/such/dir/x.mbx") + " " + path("Post.2009.pfc"), 1, "kann nicht angelegt werden"},
        {"-o " + path("Post.2009.pfc") + " " + path("Post.2009.pfc"), 1, "die PFC-Datei selbst"},
        {"-o /dev/full " + path("Post.2009.pfc"), 0, ""},  // nothing to write: nothing fails
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args);
        Result r = run(row.args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.errorPart), std::string::npos) << r.err;
    }
    // The readable file after the unreadable one was still converted.
    EXPECT_TRUE(fs::exists(path("Post.2009.mbx")));
}

TEST_F(Cli, StandardOutput)
{
    Result r = run("-o - " + path("Post.2009.pfc"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");  // the mailbox file is empty; the summary went to standard error
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
