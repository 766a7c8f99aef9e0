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

#ifdef _WIN32
#include <windows.h>
#endif

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
        bool unixStyle = kUnixFormByDefault;
    };
    std::vector<Row> rows = {
        {{"a.pfc"}, false, false, "", 1},
        {{"-q", "a.pfc", "b.pfc"}, false, true, "", 2},
        {{"--unix", "-o", "x.mbx", "a.pfc"}, false, false, "x.mbx", 1, true},
        {{"a.pfc", "--unix"}, false, false, "", 1, true},
        {{"--", "--unix"}, false, false, "", 1},
        {{"--windows", "a.pfc"}, false, false, "", 1, false},
        {{"--windows", "--unix", "a.pfc"}, false, false, "", 1, true},
        {{"--unix", "a.pfc", "--windows"}, false, false, "", 1, false},
        {{"-o", "x.mbx", "a.pfc"}, false, false, "x.mbx", 1},
        {{"-o", "-", "a.pfc"}, false, false, "-", 1},
        {{"-ox.mbx", "a.pfc"}, false, false, "x.mbx", 1},
        {{"--", "-weird.pfc"}, false, false, "", 1},
        {{}, true, false, "", 0},
        {{"-o", "x.mbx", "a.pfc", "b.pfc"}, true, false, "x.mbx", 2},
        {{"-o", "dir/", "a.pfc", "b.pfc"}, false, false, "dir/", 2},
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
        PfcBuilder empty(2);  // a PFC file with a folder and nothing in it
        empty.node(1, 0, 0, 0, 2);
        empty.node(2, 0, 0, 0, 0);
        ASSERT_TRUE(empty.writeTo((dir_ / "Leer.pfc").string()));
        PfcBuilder none(3);  // a head that counts no entry: there is no tree at all
        none.node(1, 7, 3, 0, 0);
        none.setEntryCount(0);
        ASSERT_TRUE(none.writeTo((dir_ / "Null.pfc").string()));
        std::ofstream(dir_ / "leer.pfc").close();
        std::ofstream(dir_ / "notiz.pfc") << "Liebe Anna,\nanbei die Liste.\n";
        fs::copy_file(KISTWERK_SAMPLE_PATH, dir_ / "sample.pfc");
        std::ofstream(dir_ / "notiz.mbx") << "die alte Postfachdatei\n";
        PfcBuilder rest(5);  // the chain's third node lies past the end
        rest.node(1, 7, 4, 2, 0);
        rest.node(2, 7, 5, 3, 0);
        rest.setEntry(3, 1 << 30);
        rest.record(4, m.bytes());
        rest.record(5, m.bytes());
        ASSERT_TRUE(rest.writeTo((dir_ / "Rest.pfc").string()));
        MessageBuilder cut;  // its second section ends past the end of the file
        cut.sectionCount(2).field(6, "jdoe").field(10, "Abgeschnitten").endList();
        cut.section().typeRecord(0, 0).content("Erster Teil").endList();
        cut.section().content(std::string(200, 'z')).endList();
        PfcBuilder ende(2);
        ende.node(1, 7, 2, 0, 0);
        ende.record(2, cut.bytes());
        Bytes image = ende.bytes();
        image.resize(image.size() - 100);
        std::ofstream(dir_ / "Ende.pfc", std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                                 static_cast<std::streamsize>(image.size()));
    }
    void TearDown() override { fs::remove_all(dir_); }

    // `out` redirects standard output, "1<>FILE" to open a file for reading and writing.
    Result run(const std::string& args, const std::string& out = "")
    {
        std::string command = std::string(KISTWERK_CLI_PATH) + " " + args + " " +
                              (out.empty() ? ">" + (dir_ / "stdout").string() : out) +
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
    // `summarised`: whether a summary of converted messages may be printed.
    struct Row { std::string args; int status; std::string errorPart; std::string out = ""; bool summarised = true; };
    const std::string original = slurp(path("Post.2009.pfc"));
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
        {"-o /dev/full " + path("Post.2009.pfc"), 1, "Der Datentr\xC3\xA4ger ist voll. Sie ist unvollst\xC3\xA4ndig.", "", false},
        {"-o " + path("Post.2009.pfc") + "/x/ " + path("Post.2009.pfc"), 1,
         "kann nicht angelegt werden: Ein Teil des Pfades ist eine Datei, kein Ordner."},
        {"-o " + path("notiz.mbx") + " " + path("Leer.pfc"), 0,
         "enth\xC3\xA4lt keine Nachrichten. Die vorhandene Datei \xE2\x80\x9E" + path("notiz.mbx") +
             "\xE2\x80\x9C bleibt, wie sie war.", "", false},
        {path("leer.pfc"), 1, "ist leer, also keine PFC-Datei. Es wurde nichts geschrieben."},
        {path("notiz.pfc"), 1, "ist keine PFC-Datei oder gleich am Anfang besch\xC3\xA4" "digt."},
        {path("Leer.pfc"), 0, "enth\xC3\xA4lt keine Nachrichten. Die Postfachdatei"},
        {path("Null.pfc"), 1, "ist keine PFC-Datei"},
        {path("sample.pfc"), 3, "1 besch\xC3\xA4" "digte Nachricht der PFC-Datei"},
        {path("Rest.pfc"), 3, "1 Teil des Ordnerbaums der PFC-Datei"},
        {path("Ende.pfc"), 3, "1 Nachricht der PFC-Datei " + std::string("\xE2\x80\x9E") + path("Ende.pfc") +
                                  "\xE2\x80\x9C bricht am Ende der Datei ab"},
        // Over several files: a failure outweighs losses, losses outweigh success.
        {path("Post.2009.pfc") + " " + path("sample.pfc"), 3, "wurde \xC3\xBC" "bersprungen"},
        {path("sample.pfc") + " " + path("notiz.pfc") + " " + path("Post.2009.pfc"), 1, "keine PFC-Datei"},
        {"-o - " + path("Post.2009.pfc"), 1, "die PFC-Datei selbst", "1<>" + path("Post.2009.pfc")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args + " " + row.out);
        Result r = run(row.args, row.out);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.errorPart), std::string::npos) << r.err;
        if (!row.summarised) {
            EXPECT_EQ(r.out.find(" Nachricht"), std::string::npos) << r.out;
        }
        EXPECT_EQ(slurp(path("Post.2009.pfc")), original);
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

