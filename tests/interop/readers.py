#!/usr/bin/env python3
"""Opens kistwerk-cli's mailbox files with independent mail readers from Debian
and checks that each sees one message per converted item, with the right sender,
subject, date and body text.

    readers.py --cli CLI --fixture-writer W --pfcgen PFCGEN --sample SAMPLE.pfc \
               --work DIR [--user NAME] [--synth-size 4M]

Mailbox files checked:
  fixture   tests/interop/interop_fixture.cpp: every entry's sender address and
            name, first recipient, subject, date and body are known in
            advance, as a reader must show them decoded;
  sample    examples/sample.pfc;
  synth     a generated file (pfcgen synth).
each in the Windows form (--windows) and the Unix form (--unix). For sample and
synth the expected entries are read from the Windows form by the splitter below,
which only relies on what the converter guarantees: every entry starts with a
line "From - ", no other line begins "From ", the body is windows-1252 text and
8-bit header texts are RFC 2047 encoded words.

Readers: Python's mailbox/email, Dovecot's doveadm, mutt (in tmux), s-nail,
formail, GNU mailutils (messages, frm, readmsg), Thunderbird (headless, over
Marionette, with the file as a folder of Local Folders in a fresh profile).
formail and mailutils need the Unix form; they are run on it only, and show
header texts undecoded, so their headers are decoded here. Every subject,
name and body is compared exactly, 8-bit characters included. Thunderbird
and mailutils read mbox files the mboxrd way (one ">" off every line of ">"s
and "From "), so their bodies are compared with that ">" taken off.
Prints one line per check and ends with "interop: N passed, M failed".
"""

import argparse
import email
import email.header
import email.policy
import email.utils
import json
import mailbox
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

TIMEOUT = 60
SEARCHED_WORD = "Köln"  # Dovecot's SUBJECT search must find it in every subject that holds it
TMUX = ["tmux", "-L", f"kistwerk-interop-{os.getpid()}"]  # a server of our own
INDEX_ROWS = 60  # mutt's index lines on its screen in tmux (two more for status and message line)


class ReaderError(Exception):
    """A reader failed; the message carries the reader's own words."""


class Msg:
    """What one reader saw of one message; None where the reader does not tell."""

    def __init__(self, sender=None, subject=None, date=None, body=None, name=None, to=None, to_name=None):
        self.sender = sender  # the address, or a "Name <address>" text
        self.name = name  # the sender's display name
        self.to = to  # the first recipient's address; "" when there is none
        self.to_name = to_name  # and its display name
        self.subject = subject
        self.date = date  # "YYYY-MM-DD HH:MM:SS", or "YYYY-MM-DD" where a reader shows no time
        self.body = body


def run(cmd, **kw):
    try:
        p = subprocess.run(cmd, capture_output=True, timeout=kw.pop("timeout", TIMEOUT), **kw)
    except subprocess.TimeoutExpired as e:
        raise ReaderError(f"{cmd[0]}: no answer within {e.timeout} s")
    return p


def words(p):
    """The reader's own output, for a failure message."""
    text = (p.stdout or b"") + (p.stderr or b"")
    text = text.decode("utf-8", "replace").strip()
    return text[-1500:] if text else "(no output)"


# ---------------------------------------------------------------- expectations


def iso_date(date_value):
    """The "Date:" value as YYYY-MM-DD HH:MM:SS; None when it names no moment."""
    parsed = email.utils.parsedate_tz(date_value) if date_value else None
    if parsed is None:
        return None
    return "%04d-%02d-%02d %02d:%02d:%02d" % parsed[:6]


def load_fixture_expectations(path):
    with open(path, encoding="utf-8") as f:
        items = json.load(f)
    return [Msg(i["sender"], i["subject"], iso_date(i["date"]), i["body"], i["name"], i["to"], i["to_name"])
            for i in items]


def decoded(value):
    """A header text with its RFC 2047 encoded words decoded."""
    return str(email.header.make_header(email.header.decode_header(value)))


