// Drives Kistwerk.exe through real window messages: starts it, reads its windows
// back, works its menu, file dialog and About box, watches the progress dialog
// on the screen, and checks what lands on disk. Runs under Windows or Wine.
#define NOMINMAX
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "app/chosen_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Build paths arrive as Unix paths; Wine shows the Unix root as drive Z:.
std::string windowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

const std::string kApp = windowsPath(KISTWERK_APP_PATH);
const std::string kCli = windowsPath(KISTWERK_CLI_PATH);
const std::string kPfcgen = windowsPath(KISTWERK_PFCGEN_PATH);
const std::string kSample = windowsPath(KISTWERK_SAMPLE_PATH);
const std::string kArtifacts = windowsPath(KISTWERK_ARTIFACTS_DIR);

constexpr const char* kFileDialogTitle = "AOL-Datei ausw\xE4hlen";
constexpr COLORREF kGreen = RGB(127, 255, 127);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);

bool waitUntil(const std::function<bool()>& condition, int milliseconds)
{
    for (int waited = 0; waited < milliseconds; waited += 50) {
        if (condition())
            return true;
        Sleep(50);
    }
    return condition();
}

std::string windowText(HWND window)
{
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string className(HWND window)
{
    char name[128] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct WindowSearch {
    DWORD processId;
    const std::string* windowClass;
    const std::string* title;
    HWND found;
};

BOOL CALLBACK matchTopLevel(HWND window, LPARAM data)
{
    auto* s = reinterpret_cast<WindowSearch*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != s->processId || !IsWindowVisible(window))
        return TRUE;
    if (className(window) != *s->windowClass || windowText(window) != *s->title)
        return TRUE;
    s->found = window;
    return FALSE;
}

// A visible top-level window of the process with the given class and title.
HWND findTopLevel(DWORD processId, const std::string& windowClass, const std::string& title)
{
    WindowSearch search{processId, &windowClass, &title, nullptr};
    EnumWindows(matchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK describeChild(HWND child, LPARAM data)
{
    char line[400];
    std::snprintf(line, sizeof line, "%p parent %p id %d class %s text %s\n", static_cast<void*>(child),
                  static_cast<void*>(GetParent(child)), GetDlgCtrlID(child), className(child).c_str(),
                  windowText(child).c_str());
    *reinterpret_cast<std::string*>(data) += line;
    return TRUE;
}

std::string describeChildren(HWND window)
{
    std::string all;
    EnumChildWindows(window, describeChild, reinterpret_cast<LPARAM>(&all));
    return all;
}

BOOL CALLBACK collectText(HWND child, LPARAM data)
{
    *reinterpret_cast<std::string*>(data) += windowText(child) + "\n";
    return TRUE;
}

// The texts of all child windows, for reading a message box.
std::string childTexts(HWND window)
{
    std::string all;
    EnumChildWindows(window, collectText, reinterpret_cast<LPARAM>(&all));
    return all;
}

// The tests' paths are UTF-8; the file system takes them as UTF-16, so that
// names outside the ANSI code page reach it whole.
std::wstring wide(const std::string& text)
{
    std::wstring w(text.size(), L'\0');
    w.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), w.data(),
                                 static_cast<int>(w.size())));
    return w;
}

