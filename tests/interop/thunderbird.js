// Runs inside Thunderbird (Marionette, chrome context, as an async script):
// reads every message of the Local Folders folder named by the first argument
// through Thunderbird's own code, as its message list and message pane show
// them: the folder parsed from the mbox file into its summary, the sender and
// the "To:" recipients as its address parser reads the raw headers, the subject
// as the list decodes it, the date it sorts by, and the plain-text body from
// its MIME parser.
const [folderName, done] = arguments;
const { MailServices } = ChromeUtils.importESModule("resource:///modules/MailServices.sys.mjs");
const { MsgHdrToMimeMessage } = ChromeUtils.importESModule("resource:///modules/gloda/MimeMessage.sys.mjs");

// The folder's summary, built anew from the mbox file.
function parsed(folder) {
  return new Promise((resolve, reject) => {
    const listener = {
      OnStartRunningUrl() {},
      OnStopRunningUrl(url, status) {
        if (Components.isSuccessCode(status)) {
          resolve(folder.msgDatabase);
        } else {
          reject(new Error(`parsing the folder failed: 0x${(status >>> 0).toString(16)}`));
        }
      },
      QueryInterface: ChromeUtils.generateQI(["nsIUrlListener"]),
    };
    try {
      folder.QueryInterface(Ci.nsIMsgLocalMailFolder).getDatabaseWithReparse(listener, null);
    } catch (e) {
      // The summary is being built: the listener hears when it is done.
      if (e.result != Cr.NS_ERROR_NOT_INITIALIZED) {
        reject(e);
      }
    }
  });
}

function mimeMessage(hdr) {
  return new Promise(resolve =>
    MsgHdrToMimeMessage(hdr, null, (h, message) => resolve(message), true, { saneBodySize: false })
  );
}

function addresses(raw) {
  return MailServices.headerParser.parseEncodedHeaderW(raw).map(a => ({ name: a.name, email: a.email }));
}

async function read() {
  const root = MailServices.accounts.localFoldersServer.rootFolder;
  const folder = root.getChildNamed(folderName);
  const db = await parsed(folder);
  const messages = [];
  for (const hdr of db.enumerateMessages()) {
    const message = await mimeMessage(hdr);
    if (!message) {
      throw new Error(`no MIME message for message ${messages.length + 1}`);
    }
    messages.push({
      author: addresses(hdr.author),
      // The summary's recipients are the "CC:" where there is no "To:".
      recipients: addresses(message.headers.to?.join(", ") ?? ""),
      subject: hdr.mime2DecodedSubject,
      // Microseconds since 1970 in UTC; the date header carries no zone, so
      // it is read on the clock Thunderbird runs on (TZ=UTC).
      date: new Date(hdr.date / 1000).toISOString(),
      contentType: message.headers["content-type"]?.[0] ?? "",
      body: message.coerceBodyToPlaintext(),
    });
  }
  return messages;
}

read().then(done, e => done({ error: `${e}\n${e.stack}` }));