def sender_parts(value):
    """Address and decoded display name of a "From:" text."""
    name, address = email.utils.parseaddr(value)
    return address or value.strip(), decoded(name) if name else ""


def first_recipient(value):
    """Address and decoded display name of the first element of a "To:" text."""
    if not value:
        return "", ""
    name, address = email.utils.getaddresses([value])[0]
    return address, decoded(name) if name else ""


def split_headers(head, line_end):
    """Header name to text (continuation lines joined) of one entry's header."""
    headers = {}
    name = None
    for line in head.split(line_end):
        if line[:1] in (b" ", b"\t") and name is not None:
            headers[name] += line.decode("latin-1")
            continue
        field, _, value = line.partition(b":")
        name = field.decode("latin-1").lower()
        headers.setdefault(name, value.strip().decode("latin-1"))
    return headers


def split_own_output(path):
    """Entries of a Windows-form mailbox file, from the converter's guarantees."""
    data = open(path, "rb").read()
    starts = [m.start() for m in re.finditer(rb"(?m)^From ", data)]
    entries = []
    for i, start in enumerate(starts):
        end = starts[i + 1] if i + 1 < len(starts) else len(data)
        head, _, body = data[start:end].partition(b"\r\n\r\n")
        headers = split_headers(head.partition(b"\r\n")[2], b"\r\n")
        address, name = sender_parts(headers.get("from", ""))
        to, to_name = first_recipient(headers.get("to", ""))
        subject = headers.get("subject")
        entries.append(Msg(address, decoded(subject) if subject is not None else None,
                           iso_date(headers.get("date")), body.decode("cp1252", "replace"), name, to, to_name))
    return entries


# ---------------------------------------------------------------- comparisons


def blank_in_address(address):
    """A stored address with a blank before its "@" ("Hans Schmidt@example.de"):
    the converter keeps it as stored, and it is no address, so every reader shows
    it in its own way (Python reports a defect, mutt drops the blank, s-nail
    shows "-")."""
    return " " in address.partition("@")[0].strip()


def holds_blank_address(value):
    return any(blank_in_address(address_of(part)) for part in value.split(","))


def address_of(sender):
    """The address in a reader's "Name <address>" or bare address text."""
    found = re.search(r"<([^<>]*)>\s*$", sender)
    return (found.group(1) if found else sender).strip()


def norm_body(text):
    text = text.replace("\r\n", "\n")
    return text.rstrip("\r\n")


def unescape_from(body):
    """What an mboxrd reader shows: one ">" taken from each ">From " line."""
    return re.sub(r"(?m)^>(>*From )", r"\1", body)


def compare(seen, expected, unescapes=False, date_only=False, truncates=False):
    """Problems of one reader's view against the expectations."""
    problems = []
    if len(seen) != len(expected):
        problems.append(f"{len(seen)} messages, expected {len(expected)}")
    for n, (s, e) in enumerate(zip(seen, expected), 1):
        where = f"message {n}"
        # A reader may show the address where a message names no sender, and
        # each shows a stored address with a blank in its own way.
        def shown(got):
            got = got.strip()
            if blank_in_address(e.sender):
                return got == "-" or re.sub(r'[\s"]', "", got) in ("", re.sub(r"\s", "", e.sender))
            return got in ("", e.sender)
        if s.sender is not None and address_of(s.sender) != e.sender and not shown(address_of(s.sender)):
            problems.append(f"{where}: sender {s.sender!r}, expected {e.sender!r}")
        if s.name is not None and s.name.strip() != e.name and not (not e.name and shown(s.name)):
            problems.append(f"{where}: sender's name {s.name!r}, expected {e.name!r}")
        if (s.to is not None and e.to is not None and not blank_in_address(e.to)
                and (s.to, s.to_name or "") != (e.to, e.to_name)):
            problems.append(f"{where}: first recipient {s.to_name!r} {s.to!r}, expected {e.to_name!r} {e.to!r}")
        if s.subject is not None:
            want = e.subject or ""
            got = s.subject.strip()
            cut = truncates and len(got) >= 60 and want.startswith(got)
            if got != want and not cut:
                problems.append(f"{where}: subject {s.subject!r}, expected {e.subject!r}")
        if s.date is not None and e.date is not None:
            want = e.date[:10] if date_only else e.date
            if s.date != want:
                problems.append(f"{where}: date {s.date!r}, expected {want!r}")
        if s.body is not None:
            want = norm_body(unescape_from(e.body) if unescapes else e.body)
            if norm_body(s.body) != want:
                problems.append(f"{where}: body {norm_body(s.body)[:300]!r}, expected {want[:300]!r}")
        if len(problems) > 12:
            problems.append("...")
            break
    return problems