bool fileExists(const std::string& path)
{
    return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<char> readFile(const std::string& path)
{
    std::ifstream in(std::filesystem::path(wide(path)), std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool copyFile(const std::string& from, const std::string& to)
{
    return CopyFileW(wide(from).c_str(), wide(to).c_str(), FALSE) != 0;
}

// Runs a console program to its end, in `folder` when one is named; its exit
// code, or -1.
int runProgram(const std::string& commandLine, const std::string& folder = "")
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring line = wide(commandLine);
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : wide(folder).c_str(), &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = static_cast<DWORD>(-1);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

void removeTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

// A fresh, empty folder for one test below the artefacts.
std::string freshFolder(const std::string& name)
{
    std::string base = kArtifacts + "\\gui";
    CreateDirectoryA(kArtifacts.c_str(), nullptr);
    CreateDirectoryA(base.c_str(), nullptr);
    std::string folder = base + "\\" + name;
    removeTree(wide(folder));
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

std::vector<std::string> filesIn(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = entry.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return names;
}

// Pixels of a screen rectangle, taken at one moment.
class ScreenShot {
public:
    explicit ScreenShot(RECT area)
        : width_(area.right - area.left), height_(area.bottom - area.top),
          pixels_(static_cast<std::size_t>(width_) * height_)
    {
        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width_;
        info.bmiHeader.biHeight = -height_;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width_, height_, screen, area.left, area.top, SRCCOPY);
        GdiFlush();
        const auto* source = static_cast<const std::uint32_t*>(bits);
        for (std::size_t i = 0; i < pixels_.size(); ++i)
            pixels_[i] = source[i] & 0xFFFFFF;
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }

    int width() const { return width_; }
    int height() const { return height_; }

    COLORREF at(int x, int y) const
    {
        std::uint32_t v = pixels_[static_cast<std::size_t>(y) * width_ + x];  // 0x00RRGGBB
        return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }

    // Saved as a 24-bit BMP under the artefacts; the test script makes PNGs of them.
    void save(const std::string& name) const
    {
        std::string folder = kArtifacts + "\\screenshots";
        CreateDirectoryA(kArtifacts.c_str(), nullptr);
        CreateDirectoryA(folder.c_str(), nullptr);
        const int rowBytes = (width_ * 3 + 3) & ~3;
        std::vector<unsigned char> image(static_cast<std::size_t>(rowBytes) * height_);
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) {
                std::uint32_t v = pixels_[static_cast<std::size_t>(height_ - 1 - y) * width_ + x];
                unsigned char* p = &image[static_cast<std::size_t>(y) * rowBytes + x * 3];
                p[0] = v & 0xFF;
                p[1] = (v >> 8) & 0xFF;
                p[2] = (v >> 16) & 0xFF;
            }
        BITMAPFILEHEADER file = {};
        BITMAPINFOHEADER header = {};
        header.biSize = sizeof header;
        header.biWidth = width_;
        header.biHeight = height_;
        header.biPlanes = 1;
        header.biBitCount = 24;
        header.biSizeImage = static_cast<DWORD>(image.size());
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof file + sizeof header;
        file.bfSize = file.bfOffBits + header.biSizeImage;
        std::ofstream out(folder + "\\" + name + ".bmp", std::ios::binary);
        out.write(reinterpret_cast<const char*>(&file), sizeof file);
        out.write(reinterpret_cast<const char*>(&header), sizeof header);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }

private:
    int width_;
    int height_;
    std::vector<std::uint32_t> pixels_;
};

RECT screenRect(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    return r;
}

// Everything the program shows: the union of the given windows' rectangles.
RECT around(std::initializer_list<HWND> windows)
{
    RECT all = {};
    for (HWND w : windows) {
        RECT r = screenRect(w);
        UnionRect(&all, &all, &r);
    }
    return all;
}

// One running Kistwerk.exe, ended at the latest when the test ends.
class Program {
public:
    explicit Program(const std::string& startFolder)
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        std::wstring line = wide("\"" + kApp + "\"");
        started_ = CreateProcessW(wide(kApp).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  wide(startFolder).c_str(), &startup, &process_) != 0;
        if (!started_)
            return;
        WaitForInputIdle(process_.hProcess, 20000);
        waitUntil([this] { return (main = findTopLevel(process_.dwProcessId, "KistwerkClass", "Kistwerk")) != nullptr; },
                  20000);
    }

    ~Program()
    {
        if (started_) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_.hProcess, 99);
                WaitForSingleObject(process_.hProcess, 5000);
            }
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
    }

    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    void command(int id) { PostMessageA(main, WM_COMMAND, id, 0); }

    HWND waitForDialog(const std::string& title, int milliseconds = 20000)
    {
        HWND found = nullptr;
        waitUntil([&] { return (found = findTopLevel(process_.dwProcessId, "#32770", title)) != nullptr; },
                  milliseconds);
        return found;
    }

    // Waits until the main thread takes sent messages again. The progress step's
    // key poll takes them too, so during a run this returns once the progress
    // dialog is up.
    bool waitIdle(int milliseconds = 120000)
    {
        DWORD_PTR result = 0;
        return SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_NORMAL, milliseconds, &result) != 0;
    }

    HWND progressDialog()
    {
        HWND dialog = findTopLevel(process_.dwProcessId, "#32770", "Kistwerk");
        return dialog != nullptr && GetDlgItem(dialog, 1080) != nullptr ? dialog : nullptr;
    }

    // Waits until a run that the file dialog started has ended.
    bool waitForRunEnd(int milliseconds = 120000)
    {
        return waitIdle(milliseconds) && waitUntil([this] { return progressDialog() == nullptr; }, milliseconds) &&
               waitIdle(milliseconds);
    }

    // The exit code, or STILL_ACTIVE when the program has not ended in time.
    DWORD exitCode(int milliseconds = 20000)
    {
        WaitForSingleObject(process_.hProcess, milliseconds);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

    void suspend() { SuspendThread(process_.hThread); }
    void resume() { ResumeThread(process_.hThread); }
    DWORD id() const { return process_.dwProcessId; }

    HWND main = nullptr;

private:
    bool started_ = false;
    PROCESS_INFORMATION process_ = {};
};

