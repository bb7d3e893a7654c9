#pragma once

// How a save of one image's row ended, in every place that stores rows: the
// annotation file and a team's dataset on a server. The windows turn each
// refusal into the person's message; the stores only say which it was.
enum class SaveResult {
    Saved,
    NameNotStorable,      // the file name holds "," or a line end, or begins with '"'
    CannotOpen,           // the file cannot be read, created or replaced
    NotText,              // the existing file is not UTF-8 text
    ForeignHeader,        // the first line is not the catalogue's header row
    WriteFailed,          // writing or committing the new content failed
    Locked,               // another program is saving into the file
    CannotCreateInFolder, // the folder does not let a new file be created
    DiskFull,             // no room or quota left for the lock or the new content
    RowChanged,           // the row is no longer the one a put-back expects
    // A team's dataset on a server only:
    Conflict,             // another window saved the row since this one showed it
    Unreachable,          // the server did not answer, or the connection is lost
    Unconfirmed,          // the connection failed after the save was sent: it may stand
    Held,                 // the image waits to be labelled second, and another window shows it
};