# ---------------------------------------------------------------- readers


def read_python(path, work):
    """Python's mailbox module and the email package with the modern policy."""
    box = mailbox.mbox(path, create=False,
                       factory=lambda f: email.message_from_binary_file(f, policy=email.policy.default))
    seen = []
    for n, m in enumerate(box, 1):
        defects = list(m.defects)
        for name, header in m.items():
            if not holds_blank_address(str(header)):
                defects += [f"{name}: {d!r}" for d in header.defects]
        date = None
        if m["Date"] is not None and m["Date"].datetime is not None:
            date = m["Date"].datetime.strftime("%Y-%m-%d %H:%M:%S")
        if defects:
            raise ReaderError(f"message {n}: parsing defects {defects}")
        if m.get_content_charset() != "windows-1252":
            raise ReaderError(f"message {n}: charset {m.get_content_charset()!r}")
        sender = m["From"].addresses
        if len(sender) > 1 or (not sender and not holds_blank_address(str(m["From"]))):
            raise ReaderError(f"message {n}: {len(sender)} senders in {str(m['From'])!r}")
        address, name = (sender[0].addr_spec, sender[0].display_name) if sender else (str(m["From"]), None)
        subject = m["Subject"]
        to = m["To"].addresses[:1] if m["To"] is not None else ()
        to, to_name = (to[0].addr_spec, to[0].display_name) if to else ("", "")
        seen.append(Msg(address, str(subject) if subject is not None else "", date, m.get_content(), name, to,
                        to_name))
    box.close()
    return seen


class Dovecot:
    """doveadm on a copy of the file in a mail folder of an unprivileged user:
    Dovecot refuses to run as root and rewrites the mailbox it opens."""

    def __init__(self, user):
        self.user = user

    def __call__(self, path, work):
        # Under /tmp, so that the user reaches it whatever the build folder's modes.
        home = tempfile.mkdtemp(prefix="kistwerk-dovecot-")
        try:
            return self.fetch(path, home)
        finally:
            shutil.rmtree(home, ignore_errors=True)

    def fetch(self, path, home):
        os.chmod(home, 0o755)
        os.makedirs(os.path.join(home, "mail"))
        shutil.copy(path, os.path.join(home, "mail", "inbox"))
        conf = os.path.join(home, "dovecot.conf")
        with open(conf, "w") as f:
            f.write(f"mail_location = mbox:{home}/mail:INBOX={home}/mail/inbox\n"
                    f"base_dir = {home}/run\nstate_dir = {home}/state\nlog_path = /dev/stderr\nssl = no\n")
        base = ["env", f"HOME={home}", "doveadm", "-c", conf, "-f", "json"]
        if os.geteuid() == 0:
            subprocess.run(["chown", "-R", self.user, home], check=True)
            base = ["runuser", "-u", self.user, "--", "env", f"USER={self.user}"] + base
        p = run(base + ["mailbox", "status", "-t", "messages", "INBOX"], cwd=home)
        if p.returncode != 0:
            raise ReaderError(f"doveadm mailbox status: {words(p)}")
        count = int(json.loads(p.stdout)[0]["messages"])
        p = run(base + ["fetch", "hdr.from.utf8 hdr.to.utf8 hdr.subject.utf8 date.sent text.utf8", "ALL"], cwd=home)
        if p.returncode != 0:
            raise ReaderError(f"doveadm fetch: {words(p)}")
        seen = []
        for item in json.loads(p.stdout):
            text = item["text.utf8"]
            body = text.split("\n\n", 1)[1] if "\n\n" in text else ""
            date = item["date.sent"][:19] if "(+0000)" in item["date.sent"] else item["date.sent"]
            sender = item["hdr.from.utf8"]
            name = sender[: sender.rfind("<")].strip() if sender.rstrip().endswith(">") else ""
            to_name, to = email.utils.getaddresses([item["hdr.to.utf8"]])[0] if item["hdr.to.utf8"] else ("", "")
            seen.append(Msg(sender, item["hdr.subject.utf8"], date, body, name, to, to_name))
        if count != len(seen):
            raise ReaderError(f"mailbox status says {count} messages, fetch gave {len(seen)}")
        # Dovecot's own search must find the decoded subjects.
        p = run(base[:-2] + ["search", "mailbox", "INBOX", "SUBJECT", SEARCHED_WORD], cwd=home)
        if p.returncode != 0:
            raise ReaderError(f"doveadm search: {words(p)}")
        found = [int(line.split()[1]) for line in p.stdout.decode().splitlines()]
        holding = [n for n, m in enumerate(seen, 1) if SEARCHED_WORD.lower() in m.subject.lower()]
        if found != holding:
            raise ReaderError(f"doveadm search SUBJECT {SEARCHED_WORD} found {found}, the subjects hold it in {holding}")
        return seen