BOOL CALLBACK findEdit(HWND child, LPARAM data)
{
    if (className(child) != "Edit")
        return TRUE;
    *reinterpret_cast<HWND*>(data) = child;
    return FALSE;
}

// Types `path` into the file dialog's name field as UTF-16, keeps a screenshot
// of the dialog showing its end when `shot` names one, and presses "Open".
void chooseInDialog(HWND dialog, const std::string& path, const char* shot = nullptr)
{
    // The name field is the dialog's one edit control, however deep it sits.
    HWND name = nullptr;
    EnumChildWindows(dialog, findEdit, reinterpret_cast<LPARAM>(&name));
    ASSERT_NE(name, nullptr) << "no file name field in the file dialog:\n" << describeChildren(dialog);
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide(path).c_str()));
    if (shot != nullptr) {
        SendMessageW(name, EM_SETSEL, path.size(), path.size());
        SendMessageW(name, EM_SCROLLCARET, 0, 0);
        Sleep(300);
        ScreenShot(screenRect(dialog)).save(shot);
    }
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
}

// Runs the convert command on `path` and waits for the run to end.
void convertThroughDialog(Program& program, const std::string& path, const char* shot = nullptr)
{
    program.command(2078);
    HWND dialog = program.waitForDialog(kFileDialogTitle);
    ASSERT_NE(dialog, nullptr) << "the file dialog did not appear";
    chooseInDialog(dialog, path, shot);
    ASSERT_TRUE(waitUntil([&] { return !IsWindow(dialog); }, 20000)) << "the file dialog stayed open";
    ASSERT_TRUE(program.waitForRunEnd());
}

// Waits for the program's box that says `part`, keeps a screenshot of it when
// `shot` names one, and closes it with OK.
void acknowledgeBox(Program& program, const std::string& part, const char* shot = nullptr)
{
    HWND box = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        box = program.waitForDialog("Kistwerk", 0);
        return box != nullptr && childTexts(box).find(part) != std::string::npos;
    }, 20000)) << "no box saying \"" << part << "\"";
    EXPECT_EQ(GetWindow(box, GW_OWNER), program.main);
    if (shot != nullptr) {
        Sleep(300);
        ScreenShot(around({program.main, box})).save(shot);
    }
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(waitUntil([&] { return !IsWindow(box); }, 5000)) << "the box stayed open";
    ASSERT_TRUE(program.waitIdle());
}

// The bundled sample holds one damaged message, which every run of it skips and reports.
constexpr const char* kSampleSkipped = "1 besch\xE4" "digte Nachricht der PFC-Datei";

void pressKey(HWND window, WPARAM key)
{
    PostMessageA(window, WM_KEYDOWN, key, 1);
    PostMessageA(window, WM_KEYUP, key, 0xC0000001);
}

std::string cliMailbox(const std::string& pfc, const std::string& mbx)
{
    EXPECT_EQ(runProgram("\"" + kCli + "\" -q -o \"" + mbx + "\" \"" + pfc + "\""), 3);  // one skipped
    return mbx;
}

