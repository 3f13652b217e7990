#pragma once

#include <string>
#include <vector>

namespace qv {

// Message box types and answers. The values are the ones the program's message texts and
// batch logic were written against (a yes/no question with "No" as the default button is
// MB_YESNO | MB_DEFBUTTON2).
enum : unsigned {
  MB_OK = 0x0,
  MB_YESNOCANCEL = 0x3,
  MB_YESNO = 0x4,
  MB_ICONERROR = 0x10,
  MB_ICONEXCLAMATION = 0x30,
  MB_DEFBUTTON2 = 0x100,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

inline constexpr const char* kAppTitle = "Quorvin";

// Where a running batch stands, as numbers.
struct BatchProgress {
  const char* operation = "";  // "Converting", "Analyzing"
  int rowCount = 0;
  int filesDone = 0;
  int percent = 0;  // of the whole batch, weighed by the files' lengths; never goes back
  // One file at a time (one job, or one row): that file and how far it is.
  bool oneFile = false;
  int fileIndex = 0;  // zero-based
  int processedSeconds = 0;
  int fileSeconds = 0;
  // The names (without folders) of the files being worked on, lowest row first.
  std::vector<std::string> runningFiles;
};

// The status line of a batch: "Converting...  File 2 of 5 - 1:07 of 3:25" for one file at a
// time, "Converting...  3 of 12 files done - 41%" for several at once.
std::string StatusTextOf(const BatchProgress& progress);

// A problem with one file: its path and the cause in a few words ("No such file or
// directory", "the file was cut short: ..."), for a host that reports problems one per line.
struct FileProblem {
  std::string path;
  std::string cause;
};

// The one narrow interface between the core and whatever shows it: the Qt main window, the
// command-line front end and the scripted hosts of the tests. Every call happens on the thread
// that runs the core (the user-interface thread).
class BatchHost {
 public:
  virtual ~BatchHost() = default;

  // Shows a modal message box titled "Quorvin" with the buttons and icon of `type` and returns
  // the button pressed (IDOK, IDYES, IDNO, IDCANCEL).
  virtual int ShowMessageBox(const std::string& text, unsigned type) = 0;
  // Shows a message about one file's problem (`text` is the whole message). `logged`: the
  // message went to the log instead of a box, and the answer is `logged`'s (no box may be
  // shown). By default the box, or nothing when logged; a host may report the problem alone.
  virtual int ShowFileProblem(const FileProblem& problem, const std::string& text, unsigned type,
                              bool logged, int loggedAnswer) {
    (void)problem;
    return logged ? loggedAnswer : ShowMessageBox(text, type);
  }
  // Replaces the text of the status line.
  virtual void SetStatusText(const std::string& text) = 0;
  // Shows how far a batch is; the status line's text of it unless the host shows more.
  virtual void ShowProgress(const BatchProgress& progress) {
    SetStatusText(StatusTextOf(progress));
  }
  // Handles every pending user-interface event, then returns (never waits).
  virtual void PumpMessages() = 0;
  // Switches between the batch layout (idle false: only Minimize, Exit and Cancel usable) and
  // the idle layout (idle true).
  virtual void SetBatchControls(bool idle) = 0;
};

// The answer a host without a person in front of it gives: the default button of `type`.
int DefaultAnswer(unsigned type);

}  // namespace qv