def read_mutt(path, work):
    """mutt, read-only, in a tmux session: its index screen, then every message
    piped out decoded."""
    rc = os.path.join(work, "muttrc")
    piped = os.path.join(work, "mutt-piped.txt")
    if os.path.exists(piped):
        os.remove(piped)
    with open(rc, "w") as f:
        f.write(f"set folder={work}\nset spoolfile={path}\nset mbox={work}/mutt-mbox\nset record=\"\"\n"
                f"set postponed={work}/mutt-postponed\nset header_cache=\"\"\n"
                'set index_format="%4C|%a|%n|%[!%Y-%m-%d %H:%M:%S]|%s"\n'
                "set charset=utf-8\nset sort=mailbox-order\nset help=no\nset wait_key=no\n"
                "set pipe_split=no\nset pipe_decode=yes\nset pipe_sep=\"\\n@@KISTWERK-NEXT@@\\n\"\n")
    session = "mutt"
    env = dict(os.environ, LC_ALL="C.UTF-8", TERM="xterm")
    subprocess.run(TMUX + ["kill-server"], capture_output=True)
    p = run(TMUX + ["new-session", "-d", "-s", session, "-x", "250", "-y", str(INDEX_ROWS + 2),
             f"mutt -R -n -F {rc} -f {path}"], env=env)
    if p.returncode != 0:
        raise ReaderError(f"tmux: {words(p)}")
    try:
        screen = wait_for_screen(session, re.compile(r"Msgs:(\d+)"))
        count = int(re.search(r"Msgs:(\d+)", screen).group(1))
        index = [line for line in screen.splitlines() if re.match(r"\s*\d+\|", line)]
        subprocess.run(TMUX + ["send-keys", "-t", session, "T", "~A", "Enter", ";|", f"cat > {piped}", "Enter"],
                       check=True)
        # mutt puts the separator behind every piped message, the last one too.
        deadline = time.time() + 60
        while time.time() < deadline:
            if os.path.exists(piped) and open(piped, "rb").read().count(b"\n@@KISTWERK-NEXT@@\n") >= count:
                break
            time.sleep(0.1)
    finally:
        subprocess.run(TMUX + ["send-keys", "-t", session, "q"], capture_output=True)
        time.sleep(0.2)
        subprocess.run(TMUX + ["kill-server"], capture_output=True)
    parts = []
    if os.path.exists(piped):
        text = open(piped, "rb").read().decode("utf-8")
        if text.endswith("\n@@KISTWERK-NEXT@@\n"):
            text = text[: -len("\n@@KISTWERK-NEXT@@\n")]
        parts = text.split("\n@@KISTWERK-NEXT@@\n")
    if len(parts) != count:
        raise ReaderError(f"{count} messages in mutt's status line, {len(parts)} piped out")
    if len(index) != min(count, INDEX_ROWS):
        raise ReaderError(f"{count} messages in mutt's status line, {len(index)} index lines:\n{screen}")
    seen = []
    for n, part in enumerate(parts):
        head, _, body = part.partition("\n\n")
        if n < len(index):
            _, sender, name, date, subject = index[n].split("|", 4)
            seen.append(Msg(sender, subject.rstrip(), date, body, name))
        else:
            # Below the first screen: the headers as mutt decoded them for the pipe.
            headers = {}
            for line in head.replace("\r", "").split("\n"):
                field, _, value = line.partition(": ")
                headers.setdefault(field.lower(), value)
            seen.append(Msg(headers.get("from", ""), headers.get("subject", ""), None, body))
    return seen