TEST(MainWindow, StartsWithClassTitleStyleSizeAndMenu)
{
    std::string folder = freshFolder("startup");
    Program program(folder);
    ASSERT_NE(program.main, nullptr) << "no window \"Kistwerk\" of class \"KistwerkClass\"";

    EXPECT_EQ(GetWindowLongA(program.main, GWL_STYLE) & 0x00FF0000, 0x00CC0000);
    RECT r = screenRect(program.main);
    EXPECT_EQ(r.right - r.left, 312);
    EXPECT_EQ(r.bottom - r.top, 313);
    EXPECT_NE(GetMenu(program.main), nullptr) << "the window has no menu bar";
    Sleep(500);
    ScreenShot(r).save("main-window");

    // The live menu belongs to the other process, and Wine lets no process read
    // another's menu: read the program's own menu resource with the same functions.
    HMODULE image = LoadLibraryExA(kApp.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    HMENU menu = LoadMenuA(image, "GenericMenu");
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), 2);

    struct Entry {
        int menu, position;
        const char* text;
        UINT id;
        UINT type;
    };
    const Entry entries[] = {
        {0, 0, "PFC-Datei &konvertieren...", 2078, MFT_STRING},
        {0, 1, "", 0, MFT_SEPARATOR},
        {0, 2, "Programm &beenden", 101, MFT_STRING},
        {1, 0, "\xDC" "ber &Kistwerk", 100, MFT_STRING},
    };
    char text[128];
    GetMenuStringA(menu, 0, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "&Datei");
    GetMenuStringA(menu, 1, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "&Hilfe");
    MENUITEMINFOA help = {};
    help.cbSize = sizeof help;
    help.fMask = MIIM_FTYPE;
    GetMenuItemInfoA(menu, 1, TRUE, &help);
    EXPECT_TRUE(help.fType & MFT_RIGHTJUSTIFY) << "\"&Hilfe\" is not right-aligned";
    EXPECT_EQ(GetMenuItemCount(GetSubMenu(menu, 0)), 3);
    EXPECT_EQ(GetMenuItemCount(GetSubMenu(menu, 1)), 1);
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.text);
        HMENU sub = GetSubMenu(menu, e.menu);
        MENUITEMINFOA item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_ID;
        ASSERT_TRUE(GetMenuItemInfoA(sub, e.position, TRUE, &item));
        EXPECT_EQ(item.fType & MFT_SEPARATOR, e.type & MFT_SEPARATOR);
        if (e.type == MFT_STRING) {
            EXPECT_EQ(item.wID, e.id);
            GetMenuStringA(sub, e.position, text, sizeof text, MF_BYPOSITION);
            EXPECT_STREQ(text, e.text);
        }
    }
    DestroyMenu(menu);
    FreeLibrary(image);

    // The live menu bar answers its mnemonics: Alt, D, K opens the file dialog.
    PostMessageA(program.main, WM_SYSKEYDOWN, 'D', 0x20000001);
    PostMessageA(program.main, WM_SYSKEYUP, 'D', 0xE0000001);
    Sleep(500);
    pressKey(GetForegroundWindow() ? GetForegroundWindow() : program.main, 'K');
    HWND dialog = program.waitForDialog(kFileDialogTitle, 10000);
    EXPECT_NE(dialog, nullptr) << "Alt+D, K did not open the file dialog";
    if (dialog)
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
}

TEST(AboutBox, ShowsVersionAndClosesOnlyOnOkOrEnter)
{
    std::string folder = freshFolder("about");
    Program program(folder);
    ASSERT_NE(program.main, nullptr);

    struct Row {
        const char* name;
        bool useEnter;
    };
    for (Row row : {Row{"OK button", false}, Row{"Enter key", true}}) {
        SCOPED_TRACE(row.name);
        program.command(100);
        HWND box = program.waitForDialog("Kistwerk");
        ASSERT_NE(box, nullptr) << "no About box";
        char text[256] = {};
        GetDlgItemTextA(box, 2118, text, sizeof text);
        EXPECT_EQ(std::string(text).rfind("Version 1.11", 0), 0u) << text;
        EXPECT_EQ(GetWindowLongA(box, GWL_STYLE) & WS_SYSMENU, 0) << "the About box has a system menu";
        Sleep(300);
        ScreenShot(around({program.main, box})).save("about-box");

        // Escape sends IDCANCEL, which the box ignores.
        pressKey(box, VK_ESCAPE);
        PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
        Sleep(500);
        EXPECT_TRUE(IsWindow(box) && IsWindowVisible(box)) << "Escape closed the About box";

        if (row.useEnter)
            pressKey(box, VK_RETURN);
        else
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
        EXPECT_TRUE(waitUntil([&] { return !IsWindow(box); }, 5000)) << "the About box stayed open";
    }
}

TEST(ConvertCommand, WritesBesideThePfcFileWhatTheCommandLineWrites)
{
    std::string start = freshFolder("convert-start");
    std::string data = freshFolder("convert-data");
    ASSERT_TRUE(copyFile(kSample, data + "\\Post.2009.pfc"));
    ASSERT_TRUE(copyFile(kSample, start + "\\Hier.pfc"));
    std::string expected = cliMailbox(kSample, freshFolder("convert-cli") + "\\sample.mbx");

    Program program(start);
    ASSERT_NE(program.main, nullptr);

    // Chosen in another folder by full path: the mailbox file lands beside it.
    convertThroughDialog(program, data + "\\Post.2009.pfc");
    acknowledgeBox(program, kSampleSkipped, "message-skipped");
    EXPECT_TRUE(fileExists(data + "\\Post.2009.mbx"));
    EXPECT_EQ(readFile(data + "\\Post.2009.mbx"), readFile(expected));
    EXPECT_FALSE(fileExists(start + "\\Post.2009.mbx")) << "the mailbox file went to the start folder";

    // The dialog opened in the start folder: a bare name is found there.
    Program second(start);
    ASSERT_NE(second.main, nullptr);
    convertThroughDialog(second, "Hier.pfc");
    acknowledgeBox(second, kSampleSkipped);
    EXPECT_TRUE(fileExists(start + "\\Hier.mbx")) << "the file dialog did not start in the start folder";
    EXPECT_EQ(readFile(start + "\\Hier.mbx"), readFile(expected));

    // A second run in the same program replaces the file it wrote before.
    convertThroughDialog(program, data + "\\Post.2009.pfc");
    acknowledgeBox(program, kSampleSkipped);
    EXPECT_EQ(readFile(data + "\\Post.2009.mbx"), readFile(expected));

    program.command(101);
    EXPECT_EQ(program.exitCode(), 0u);
}

