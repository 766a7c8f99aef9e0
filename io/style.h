// How the mailbox file is laid out: the Windows form the desktop program has
// always written, or the form that Unix mail tools expect.
#pragma once

namespace kistwerk {

struct MailboxStyle {
    // Every CR LF pair the conversion writes reaches the file as a lone LF.
    bool lfLineEnds = false;
    // The day of the month in the "From - " separator line is padded to two
    // characters with a blank, as the C library's asctime writes it:
    // "From - Sun Jan  5 09:03:07 2003". The "Date:" line keeps its form.
    bool paddedSeparatorDay = false;
};

// LF line ends and the padded day: what mutt, Dovecot, formail and GNU mailutils
// all read message by message.
constexpr MailboxStyle unixMailboxStyle()
{
    return MailboxStyle{true, true};
}

} // namespace kistwerk