def capture(session):
    p = subprocess.run(TMUX + ["capture-pane", "-p", "-t", session], capture_output=True)
    return p.stdout.decode("utf-8", "replace")


def wait_for_screen(session, pattern, seconds=20):
    deadline = time.time() + seconds
    screen = ""
    while time.time() < deadline:
        screen = capture(session)
        if pattern.search(screen):
            return screen
        time.sleep(0.1)
    raise ReaderError(f"mutt's index did not show within {seconds} s; screen:\n{screen.strip()}")


def read_snail(path, work):
    """s-nail read-only: the header summary (-H), then every message printed in
    batch mode."""
    env = dict(os.environ, LC_ALL="C.UTF-8", HOME=work, MAILRC="/dev/null")
    # One summary per field: s-nail cuts its summary lines to the screen width.
    columns = []
    for headline, show in (("%m|%-70f", []), ("%m|%-70f", ["-S", "showname"]), ("%m|%d", []), ("%m|%s", [])):
        p = run(["s-nail", "-n", "-Rf", "-H", "-S", "ttycharset=utf-8", "-S", "headline=" + headline] + show + [path],
                env=env)
        if p.returncode != 0:
            raise ReaderError(f"s-nail -H: {words(p)}")
        found = re.findall(r"(?m)^\s*(\d+)\|(.*)$", p.stdout.decode("utf-8", "replace"))
        columns.append([value for _, value in found])
    lines = list(zip(*columns))
    if not all(len(c) == len(lines) for c in columns):
        raise ReaderError(f"the header summaries differ in length: {[len(c) for c in columns]}")
    p = run(["s-nail", "-n", "-Rf", "-N", "-#", "-S", "ttycharset=utf-8", "-Y", "Print *", "-Y", "x", path], env=env)
    if p.returncode != 0:
        raise ReaderError(f"s-nail Print: {words(p)}")
    parts = re.split(r"(?m)^\[-- Message +\d+ -- [^\n]*\]:\n", p.stdout.decode("utf-8", "replace"))[1:]
    if len(parts) != len(lines):
        raise ReaderError(f"{len(lines)} header lines, {len(parts)} messages printed:\n{words(p)}")
    seen = []
    for (sender, name, date, subject), part in zip(lines, parts):
        date = date.strip()
        body = part.split("\n\n", 1)[1] if "\n\n" in part else ""
        seen.append(Msg(sender, subject.strip(), date if re.fullmatch(r"\d{4}-\d\d-\d\d", date) else None, body,
                        name))
    return seen


