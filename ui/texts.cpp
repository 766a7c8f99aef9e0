// The German texts, in UTF-8: „…“ are the German quotation marks.
#include "ui/texts.h"

#include <cstdio>

namespace kistwerk::texts {

namespace {

std::string quoted(const std::string& name)
{
    return "\xE2\x80\x9E" + name + "\xE2\x80\x9C";
}

std::string sentence(RunProblem problem, const ProblemFacts& facts)
{
    const std::string in = quoted(facts.inputPath);
    const std::string out = quoted(facts.outputName);
    switch (problem) {
    case RunProblem::InputUnreadable:
        return "Die PFC-Datei " + in + " kann nicht gelesen werden.";
    case RunProblem::OutputUnwritable:
        return "Die Postfachdatei " + out + " kann nicht angelegt werden.";
    case RunProblem::OutputIsInput:
        return "Die Postfachdatei " + out + " w\xC3\xA4re die PFC-Datei selbst. Es wurde nichts geschrieben.";
    case RunProblem::OutputIncomplete:
        return "Die Postfachdatei " + out +
               " konnte nicht vollst\xC3\xA4ndig geschrieben werden (Datentr\xC3\xA4ger voll?). "
               "Sie ist unvollst\xC3\xA4ndig.";
    case RunProblem::Cancelled:
        return "Die Umwandlung wurde abgebrochen. Die Postfachdatei " + out +
               " enth\xC3\xA4lt nur die bis dahin fertigen Eintr\xC3\xA4ge.";
    case RunProblem::ItemsPassedOver:
        return std::to_string(facts.itemsOverLimit) + " Eintr\xC3\xA4ge der PFC-Datei " + in +
               " wurden ausgelassen: Die Datei verweist immer wieder auf dieselben Daten und ist "
               "vermutlich besch\xC3\xA4" "digt. Alle anderen Eintr\xC3\xA4ge stehen in der Postfachdatei " +
               out + ".";
    case RunProblem::OutOfMemory:
        return "Zu wenig Arbeitsspeicher: Die PFC-Datei " + in + " konnte nicht vollst\xC3\xA4ndig umgewandelt werden.";
    }
    return "Unbekannter Fehler.";
}

// What the user of the desktop program can do about it there.
const char* desktopHint(RunProblem problem)
{
    switch (problem) {
    case RunProblem::InputUnreadable:
        return "Vielleicht ist sie noch in einem anderen Programm ge\xC3\xB6" "ffnet.";
    case RunProblem::OutputUnwritable:
        return "Kopieren Sie die PFC-Datei in einen beschreibbaren Ordner und versuchen Sie es dort noch einmal.";
    case RunProblem::OutputIsInput:
        return "Benennen Sie die PFC-Datei um (Endung .pfc).";
    default:
        return nullptr;
    }
}

} // namespace

std::string problem(RunProblem problem, const ProblemFacts& facts, Shown where)
{
    std::string text = sentence(problem, facts);
    const char* hint = where == Shown::Desktop ? desktopHint(problem) : nullptr;
    if (hint != nullptr)
        text = text + " " + hint;
    return text;
}

const char kMessageTooLarge[] = "Eine Nachricht ist zu gross und wird ignoriert.";
const char kWarning[] = "Warnung";

const char kUsage[] =
    "Aufruf: kistwerk-cli [-o AUSGABE] [-q] [--unix | --windows] DATEI.pfc...\n"
    "Wandelt PFC-Dateien (Personal Filing Cabinet) in mbox-Postfachdateien (.mbx) um.\n"
    "\n"
    "Ohne -o entsteht die Postfachdatei neben der PFC-Datei: aus Post.2009.pfc wird Post.2009.mbx.\n"
    "\n"
    "  -o AUSGABE     Name der Postfachdatei (nur bei einer PFC-Datei); \"-\" schreibt auf die Standardausgabe;\n"
    "                 ein Ordner (vorhanden, oder mit / am Ende, dann wird er angelegt) nimmt die\n"
    "                 Postfachdateien aller PFC-Dateien auf\n"
    "  -q, --quiet    nur Fehler melden\n"
    "      --unix     Postfachdatei f\xC3\xBCr Unix-Mailprogramme (mutt, Dovecot, formail, GNU mailutils):\n"
    "                 Zeilenenden LF, der Tag in der Trennzeile \"From - \" zweistellig mit Leerzeichen\n"
    "                 aufgef\xC3\xBCllt (\"Sun Jan  5\"); unter Linux die Vorgabe\n"
    "      --windows  Postfachdatei wie vom Windows-Programm Kistwerk: Zeilenenden CR LF,\n"
    "                 Trennzeile \"From - Sun Jan 5\"; unter Windows die Vorgabe\n"
    "  -h, --help     diese Hilfe\n"
    "      --version  Version anzeigen\n"
    "\n"
    "Strg-C bricht die laufende Umwandlung ab; fertige Eintr\xC3\xA4ge bleiben erhalten.\n"
    "Exit-Status: 0 alles umgewandelt, 1 eine Datei nicht lesbar oder nicht schreibbar, 2 falscher Aufruf.\n";
const char kMoreHelp[] = "Mehr mit: kistwerk-cli --help";
const char kNoInput[] = "Keine PFC-Datei angegeben.";
const char kOutputForOneInputOnly[] =
    "Die Option -o mit einem Dateinamen geht nur mit einer einzigen PFC-Datei; f\xC3\xBCr mehrere geben Sie "
    "einen Ordner an (mit / am Ende).";
const char kOutputNeedsName[] = "Die Option -o braucht einen Dateinamen.";
const char kStandardOutput[] = "Standardausgabe";

std::string optionNeedsName(const std::string& option)
{
    return "Option " + option + " braucht einen Dateinamen.";
}

std::string unknownOption(const std::string& option)
{
    return "Unbekannte Option: " + option;
}

std::string outputIsOtherInput(const std::string& input, const std::string& output, const std::string& otherInput)
{
    return quoted(input) + " wird nicht umgewandelt: Die Postfachdatei " + quoted(output) +
           " w\xC3\xA4re die PFC-Datei " + quoted(otherInput) +
           ". Geben Sie mit -o einen anderen Ordner an oder benennen Sie die PFC-Datei um (Endung .pfc).";
}

std::string outputOfEarlierInput(const std::string& input, const std::string& output,
                                 const std::string& earlierInput)
{
    return quoted(input) + " wird nicht umgewandelt: Die Postfachdatei " + quoted(output) +
           " entsteht schon aus " + quoted(earlierInput) + ". Benennen Sie eine der beiden PFC-Dateien um.";
}

std::string folderNotCreated(const std::string& folder)
{
    return "Der Ordner " + quoted(folder) + " kann nicht angelegt werden.";
}

std::string summary(const std::string& input, const std::string& output, std::uint32_t entries,
                    std::uint32_t leaves, double seconds)
{
    // German decimal comma.
    char time[32];
    std::snprintf(time, sizeof time, "%.2f", seconds);
    for (char* p = time; *p != '\0'; ++p)
        if (*p == '.')
            *p = ',';
    return input + " -> " + output + ": " + std::to_string(entries) + " Eintr\xC3\xA4ge geschrieben, " +
           std::to_string(leaves) + " Bl\xC3\xA4tter gez\xC3\xA4hlt, " + time + " s";
}

const char kFileDialogTitle[] = "AOL-Datei ausw\xC3\xA4hlen";
const char kFileDialogFilter[] = "AOL-Datei";

} // namespace kistwerk::texts