// Every output is known before the first conversion: an output that is another
// input, or that an earlier input writes, leaves its input unconverted.
TEST_F(Cli, ManyInputsArePlannedBeforeAnyIsConverted)
{
    const std::string original = slurp(path("Post.2009.pfc"));
    const std::vector<std::string> inputs = {"a.pfc", "a.mbx", "b.pfc", "b.PFC", "x/P.pfc", "y/P.pfc"};
    for (const std::string& name : inputs) {
        fs::create_directories(fs::path(path(name)).parent_path());
        fs::copy_file(path("Post.2009.pfc"), path(name));
    }
    // `link`: a link made in "out" first, to the mailbox file of x/P.pfc, which
    // exists only once that is converted.
    struct Row { std::vector<std::string> args; int status; std::string errorPart; std::vector<std::string> written;
                 const char* link = nullptr; };
    const std::vector<Row> rows = {
        {{"a.pfc", "a.mbx"}, 1, "\xE2\x80\x9E" + path("a.pfc") + "\xE2\x80\x9C wird nicht umgewandelt", {}},
        {{"b.pfc", "b.PFC"}, 1, "entsteht schon aus \xE2\x80\x9E" + path("b.pfc"), {"b.mbx"}},
        {{"-o", "out/", "a.pfc", "b.pfc"}, 0, "", {"out/a.mbx", "out/b.mbx"}},
        {{"-o", "out", "x/P.pfc", "y/P.pfc"}, 1, "entsteht schon aus \xE2\x80\x9E" + path("x/P.pfc"), {"out/P.mbx"}},
        {{"-o", "out", "x/P.pfc", "b.pfc"}, 1, "entsteht schon aus \xE2\x80\x9E" + path("x/P.pfc"), {"out/P.mbx"},
         "out/b.mbx"},
    };
    for (const Row& row : rows) {
        std::string args;
        for (const std::string& a : row.args)
            args += (a[0] == '-' ? a : path(a)) + " ";
        SCOPED_TRACE(args);
        fs::remove_all(path("out"));
        fs::remove(path("b.mbx"));
        if (row.args[1] == "out")  // an existing folder needs no "/"
            fs::create_directory(path("out"));
        if (row.link != nullptr)
            fs::create_symlink("P.mbx", path(row.link));
        Result r = run(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.errorPart), std::string::npos) << r.err;
        for (const std::string& name : row.written)
            EXPECT_TRUE(fs::exists(path(name))) << name;
        for (const std::string& name : inputs)
            EXPECT_EQ(slurp(path(name)), original) << name;
    }
    EXPECT_FALSE(fs::exists(path("a.mbx.mbx")));
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