def read_formail(path, work):
    """formail splits the file into its messages; each is then read as it is."""
    out = os.path.join(work, "formail")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    with open(path, "rb") as f:
        p = run(["formail", "-s", "sh", "-c", f'cat > "{out}/msg.$FILENO"'], stdin=f)
    if p.returncode != 0:
        raise ReaderError(f"formail: {words(p)}")
    seen = []
    for name in sorted(os.listdir(out), key=lambda n: int(n.rpartition(".")[2])):
        data = open(os.path.join(out, name), "rb").read()
        head, _, body = data.partition(b"\n\n")
        headers = split_headers(head.partition(b"\n")[2], b"\n")
        address, shown = sender_parts(headers.get("from", ""))
        to, to_name = first_recipient(headers.get("to", ""))
        seen.append(Msg(address, decoded(headers.get("subject", "")), iso_date(headers.get("date")),
                        body.decode("cp1252", "replace"), shown, to, to_name))
    return seen


def read_mailutils(path, work):
    """GNU mailutils: "messages" counts, "frm" lists sender and subject,
    "readmsg" prints the bodies."""
    p = run(["messages", "--no-config", path])
    found = re.search(rb"Number of messages in .*: (\d+)", p.stdout)
    if p.returncode != 0 or not found:
        raise ReaderError(f"messages: {words(p)}")
    count = int(found.group(1))
    p = run(["frm", "--no-config", path])
    # frm ends with status 1 also after listing every message; trouble shows on stderr.
    if p.returncode not in (0, 1) or p.stderr:
        raise ReaderError(f"frm: {words(p)}")
    listed = p.stdout.decode("utf-8", "replace").splitlines()
    if len(listed) != count:
        raise ReaderError(f"messages counts {count}, frm lists {len(listed)}")
    p = run(["readmsg", "--no-config", "-n", "-p", "-f", path] + [str(i) for i in range(1, count + 1)])
    if p.returncode != 0:
        raise ReaderError(f"readmsg: {words(p)}")
    # A form feed stands between the messages, and one more after the last.
    bodies = p.stdout.decode("cp1252", "replace").split("\f") if count else []
    if len(bodies) == count + 1 and bodies[-1].strip() == "":
        bodies.pop()
    if len(bodies) != count:
        raise ReaderError(f"messages counts {count}, readmsg printed {len(bodies)}")
    seen = []
    for line, body in zip(listed, bodies):
        # frm shows the sender's name, or the address where there is none.
        name, _, subject = line.partition("\t")
        seen.append(Msg(None, subject, None, body, name))
    return seen


class Marionette:
    """The few commands of Marionette's protocol the reader needs: each packet
    is its length in decimal, a colon and a JSON array."""

    def __init__(self, port, timeout):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer = b""
        self.last_id = 0
        hello = self.receive()
        if hello.get("marionetteProtocol") != 3:
            raise ReaderError(f"Marionette greets with {hello!r}")

    def receive(self):
        while True:
            length, colon, rest = self.buffer.partition(b":")
            if colon and len(rest) >= int(length):
                self.buffer = rest[int(length):]
                return json.loads(rest[: int(length)])
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise ReaderError("Marionette closed the connection")
            self.buffer += chunk

    def command(self, name, params):
        self.last_id += 1
        packet = json.dumps([0, self.last_id, name, params]).encode()
        self.sock.sendall(str(len(packet)).encode() + b":" + packet)
        kind, answer_id, error, result = self.receive()
        if kind != 1 or answer_id != self.last_id:
            raise ReaderError(f"Marionette answers {kind, answer_id} to {name}")
        if error:
            raise ReaderError(f"Marionette {name}: {error.get('error')}: {error.get('message')}")
        return result

    def close(self):
        self.sock.close()


