// The German texts, in UTF-8: „…“ are the German quotation marks.
#include "ui/texts.h"

#include <cstdio>

namespace kistwerk::texts {

namespace {

std::string quoted(const std::string& name)
{
    return "\xE2\x80\x9E" + name + "\xE2\x80\x9C";
}

// "1 Nachricht", "2 Nachrichten".
std::string counted(std::uint64_t count, const char* one, const char* many)
{
    return wholeNumber(count) + " " + (count == 1 ? one : many);
}

constexpr const char* kInvalidName = "Windows l\xC3\xA4sst diesen Namen nicht zu.";

std::string errorCode(const FileError& error)
{
    return error.code != 0 ? " (Fehlercode " + std::to_string(error.code) + ")" : std::string();
}

// Why the PFC file cannot be read, as a sentence.
std::string inputCause(const FileError& error)
{
    switch (error.fault) {
    case FileFault::NotFound:
        return "Sie wurde nicht gefunden.";
    case FileFault::NoPermission:
        return "Es fehlt die Berechtigung, sie zu lesen.";
    case FileFault::IsFolder:
        return "Das ist ein Ordner, keine Datei.";
    case FileFault::NotAFile:
        return "Das ist keine gew\xC3\xB6hnliche Datei, sondern ein Ger\xC3\xA4t, eine Pipe oder ein Socket.";
    case FileFault::InUse:
        return "Sie ist in einem anderen Programm ge\xC3\xB6" "ffnet.";
    case FileFault::NameTooLong:
        return "Der Name ist zu lang.";
    case FileFault::InvalidName:
        return kInvalidName;
    default:
        return "Die Ursache ist unbekannt" + errorCode(error) + ".";
    }
}

// Why the mailbox file cannot be created or written, as a sentence.
std::string outputCause(const FileError& error)
{
    switch (error.fault) {
    case FileFault::NotFound:
        return "Den Ordner gibt es nicht.";
    case FileFault::NoPermission:
        return "Es fehlt die Berechtigung, dort zu schreiben.";
    case FileFault::IsFolder:
        return "Es gibt dort einen Ordner dieses Namens.";
    case FileFault::NotAFile:
        return "Das ist keine gew\xC3\xB6hnliche Datei.";
    case FileFault::InUse:
        return "Sie ist in einem anderen Programm ge\xC3\xB6" "ffnet.";
    case FileFault::DiskFull:
        return "Der Datentr\xC3\xA4ger ist voll.";
    case FileFault::ReadOnly:
        return "Der Datentr\xC3\xA4ger ist schreibgesch\xC3\xBCtzt.";
    case FileFault::NameTooLong:
        return "Der Name ist zu lang.";
    case FileFault::InvalidName:
        return kInvalidName;
    default:
        return "Die Ursache ist unbekannt" + errorCode(error) + ".";
    }
}

// What stands at the mailbox file's place after a run that did not make it.
std::string keptSentence(const ProblemFacts& facts)
{
    if (facts.mailbox == MailboxFate::OldKept)
        return "Die vorhandene Datei " + quoted(facts.outputName) + " bleibt, wie sie war.";
    if (facts.mailbox == MailboxFate::NoneMade)
        return "Es wurde keine Postfachdatei angelegt.";
    return std::string();
}

// keptSentence behind a sentence, where there is one.
std::string keptAfter(const ProblemFacts& facts)
{
    std::string text = keptSentence(facts);
    if (!text.empty())
        text.insert(text.begin(), ' ');
    return text;
}

bool reachedItsPlace(const ProblemFacts& facts)
{
    return facts.mailbox != MailboxFate::OldKept && facts.mailbox != MailboxFate::NoneMade;
}

// Whether the mailbox file holds every entry the run could make.
bool holdsTheRest(const ProblemFacts& facts)
{
    return (facts.mailbox == MailboxFate::InPlace || facts.mailbox == MailboxFate::Streamed) && facts.ranToItsEnd;
}

// A run that ended without an entry, as the mailbox file's place shows it.
std::string emptySentence(const ProblemFacts& facts)
{
    return reachedItsPlace(facts) ? "Die Postfachdatei " + quoted(facts.outputName) + " ist leer."
                                  : keptSentence(facts);
}

std::string incompleteSentence(const ProblemFacts& facts)
{
    const std::string out = quoted(facts.outputName);
    if (reachedItsPlace(facts))
        return "Die Postfachdatei " + out + " konnte nicht vollst\xC3\xA4ndig geschrieben werden: " +
               outputCause(facts.fileError) + " Sie ist unvollst\xC3\xA4ndig.";
    std::string text = "Die Postfachdatei " + out + " konnte nicht geschrieben werden: " + outputCause(facts.fileError);
    if (facts.fileError.fault == FileFault::DiskFull && facts.mailbox == MailboxFate::OldKept)
        text += " Bis die neue Postfachdatei fertig ist, braucht sie Platz neben der vorhandenen.";
    return text + " " + keptSentence(facts);
}

std::string cancelledSentence(const ProblemFacts& facts)
{
    if (reachedItsPlace(facts))
        return "Die Umwandlung wurde abgebrochen. Die Postfachdatei " + quoted(facts.outputName) +
               " enth\xC3\xA4lt nur die bis dahin fertigen Eintr\xC3\xA4ge.";
    return std::string("Die Umwandlung wurde abgebrochen") +
           (facts.entriesWritten == 0 ? ", bevor ein Eintrag fertig war. " : ". ") + keptSentence(facts);
}

std::string skippedSentence(const ProblemFacts& facts)
{
    const std::uint32_t damaged = facts.itemsSkipped - facts.itemsOverLimit;
    const std::string out = quoted(facts.outputName);
    std::string text = counted(damaged, "besch\xC3\xA4" "digte Nachricht", "besch\xC3\xA4" "digte Nachrichten") +
                       " der PFC-Datei " + quoted(facts.inputPath) + (damaged == 1 ? " wurde" : " wurden") +
                       " \xC3\xBC" "bersprungen. ";
    if (facts.entriesWritten == 0 || !reachedItsPlace(facts))
        return text + emptySentence(facts);
    if (facts.entriesWritten == 1)
        return text + "Die \xC3\xBC" "brige Nachricht steht in der Postfachdatei " + out + ".";
    return text + "Die \xC3\xBC" "brigen " + wholeNumber(facts.entriesWritten) +
           " Nachrichten stehen in der Postfachdatei " + out + ".";
}

std::string sentence(RunProblem problem, const ProblemFacts& facts)
{
    const std::string in = quoted(facts.inputPath);
    const std::string out = quoted(facts.outputName);
    switch (problem) {
    case RunProblem::InputUnreadable:
        return "Die PFC-Datei " + in + " kann nicht gelesen werden: " + inputCause(facts.fileError);
    case RunProblem::OutputUnwritable:
        if (facts.mailbox == MailboxFate::OldKept)
            return "Die Postfachdatei " + out + " kann nicht ersetzt werden: " + outputCause(facts.fileError) +
                   " Sie bleibt, wie sie war.";
        return "Die Postfachdatei " + out + " kann nicht angelegt werden: " + outputCause(facts.fileError);
    case RunProblem::OutputIsInput:
        return "Die Postfachdatei " + out + " w\xC3\xA4re die PFC-Datei selbst. Es wurde nichts geschrieben.";
    case RunProblem::OutputIncomplete:
        return incompleteSentence(facts);
    case RunProblem::Cancelled:
        return cancelledSentence(facts);
    case RunProblem::ItemsPassedOver:
        return counted(facts.itemsOverLimit, "Eintrag", "Eintr\xC3\xA4ge") + " der PFC-Datei " + in +
               (facts.itemsOverLimit == 1 ? " wurde" : " wurden") +
               " ausgelassen: Die Datei verweist immer wieder auf dieselben Daten und ist vermutlich "
               "besch\xC3\xA4" "digt." +
               (holdsTheRest(facts) ? " Alle anderen Eintr\xC3\xA4ge stehen in der Postfachdatei " + out + "."
                                    : keptAfter(facts));
    case RunProblem::InputEmpty:
        return "Die Datei " + in + " ist leer, also keine PFC-Datei. Es wurde nichts geschrieben.";
    case RunProblem::NotPfcFile:
        return "Die Datei " + in + " ist keine PFC-Datei oder gleich am Anfang besch\xC3\xA4" "digt. "
               "Es wurde nichts geschrieben.";
    case RunProblem::ItemsSkipped:
        return skippedSentence(facts);
    case RunProblem::ItemsCut: {
        const bool one = facts.itemsCut == 1;
        std::string text = counted(facts.itemsCut, "Nachricht", "Nachrichten") + " der PFC-Datei " + in +
                           (one ? " bricht" : " brechen") + " am Ende der Datei ab";
        if (reachedItsPlace(facts))
            text += std::string(" und ") + (one ? "steht" : "stehen") + " nur bis dahin in der Postfachdatei " + out;
        return text + ". Die Datei ist vermutlich unvollst\xC3\xA4ndig kopiert." + keptAfter(facts);
    }
    case RunProblem::TreePartsLost:
        return counted(facts.treePartsLost, "Teil", "Teile") + " des Ordnerbaums der PFC-Datei " + in +
               (facts.treePartsLost == 1 ? " konnte" : " konnten") + " nicht gelesen werden" +
               (reachedItsPlace(facts) ? "; die Nachrichten darin fehlen in der Postfachdatei " + out + ". " : ". ") +
               "Die Datei ist vermutlich besch\xC3\xA4" "digt." + keptAfter(facts);
    case RunProblem::NoMessages:
        return "Die PFC-Datei " + in + " enth\xC3\xA4lt keine Nachrichten. " + emptySentence(facts);
    case RunProblem::OutOfMemory:
        return "Zu wenig Arbeitsspeicher: Die PFC-Datei " + in + " konnte nicht vollst\xC3\xA4ndig umgewandelt werden." +
               keptAfter(facts);
    case RunProblem::OutputNotCreatedBeside:
        return "Die Postfachdatei " + out + " kann nicht ersetzt werden: Die neue entsteht zuerst neben ihr, doch in "
               "ihrem Ordner l\xC3\xA4sst sich keine Datei anlegen. " + outputCause(facts.fileError) + " " +
               keptSentence(facts);
    case RunProblem::OutputNotReplaced:
        return "Die Datei " + out + " kann nicht durch die fertige neue Postfachdatei ersetzt werden: " +
               outputCause(facts.fileError) + " Sie bleibt, wie sie war.";
    case RunProblem::OutputHoldsInputBytes:
        return "Die Datei " + out + " hat die Gr\xC3\xB6\xC3\x9F" "e und die Daten der PFC-Datei " + in +
               ": Sie ist die PFC-Datei selbst, auf einem anderen Weg erreicht, oder eine Kopie. Sie wird nicht "
               "ersetzt; es wurde nichts geschrieben.";
    }
    return "Unbekannter Fehler.";
}

// What a user of the command line can do about a file fault.
const char* commandLineFileHint(RunProblem problem, FileFault fault)
{
    const bool output = problem == RunProblem::OutputUnwritable || problem == RunProblem::OutputIncomplete ||
                        problem == RunProblem::OutputNotCreatedBeside || problem == RunProblem::OutputNotReplaced;
    if (problem == RunProblem::InputUnreadable && (fault == FileFault::NotFound || fault == FileFault::InvalidName))
        return "Pr\xC3\xBC" "fen Sie Namen und Ordner.";
    if (problem == RunProblem::InputUnreadable && fault == FileFault::IsFolder)
        return nullptr;  // the hint names the folder: folderHint
    if (!output)
        return nullptr;
    switch (fault) {
    case FileFault::IsFolder: case FileFault::InvalidName:
        return "W\xC3\xA4hlen Sie mit -o einen anderen Namen.";
    case FileFault::NotFound: case FileFault::NoPermission: case FileFault::ReadOnly: case FileFault::DiskFull:
        return "W\xC3\xA4hlen Sie mit -o einen anderen Ort.";
    default:
        return nullptr;
    }
}

// What a user of the desktop program can do about a file fault there.
const char* desktopFileHint(RunProblem problem, FileFault fault)
{
    // A file that is missing, a folder or no file at all needs no guess; one
    // refused for no named reason is most often held by another program.
    if (problem == RunProblem::InputUnreadable) {
        if (fault == FileFault::Other || fault == FileFault::None)
            return "Vielleicht ist sie noch in einem anderen Programm ge\xC3\xB6" "ffnet.";
        if (fault != FileFault::InUse && fault != FileFault::NameTooLong && fault != FileFault::InvalidName)
            return nullptr;
    }
    switch (fault) {
    case FileFault::DiskFull:
        return "Schaffen Sie Platz auf dem Datentr\xC3\xA4ger oder kopieren Sie die PFC-Datei auf einen anderen "
               "und versuchen Sie es dort noch einmal.";
    case FileFault::InUse:
        return "Schlie\xC3\x9F" "en Sie das andere Programm und versuchen Sie es noch einmal.";
    case FileFault::IsFolder:
        return "Benennen Sie den Ordner oder die PFC-Datei um.";
    case FileFault::InvalidName:
        return "Benennen Sie die PFC-Datei oder ihren Ordner um.";
    case FileFault::NameTooLong:
        return "Kopieren Sie die PFC-Datei in einen Ordner mit k\xC3\xBCrzerem Pfad.";
    default:
        return "Kopieren Sie die PFC-Datei in einen beschreibbaren Ordner und versuchen Sie es dort noch einmal.";
    }
}

// A folder given as the PFC file: name the files in it instead.
std::string folderHint(const std::string& folder)
{
    const char separator = folder.find('\\') != std::string::npos ? '\\' : '/';
    const bool ended = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
    return "Geben Sie die PFC-Dateien darin an, etwa " + folder + (ended ? "" : std::string(1, separator)) + "*.pfc.";
}

const char* hint(RunProblem problem, const ProblemFacts& facts, Shown where)
{
    switch (problem) {
    case RunProblem::InputEmpty: case RunProblem::NotPfcFile:
        return "Pr\xC3\xBC" "fen Sie, ob es die richtige Datei ist und ob sie vollst\xC3\xA4ndig kopiert wurde.";
    case RunProblem::OutputIsInput:
        return where == Shown::Desktop ? "Benennen Sie die PFC-Datei um (Endung .pfc)."
                                       : "W\xC3\xA4hlen Sie mit -o einen anderen Namen.";
    case RunProblem::OutputHoldsInputBytes:
        return where == Shown::Desktop ? "Verschieben Sie diese Datei oder benennen Sie sie um."
                                       : "W\xC3\xA4hlen Sie mit -o einen anderen Namen.";
    case RunProblem::InputUnreadable: case RunProblem::OutputUnwritable: case RunProblem::OutputNotCreatedBeside:
    case RunProblem::OutputNotReplaced:
        return where == Shown::Desktop ? desktopFileHint(problem, facts.fileError.fault)
                                       : commandLineFileHint(problem, facts.fileError.fault);
    case RunProblem::OutputIncomplete:
        if (where == Shown::CommandLine)
            return commandLineFileHint(problem, facts.fileError.fault);
        return facts.fileError.fault == FileFault::DiskFull ? desktopFileHint(problem, FileFault::DiskFull) : nullptr;
    default:
        return nullptr;
    }
}

} // namespace

ProblemFacts problemFacts(const ConversionRun& run)
{
    return ProblemFacts{run.inputPath, run.outputName,   run.itemsOverLimit, run.itemsSkipped, run.entriesWritten,
                        run.itemsCut,  run.treePartsLost, run.fileError,     run.mailbox,
                        ranToItsEnd(run)};
}

std::string problem(RunProblem problem, const ProblemFacts& facts, Shown where)
{
    std::string text = sentence(problem, facts);
    const char* next = hint(problem, facts, where);
    if (next != nullptr)
        text = text + " " + next;
    else if (where == Shown::CommandLine && problem == RunProblem::InputUnreadable &&
             facts.fileError.fault == FileFault::IsFolder)
        text = text + " " + folderHint(facts.inputPath);
    return text;
}


const char kOutOfMemory[] = "Zu wenig Arbeitsspeicher. Das Programm wurde beendet.";

const char kUsage[] =
    "Aufruf: kistwerk-cli [-q] [--unix | --windows] [-o AUSGABE] [--] DATEI.pfc...\n"
    "Wandelt PFC-Dateien (Personal Filing Cabinet) in mbox-Postfachdateien (.mbx) um.\n"
    "\n"
    "Ohne -o entsteht die Postfachdatei neben der PFC-Datei: aus Post.2009.pfc wird Post.2009.mbx.\n"
    "Eine vorhandene Postfachdatei wird erst ersetzt, wenn die neue vollst\xC3\xA4ndig ist\n"
    "oder nach Strg-C die bis dahin fertigen Eintr\xC3\xA4ge h\xC3\xA4lt.\n"
    "\n"
    "  -o AUSGABE, --output=AUSGABE\n"
    "                 Name der Postfachdatei (nur bei einer PFC-Datei); \"-\" schreibt auf die Standardausgabe;\n"
    "                 ein Ordner (vorhanden, oder mit / am Ende, dann wird er angelegt) nimmt die\n"
    "                 Postfachdateien aller PFC-Dateien auf\n"
    "  -q, --quiet    keine Fortschrittsanzeige und keine Zusammenfassung, nur Fehler und Hinweise\n"
    "      --unix     Postfachdatei f\xC3\xBCr Unix-Mailprogramme (mutt, Dovecot, formail, GNU mailutils):\n"
    "                 Zeilenenden LF, der Tag in der Trennzeile \"From - \" zweistellig mit Leerzeichen\n"
    "                 aufgef\xC3\xBCllt (\"Sun Jan  5\"); unter Linux die Vorgabe\n"
    "      --windows  Postfachdatei wie vom Windows-Programm Kistwerk: Zeilenenden CR LF,\n"
    "                 Trennzeile \"From - Sun Jan 5\"; unter Windows die Vorgabe\n"
    "  -h, --help     diese Hilfe\n"
    "      --version  Version anzeigen\n"
    "  --             alles Folgende ist ein Dateiname, auch wenn es mit \"-\" beginnt\n"
    "\n"
    "Strg-C bricht die laufende Umwandlung ab; fertige Eintr\xC3\xA4ge bleiben erhalten.\n"
    "Exit-Status:\n"
    "  0  alles umgewandelt (auch eine PFC-Datei ohne Nachrichten)\n"
    "  3  umgewandelt, aber besch\xC3\xA4" "digte Nachrichten \xC3\xBC" "bersprungen\n"
    "  1  eine Datei nicht lesbar, keine PFC-Datei oder nicht schreibbar, oder abgebrochen\n"
    "  2  falscher Aufruf\n";
const char kMoreHelp[] = "Mehr mit: kistwerk-cli --help";
const char kNoInput[] = "Keine PFC-Datei angegeben.";
const char kOutputForOneInputOnly[] =
    "Die Option -o mit einem Dateinamen geht nur mit einer einzigen PFC-Datei; f\xC3\xBCr mehrere geben Sie "
    "einen Ordner an (mit / am Ende).";
const char kOutputNeedsName[] = "Die Option -o braucht einen Dateinamen.";
const char kStandardOutput[] = "Standardausgabe";
const char kStandardInput[] =
    "Von der Standardeingabe (\xE2\x80\x9E-\xE2\x80\x9C) kann kistwerk-cli keine PFC-Datei lesen. Geben Sie den Namen "
    "der PFC-Datei an; eine Datei namens \xE2\x80\x9E-\xE2\x80\x9C als ./-.";

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

namespace {

// Why a folder cannot be made, as a sentence; the causes it shares with a
// file that cannot be written are said as there.
std::string folderCause(const FileError& error)
{
    switch (error.fault) {
    case FileFault::IsFile:
        return "Ein Teil des Pfades ist eine Datei, kein Ordner.";
    case FileFault::NotFound:
        return "Das Laufwerk oder ein Teil des Pfades ist nicht erreichbar.";
    case FileFault::NoPermission:
        return "Es fehlt die Berechtigung, dort einen Ordner anzulegen.";
    default:
        return outputCause(error);
    }
}

} // namespace

std::string folderNotCreated(const std::string& folder, const FileError& error)
{
    return "Der Ordner " + quoted(folder) + " kann nicht angelegt werden: " + folderCause(error) +
           " W\xC3\xA4hlen Sie mit -o einen anderen Ort.";
}

std::string noFileMatches(const std::string& pattern)
{
    return "Zu " + quoted(pattern) + " passt keine Datei. Pr\xC3\xBC" "fen Sie Namen und Ordner.";
}

std::string wholeNumber(std::uint64_t value)
{
    const std::string digits = std::to_string(value);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += '.';
        grouped += digits[i];
    }
    return grouped;
}

