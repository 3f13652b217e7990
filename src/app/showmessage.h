#pragma once

#include <string>

#include "app/host.h"

namespace qv {

// Set by ShowMessage when a message went to the log instead of a box; the conversion batch
// clears it when it starts and offers the log at its end when it is set.
extern int MessagesLogged;

// Installs the host that shows messages which have no owner window (start-up messages, the
// working-folder messages). Without one, such messages go to standard error and the default
// button is answered.
void SetOwnerlessHost(BatchHost* host);
BatchHost* OwnerlessHost();

// printf-style formatting into a std::string of any length.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Every user-facing message goes through here. Formats the text; with `logFile` not empty,
// appends "\n<text>\n\n---\n" to it. With `quiet` set, shows nothing, sets MessagesLogged and
// answers IDNO for a yes/no/cancel question, IDCANCEL otherwise. Else shows the box through
// `owner` (or the ownerless host when `owner` is null) and returns the button pressed.
int ShowMessage(BatchHost* owner, int quiet, const std::string& logFile, unsigned type,
                const char* format, ...) __attribute__((format(printf, 5, 6)));

// ShowMessage for a message about one file's `problem`: the same text, log and answers, shown
// through the host's ShowFileProblem (the command line prints "<file>: <cause>" instead).
int ShowFileProblem(BatchHost* owner, int quiet, const std::string& logFile, unsigned type,
                    const FileProblem& problem, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

}  // namespace qv