class Thunderbird:
    """Thunderbird, headless, in a fresh profile whose Local Folders hold the
    file as a folder, as a user copies it there; tests/interop/thunderbird.js
    reads the messages through Thunderbird's own code, over Marionette. Every
    process it started is gone when it returns."""

    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "thunderbird.js")
    FOLDER = "Post"
    PREFS = {
        "marionette.port": 0,  # any free port, written to MarionetteActivePort in the profile
        "mail.accountmanager.accounts": "account1",
        "mail.accountmanager.localfoldersserver": "server1",
        "mail.account.account1.server": "server1",
        "mail.server.server1.type": "none",
        "mail.server.server1.hostname": "Local Folders",
        "mail.server.server1.name": "Local Folders",
        "mail.server.server1.userName": "nobody",
        "mail.server.server1.directory-rel": "[ProfD]Mail/Local Folders",
        "mail.shell.checkDefaultClient": False,
        "mailnews.start_page.enabled": False,
        "app.update.auto": False,
        "app.update.enabled": False,
        "datareporting.policy.dataSubmissionEnabled": False,
        "toolkit.telemetry.reportingpolicy.firstRun": False,
        "mail.rights.override": True,
    }

    def __call__(self, path, work):
        home = tempfile.mkdtemp(prefix="thunderbird-", dir=work)
        try:
            return self.read(path, home)
        finally:
            shutil.rmtree(home, ignore_errors=True)

    def read(self, path, home):
        profile = os.path.join(home, "profile")
        folders = os.path.join(profile, "Mail", "Local Folders")
        os.makedirs(folders)
        shutil.copy(path, os.path.join(folders, self.FOLDER))
        with open(os.path.join(profile, "user.js"), "w") as f:
            for name, value in self.PREFS.items():
                f.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        env = dict(os.environ, HOME=home, TZ="UTC", MOZ_HEADLESS="1", LC_ALL="C.UTF-8")
        log = open(os.path.join(home, "thunderbird.log"), "wb")
        process = subprocess.Popen(["thunderbird", "--headless", "--marionette", "--remote-allow-system-access",
                                    "--no-remote", "--profile", profile],
                                   env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        quit_sent = False
        try:
            messages = self.fetch(process, profile)
            quit_sent = True
        finally:
            left = self.end(process, quit_sent)
            log.close()
        if left:
            raise ReaderError(f"Thunderbird left {left} behind")
        return [self.message(n, m) for n, m in enumerate(messages, 1)]

    def fetch(self, process, profile):
        port_file = os.path.join(profile, "MarionetteActivePort")
        deadline = time.time() + TIMEOUT
        while not os.path.exists(port_file) or not open(port_file).read().strip():
            if process.poll() is not None:
                raise ReaderError(f"Thunderbird ended with status {process.returncode} before Marionette listened")
            if time.time() > deadline:
                raise ReaderError(f"Thunderbird's Marionette did not listen within {TIMEOUT} s")
            time.sleep(0.1)
        marionette = Marionette(int(open(port_file).read().strip()), TIMEOUT)
        try:
            marionette.command("WebDriver:NewSession", {})
            marionette.command("Marionette:SetContext", {"value": "chrome"})
            with open(self.SCRIPT) as f:
                script = f.read()
            result = marionette.command("WebDriver:ExecuteAsyncScript",
                                        {"script": script, "args": [self.FOLDER], "scriptTimeout": TIMEOUT * 1000})
            messages = result["value"]
            if isinstance(messages, dict) and "error" in messages:
                raise ReaderError(f"Thunderbird: {messages['error']}")
            marionette.command("Marionette:Quit", {})
        finally:
            marionette.close()
        return messages

    @staticmethod
    def end(process, quit_sent):
        """Waits for Thunderbird and its child processes (its own process
        group) to end after it was told to quit, or ends them where it was
        not; tells what had to be killed."""
        if not quit_sent:
            os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                os.killpg(process.pid, 0)
            except ProcessLookupError:
                return ""
            time.sleep(0.1)
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return "processes that had to be killed" if quit_sent else ""

    @staticmethod
    def message(n, m):
        if "charset=windows-1252" not in m["contentType"].replace('"', "").lower():
            raise ReaderError(f"message {n}: content type {m['contentType']!r}")
        author = m["author"][0] if m["author"] else {"email": "", "name": ""}
        to = m["recipients"][0] if m["recipients"] else {"email": "", "name": ""}
        date = m["date"].replace("T", " ")[:19]
        return Msg(author["email"], m["subject"], date, m["body"], author["name"], to["email"], to["name"])


# ---------------------------------------------------------------- the run


def convert(cli, pfc, mbx, unix):
    p = run([cli, "-q", "--unix" if unix else "--windows", "-o", mbx, pfc], timeout=300)
    if p.returncode not in (0, 3):  # 3: damaged items skipped, the rest converted
        raise SystemExit(f"kistwerk-cli failed on {pfc}: {words(p)}")


def entries_written(cli, pfc, work):
    """The converter's own count of entries, from its summary line."""
    p = run([cli, "-o", os.path.join(work, "count.mbx"), pfc], timeout=300)
    found = re.search(r": ([\d.]+) Nachricht", p.stdout.decode("utf-8", "replace"))
    if p.returncode not in (0, 3) or not found:
        raise SystemExit(f"kistwerk-cli summary: {words(p)}")
    return int(found.group(1).replace(".", ""))


def main():
    ap = argparse.ArgumentParser()
    for name in ("cli", "fixture-writer", "pfcgen", "sample", "work"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--user", default="kistwerk-interop")
    ap.add_argument("--synth-size", default="4M")
    args = ap.parse_args()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.chmod(work, 0o755)

    # The files and what they must hold.
    fixture_pfc = os.path.join(work, "Fixture.pfc")
    expected_json = os.path.join(work, "expected.json")
    subprocess.run([args.fixture_writer, fixture_pfc, expected_json], check=True)
    synth_pfc = os.path.join(work, "synth.pfc")
    subprocess.run([args.pfcgen, "synth", "--size", args.synth_size, "--seed", "1", synth_pfc],
                   check=True, stdout=subprocess.DEVNULL)
    inputs = [("fixture", fixture_pfc), ("sample", os.path.abspath(args.sample)), ("synth", synth_pfc)]

    readers = [
        ("python", read_python, "both", {}),
        ("dovecot", Dovecot(args.user), "both", {}),
        ("mutt", read_mutt, "both", {}),
        ("s-nail", read_snail, "both", {"date_only": True, "truncates": True}),
        ("formail", read_formail, "unix", {}),
        ("mailutils", read_mailutils, "unix", {"unescapes": True}),
        ("thunderbird", Thunderbird(), "both", {"unescapes": True}),
    ]

    passed = failed = 0
    for name, pfc in inputs:
        plain = os.path.join(work, name + ".mbx")
        unix = os.path.join(work, name + "-unix.mbx")
        convert(args.cli, pfc, plain, False)
        convert(args.cli, pfc, unix, True)
        count = entries_written(args.cli, pfc, work)
        expected = load_fixture_expectations(expected_json) if name == "fixture" else split_own_output(plain)
        if len(expected) != count:
            print(f"FAIL {name}: the converter wrote {count} entries, {len(expected)} expected")
            failed += 1
            continue
        for reader, read, forms, options in readers:
            for form, path in (("windows", plain), ("unix", unix)):
                if forms == "unix" and form != "unix":
                    continue
                label = f"{reader:<11} {name:<7} {form:<7}"
                started = time.time()
                try:
                    seen = read(path, work)
                    problems = compare(seen, expected, **options)
                except ReaderError as e:
                    seen, problems = [], [str(e)]
                except (UnicodeError, LookupError, ValueError) as e:
                    # A reader's text this check cannot even decode fails that reader, not the run.
                    seen, problems = [], [f"{type(e).__name__}: {e}"]
                took = time.time() - started
                if problems:
                    failed += 1
                    print(f"FAIL {label} {len(seen)} of {len(expected)} messages ({took:.1f} s)")
                    for problem in problems:
                        print("     " + problem.replace("\n", "\n     "))
                else:
                    passed += 1
                    print(f"ok   {label} {len(seen)} of {len(expected)} messages ({took:.1f} s)")
    print(f"interop: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