TEST(ConvertCommand, CancellingTheDialogCreatesNothing)
{
    std::string start = freshFolder("cancel-start");
    ASSERT_TRUE(copyFile(kSample, start + "\\Post.pfc"));
    ASSERT_TRUE(copyFile(kSample, start + "\\Notiz.txt"));
    Program program(start);
    ASSERT_NE(program.main, nullptr);

    program.command(2078);
    HWND dialog = program.waitForDialog(kFileDialogTitle);
    ASSERT_NE(dialog, nullptr);
    Sleep(500);
    // Only "*.pfc" under "AOL-Datei", and no read-only check box.
    HWND types = GetDlgItem(dialog, 0x470);  // cmb1
    EXPECT_EQ(SendMessageA(types, CB_GETCOUNT, 0, 0), 1);
    wchar_t type[64] = {};  // the wide call: Wine hands the A call the wide text
    SendMessageW(types, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(type));
    EXPECT_STREQ(type, L"AOL-Datei");
    HWND readOnly = GetDlgItem(dialog, 0x410);  // chx1
    EXPECT_TRUE(readOnly == nullptr || !IsWindowVisible(readOnly));
    HWND list = FindWindowExA(GetDlgItem(dialog, 0x461), nullptr, "SysListView32", nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 1) << "the dialog lists more than Post.pfc";
    ScreenShot(around({program.main, dialog})).save("file-dialog");
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    ASSERT_TRUE(waitUntil([&] { return !IsWindow(dialog); }, 10000));
    ASSERT_TRUE(program.waitIdle());
    Sleep(300);
    std::vector<std::string> files = filesIn(start);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"Notiz.txt", "Post.pfc"}));
}