#ifdef _WIN32
namespace {

// Runs kistwerk-cli.exe in `folder` with both output streams into one file, or
// standard output onto `stdoutFile` opened for reading and writing; returns
// the exit status and what it wrote.
std::pair<DWORD, std::string> runCliIn(const std::wstring& folder, const std::wstring& args,
                                       const std::wstring& stdoutFile)
{
    std::wstring cli = fs::path(KISTWERK_CLI_PATH).wstring();
    if (!cli.empty() && cli[0] == L'/')
        cli = L"Z:" + cli;  // Wine shows the Unix root as drive Z:
    const std::wstring log = folder + L"\\..\\cli-output.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    HANDLE toFile = stdoutFile.empty() ? INVALID_HANDLE_VALUE
                                       : CreateFileW((folder + L"\\" + stdoutFile).c_str(), GENERIC_READ | GENERIC_WRITE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    start.hStdOutput = stdoutFile.empty() ? out : toFile;
    start.hStdError = out;
    std::wstring command = L"\"" + cli + L"\" " + args;
    PROCESS_INFORMATION process{};
    DWORD status = 999;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &start, &process)) {
        WaitForSingleObject(process.hProcess, 60000);
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    if (toFile != INVALID_HANDLE_VALUE)
        CloseHandle(toFile);
    std::ifstream in(fs::path(log), std::ios::binary);
    return {status, std::string(std::istreambuf_iterator<char>(in), {})};
}

} // namespace

// Names outside the ANSI code page, wildcards the program expands itself, and
// a PFC file named like its own mailbox file in any spelling.
TEST(CliWindows, NamesWildcardsAndTheInputKept)
{
    MessageBuilder m;
    m.sectionCount(1).field(5, "01.02.2003 10:20:30").field(6, "jdoe").field(10, "Betreff").endList();
    m.section().typeRecord(0, 0).content("Hallo").endList();
    PfcBuilder b(3);
    b.node(1, 7, 3, 2, 0);
    b.node(2, 7, 3, 0, 0);
    b.record(3, m.bytes());
    const std::string image(b.bytes().begin(), b.bytes().end());
    const fs::path root = fs::temp_directory_path() / L"kistwerk-cli-names";
    fs::remove_all(root);
    fs::create_directories(root / L"names");
    fs::create_directories(root / L"same");
    // The 8.3 name the mailbox file of "Postarchiv 2009.pfc" will have, as the
    // name of a second PFC file whose mailbox file is first planned apart.
    fs::create_directories(root / L"alias");
    std::ofstream(root / L"alias" / L"Postarchiv 2009.mbx").close();
    wchar_t shortName[MAX_PATH] = L"";
    GetShortPathNameW((root / L"alias" / L"Postarchiv 2009.mbx").c_str(), shortName, MAX_PATH);
    fs::remove(root / L"alias" / L"Postarchiv 2009.mbx");
    const std::wstring alias = fs::path(shortName).stem().wstring() + L".pfc";
    for (const fs::path& file : {root / L"names" / L"Gr\u00FC\u00DFe.pfc", root / L"names" / L"Post\u20AC.pfc",
                                 root / L"same" / L"Post\u20AC.mbx", root / L"alias" / L"Postarchiv 2009.pfc",
                                 root / L"alias" / alias})
        std::ofstream(file, std::ios::binary) << image;
    const std::string gruesse = "Gr\xC3\xBC\xC3\x9F" "e";  // UTF-8, as printed
    const std::string post = "Post\xE2\x82\xAC";
    struct Row { const wchar_t* folder; std::wstring args; DWORD status; std::string printed; std::wstring out = L""; };
    const std::vector<Row> rows = {
        {L"names", L"*.pfc", 0, post + ".pfc \xE2\x86\x92 " + post + ".mbx"},
        {L"names", L"Gr\u00FC\u00DFe.pfc", 0, gruesse + ".pfc \xE2\x86\x92 " + gruesse + ".mbx"},
        {L"names", L"-q *.xyz", 1, "Zu \xE2\x80\x9E*.xyz\xE2\x80\x9C passt keine Datei."},
        {L"names", L"\"Post<1>.pfc\"", 1, "Windows l\xC3\xA4sst diesen Namen nicht zu. Pr\xC3\xBC" "fen Sie"},
        {L"names", L"NUL.pfc", 1, "keine gew\xC3\xB6hnliche Datei"},
        {L"alias", L"\"Postarchiv 2009.pfc\" \"" + alias + L"\"", 1,
         "entsteht schon aus \xE2\x80\x9EPostarchiv 2009.pfc"},
        {L"same", L"\"Post\u20AC.mbx\"", 1, "PFC-Datei selbst"},
        {L"same", L"-o POST\u20AC.MBX *.mbx", 1, "PFC-Datei selbst"},
        {L"same", L"-o - Post\u20AC.mbx", 1, "PFC-Datei selbst", L"Post\u20AC.mbx"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(fs::path(row.args).string());
        auto [status, printed] = runCliIn((root / row.folder).wstring(), row.args, row.out);
        EXPECT_EQ(status, row.status) << printed;
        EXPECT_NE(printed.find(row.printed), std::string::npos) << printed;
    }
    EXPECT_TRUE(fs::exists(root / L"names" / L"Gr\u00FC\u00DFe.mbx"));
    EXPECT_TRUE(fs::exists(root / L"names" / L"Post\u20AC.mbx"));
    {
        std::ifstream kept(root / L"same" / L"Post\u20AC.mbx", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), image) << "the PFC file was changed";
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
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