std::string decimal(double value, int places)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", places, value);
    std::string result = text;
    const std::size_t point = result.find('.');
    if (point == std::string::npos)
        return result;
    const std::string whole = result.substr(0, point);
    const bool wholeIsNumber = !whole.empty() && whole.find_first_not_of("0123456789") == std::string::npos;
    return (wholeIsNumber ? wholeNumber(std::stoull(whole)) : whole) + "," + result.substr(point + 1);
}

std::string summary(const std::string& input, const std::string& output, std::uint32_t entries,
                    std::uint32_t skipped, double seconds)
{
    std::string line = input + " \xE2\x86\x92 " + output + ": " + counted(entries, "Nachricht", "Nachrichten");
    if (skipped > 0)
        line += ", " + wholeNumber(skipped) + " besch\xC3\xA4" "digte \xC3\xBC" "bersprungen";
    return line + ", " + decimal(seconds, 2) + " s";
}

const char kFileDialogTitle[] = "AOL-Datei ausw\xC3\xA4hlen";
const char kFileDialogFilter[] = "AOL-Datei";

std::string fileDialogFailed(std::uint32_t code, bool pathTooLong)
{
    // The dialog's codes are documented in hexadecimal (FNERR_BUFFERTOOSMALL is 0x3003).
    char number[16];
    std::snprintf(number, sizeof number, "0x%04X", static_cast<unsigned>(code));
    const std::string failed = std::string("Die Dateiauswahl ") + quoted(kFileDialogTitle) +
                               " ist fehlgeschlagen (Fehlercode " + number + "). Es wurde nichts umgewandelt.";
    if (pathTooLong)
        return failed + " Der Pfad der gew\xC3\xA4hlten Datei ist zu lang. Kopieren Sie die PFC-Datei in einen "
                        "Ordner mit k\xC3\xBCrzerem Pfad.";
    return failed + " Versuchen Sie es noch einmal.";
}

} // namespace kistwerk::texts