TEST(ConvertCommand, ConvertsAFileInAFolderDeeperThan128Characters)
{
    std::string folder = freshFolder("deep");
    while (folder.size() < 170) {
        folder += "\\Ordner-mit-einem-langen-Namen";
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    std::string pfc = folder + "\\Post.pfc";
    ASSERT_GT(pfc.size(), 127u);
    ASSERT_TRUE(copyFile(kSample, pfc));
    Program program(freshFolder("deep-start"));
    ASSERT_NE(program.main, nullptr);
    convertThroughDialog(program, pfc);
    acknowledgeBox(program, kSampleSkipped);
    EXPECT_TRUE(fileExists(folder + "\\Post.mbx"));
}

// Folders with Cyrillic and Polish names below `folder`, created, the last
// padded so that the path of "Пошта.pfc" in it has exactly `length` characters.
std::string deepPath(std::string folder, std::size_t length)
{
    while (wide(folder).size() + 40 < length) {
        folder += "\\Архив-Łódź";
        CreateDirectoryW(wide(folder).c_str(), nullptr);
    }
    for (folder += "\\Skrzynka-"; wide(folder + "\\Пошта.pfc").size() < length;)
        folder += "ż";
    CreateDirectoryW(wide(folder).c_str(), nullptr);
    return folder + "\\Пошта.pfc";
}

std::string mailboxBeside(const std::string& pfc)
{
    return pfc.substr(0, pfc.rfind('.')) + ".mbx";
}

// Names outside the ANSI code page (1252, as on a German Windows), typed into
// the dialog as UTF-16: each converts beside itself under its own name, as
// kistwerk-cli.exe converts it, with no box. "Пошта.pfc" is typed bare in a
// start folder outside the code page too; the deep one has as many characters
// as Wine's dialog takes. The code page's own spelling of "Łódź 2009.pfc" lies
// beside it and stays unconverted.
TEST(ConvertCommand, NamesOutsideTheCodePageConvertBesideThemselves)
{
    ASSERT_EQ(GetACP(), 1252u);
    const std::string base = freshFolder("names");
    const std::string clean = base + "\\clean.pfc";  // no damaged message, so no box
    ASSERT_EQ(runProgram("\"" + kPfcgen + "\" many 40 \"" + clean + "\""), 0);
    const std::string start = base + "\\Почта";
    for (const char* folder : {"\\Почта", "\\Łódź", "\\tief"})
        CreateDirectoryW(wide(base + folder).c_str(), nullptr);
    ASSERT_TRUE(copyFile(kSample, base + "\\Łódź\\Lódz 2009.pfc"));
    const struct {
        std::string typed;
        bool bare;
        const char* shot;
    } rows[] = {
        {base + "\\Łódź\\Łódź 2009.pfc", false, "file-dialog-lodz"},
        {"Пошта.pfc", true, "file-dialog-cyrillic"},
        {base + "\\Post 📬 2009.pfc", false, "file-dialog-emoji"},
        {deepPath(base + "\\tief", 259), false, "file-dialog-259"},
    };
    Program program(start);
    ASSERT_NE(program.main, nullptr);
    for (const auto& row : rows) {
        const std::string pfc = row.bare ? start + "\\" + row.typed : row.typed;
        SCOPED_TRACE(pfc);
        ASSERT_TRUE(copyFile(clean, pfc));
        const std::string expected = base + "\\" + row.shot + ".mbx";
        EXPECT_EQ(runProgram("\"" + kCli + "\" --windows -q -o \"" + expected + "\" \"" + pfc + "\""), 0);
        convertThroughDialog(program, row.typed, row.shot);
        EXPECT_FALSE(waitUntil([&] { return program.waitForDialog("Kistwerk", 0) != nullptr; }, 1000))
            << "a box: " << childTexts(program.waitForDialog("Kistwerk", 0));
        EXPECT_EQ(readFile(mailboxBeside(pfc)), readFile(expected));
    }
    EXPECT_EQ(wide(rows[3].typed).size(), 259u);
    EXPECT_FALSE(fileExists(base + "\\Łódź\\Lódz 2009.mbx"));
}

// Past the 259 characters of Wine's dialog: from the dialog's buffer on no
// character is lost, in the desktop program's paths of the chosen file and in
// kistwerk-cli.exe, which opens them through the same core.
TEST(ChosenFile, PathsPastMaxPathKeepEveryCharacter)
{
    const std::string base = freshFolder("long");
    const std::string pfc = deepPath(base, 330);
    ASSERT_EQ(wide(pfc).size(), 330u);
    const std::size_t nameOffset = wide(pfc).rfind(L'\\') + 1;
    const kistwerk::ChosenFile chosen = kistwerk::chosenFile(wide(pfc), nameOffset);
    EXPECT_EQ(chosen.inputPath, pfc);
    EXPECT_EQ(chosen.outputPath, mailboxBeside(pfc));

    ASSERT_TRUE(copyFile(kSample, pfc));
    EXPECT_EQ(runProgram("\"" + kCli + "\" -q \"" + pfc + "\"", base), 3);  // one skipped
    EXPECT_EQ(readFile(mailboxBeside(pfc)), readFile(cliMailbox(kSample, base + "\\sample.mbx")));
}

// A wrong file chosen is refused before its mailbox file is touched; a PFC
// file without messages says so, and an old mailbox file stays as it was.
TEST(ConvertCommand, SaysWhenTheFileIsNoPfcFileOrHoldsNoMessage)
{
    std::string folder = freshFolder("wrong-file");
    // A head at offset 20 that counts two entries; at offset 44 a folder whose
    // child, at offset 178, holds nothing.
    std::string noEntries(44 + 2 * 134, '\0');
    noEntries[16] = 20;
    noEntries[28] = 2;
    noEntries[36] = 44;
    noEntries[40] = static_cast<char>(178);
    noEntries[44 + 130] = 2;
    const struct {
        const char* name;
        std::string bytes;
        const char* says;
        const char* shot;
    } rows[] = {
        {"Notiz", "Liebe Anna,\r\nanbei die Liste.\r\n", "ist keine PFC-Datei", "message-not-a-pfc-file"},
        {"Leer", "", "ist leer, also keine PFC-Datei", "message-empty-file"},
        {"Ohne", noEntries, "keine Nachrichten", "message-no-messages"},
    };
    Program program(freshFolder("wrong-file-start"));
    ASSERT_NE(program.main, nullptr);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string pfc = folder + "\\" + row.name + ".pfc";
        const std::string mbx = folder + "\\" + row.name + ".mbx";
        std::ofstream(pfc, std::ios::binary) << row.bytes;
        std::ofstream(mbx, std::ios::binary) << "die alte Postfachdatei";
        convertThroughDialog(program, pfc);
        acknowledgeBox(program, row.says, row.shot);
        const std::vector<char> after = readFile(mbx);
        EXPECT_EQ(std::string(after.begin(), after.end()), "die alte Postfachdatei");
    }
}

// Names of the ANSI code page, one with a windows-1252 character from 0x80 to
// 0x9F (the euro sign, 0x80 there): the guard compares the files, so no code
// page can make the PFC file look like another; and such a name converts.
TEST(ConvertCommand, RefusesToReplaceThePfcFileAndSaysSo)
{
    std::string folder = freshFolder("same");
    Program program(freshFolder("same-start"));
    ASSERT_NE(program.main, nullptr);
    for (const std::string name : {"Post.mbx", "Post\xE2\x82\xAC.mbx"}) {
        SCOPED_TRACE(name);
        const std::string input = folder + "\\" + name;
        ASSERT_TRUE(copyFile(kSample, input));
        program.command(2078);
        HWND dialog = program.waitForDialog(kFileDialogTitle);
        ASSERT_NE(dialog, nullptr);
        chooseInDialog(dialog, input);
        HWND box = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            box = program.waitForDialog("Kistwerk", 0);
            return box != nullptr && childTexts(box).find("PFC-Datei selbst") != std::string::npos;
        }, 20000)) << "no message box";
        Sleep(300);
        ScreenShot(around({program.main, box})).save(name == "Post.mbx" ? "message-output-is-input" : "message-output-is-input-euro");
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(program.waitIdle());
        EXPECT_EQ(readFile(input), readFile(kSample)) << "the PFC file was changed";
    }
    ASSERT_TRUE(copyFile(kSample, folder + "\\Post\xE2\x82\xAC.pfc"));
    // A copy of the PFC file would be refused as the PFC file itself: another
    // file now stands under the name refused above, and it is replaced.
    std::ofstream(std::filesystem::path(wide(folder + "\\Post\xE2\x82\xAC.mbx")), std::ios::binary)
        << "die alte Postfachdatei";
    convertThroughDialog(program, folder + "\\Post\xE2\x82\xAC.pfc");
    acknowledgeBox(program, kSampleSkipped);
    const std::string expected = cliMailbox(kSample, freshFolder("same-cli") + "\\sample.mbx");
    EXPECT_EQ(readFile(folder + "\\Post\xE2\x82\xAC.mbx"), readFile(expected)) << "the mailbox file went elsewhere";
}

class ProgressDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bigFolder_ = freshFolder("progress");
        bigPfc_ = bigFolder_ + "\\Gross.pfc";
        ASSERT_EQ(runProgram("\"" + kPfcgen + "\" many 400000 \"" + bigPfc_ + "\""), 0);
    }

    // The big file is no artefact worth keeping.
    static void TearDownTestSuite() { removeTree(wide(bigFolder_)); }

    static std::string bigFolder_;
    static std::string bigPfc_;
};

std::string ProgressDialog::bigFolder_;
std::string ProgressDialog::bigPfc_;

// Starts a run on the big file and returns the progress dialog.
HWND startBigRun(Program& program, const std::string& pfc)
{
    program.command(2078);
    HWND dialog = program.waitForDialog(kFileDialogTitle);
    EXPECT_NE(dialog, nullptr);
    if (dialog == nullptr)
        return nullptr;
    chooseInDialog(dialog, pfc);
    HWND progress = nullptr;
    waitUntil([&] {
        progress = program.waitForDialog("Kistwerk", 0);
        return progress != nullptr && GetDlgItem(progress, 1080) != nullptr;
    }, 30000);
    return progress;
}

bool isDark(COLORREF c)
{
    return GetRValue(c) + GetGValue(c) + GetBValue(c) < 3 * 160;
}

TEST_F(ProgressDialog, ShowsFrameGreenBarAndCentredPercentage)
{
    Program program(bigFolder_);
    ASSERT_NE(program.main, nullptr);
    HWND progress = startBigRun(program, bigPfc_);
    ASSERT_NE(progress, nullptr) << "no progress dialog";
    HWND canvas = GetDlgItem(progress, 1080);
    EXPECT_EQ(GetWindowLongA(progress, GWL_STYLE) & 0x90C001C0, 0x90C001C0);
    EXPECT_EQ(GetWindowLongA(progress, GWL_STYLE) & WS_SYSMENU, 0);
    RECT client;
    GetClientRect(canvas, &client);
    const int w = client.right;
    const int h = client.bottom;
    ASSERT_GT(w, 10);
    ASSERT_GT(h, 5);

    // Wait for a picture with some green but not all, then hold the program
    // still while the screen is read.
    RECT canvasOnScreen = screenRect(canvas);
    bool seen = waitUntil([&] {
        ScreenShot bar(canvasOnScreen);
        return bar.at(w / 3, 1) == kGreen && bar.at(w - 2, 1) == kWhite;
    }, 60000);
    program.suspend();
    ScreenShot bar(canvasOnScreen);
    ScreenShot whole(around({program.main, progress}));
    program.resume();
    whole.save("progress-dialog");
    ASSERT_TRUE(seen) << "never saw a part-filled bar";

    for (int x = 0; x < w; ++x) {
        EXPECT_EQ(bar.at(x, 0), kBlack) << "top frame, x " << x;
        EXPECT_EQ(bar.at(x, h - 1), kBlack) << "bottom frame, x " << x;
    }
    for (int y = 0; y < h; ++y) {
        EXPECT_EQ(bar.at(0, y), kBlack) << "left frame, y " << y;
        EXPECT_EQ(bar.at(w - 1, y), kBlack) << "right frame, y " << y;
    }
    // Row 1 lies above the text: green columns 1 .. fill - 1, then white.
    int fill = 1;
    while (fill < w - 1 && bar.at(fill, 1) == kGreen)
        ++fill;
    for (int x = fill; x <= w - 2; ++x)
        EXPECT_EQ(bar.at(x, 1), kWhite) << "x " << x;
    bool matchesAPercent = false;
    for (int p = 1; p <= 100; ++p)
        matchesAPercent = matchesAPercent || p * (w - 1) / 100 == fill;
    EXPECT_TRUE(matchesAPercent) << "fill " << fill << " of width " << w;

    // The text: dark pixels inside the frame, centred on w / 2.
    int left = w, right = -1;
    for (int y = 2; y <= h - 2; ++y)
        for (int x = 1; x <= w - 2; ++x)
            if (isDark(bar.at(x, y))) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    ASSERT_GE(right, left) << "no percentage text";
    EXPECT_NEAR((left + right) / 2.0, w / 2.0, 3.0);
    EXPECT_LT(right - left, w / 3) << "text wider than a percentage";

    ASSERT_TRUE(program.waitForRunEnd());
    EXPECT_EQ(program.waitForDialog("Kistwerk", 0), nullptr) << "a dialog stayed:\n" << childTexts(program.waitForDialog("Kistwerk", 0));
    EXPECT_TRUE(fileExists(bigFolder_ + "\\Gross.mbx"));
    program.command(101);
    EXPECT_EQ(program.exitCode(), 0u);
}

TEST_F(ProgressDialog, EscapeStopsTheRunAndSaysSo)
{
    Program program(bigFolder_);
    ASSERT_NE(program.main, nullptr);
    HWND progress = startBigRun(program, bigPfc_);
    ASSERT_NE(progress, nullptr) << "no progress dialog";
    pressKey(program.main, VK_ESCAPE);

    HWND box = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        box = program.waitForDialog("Kistwerk", 0);
        return box != nullptr && childTexts(box).find("abgebrochen") != std::string::npos;
    }, 30000)) << "no message box about the stop";
    EXPECT_FALSE(IsWindow(progress)) << "the progress dialog is still there";
    EXPECT_EQ(GetWindow(box, GW_OWNER), program.main);
    Sleep(300);
    ScreenShot(around({program.main, box})).save("message-cancelled");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(program.waitForRunEnd());
    EXPECT_TRUE(fileExists(bigFolder_ + "\\Gross.mbx"));
}

TEST(Ending, MenuEntryAndClosingTheWindowExitWithZero)
{
    std::string folder = freshFolder("ending");
    struct Row {
        const char* name;
        std::function<void(HWND)> end;
    };
    const Row rows[] = {
        {"Programm beenden", [](HWND w) { PostMessageA(w, WM_COMMAND, 101, 0); }},
        {"close box", [](HWND w) { PostMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"unknown command first", [](HWND w) {
             PostMessageA(w, WM_COMMAND, 4711, 0);
             PostMessageA(w, WM_CLOSE, 0, 0);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Program program(folder);
        ASSERT_NE(program.main, nullptr);
        row.end(program.main);
        EXPECT_EQ(program.exitCode(), 0u);
    }
}

} // namespace
