#pragma once
// CUE sheets: the text that divides an album image (one file holding a whole disc) into its
// tracks. Parsing is pure; resolving the files a sheet names looks at the sheet's folder.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// CD frames: a sheet's times are mm:ss:ff with 75 frames a second.
inline constexpr int kCueFramesPerSecond = 75;

struct CueTrack {
  int number = 0;
  int file = 0;                // index into CueSheet::files
  std::int64_t start = 0;      // INDEX 01 in CD frames from the start of its file
  std::string title;
  std::string performer;
};

struct CueSheet {
  std::string title;      // the album
  std::string performer;  // the album's artist
  std::string date;       // REM DATE
  std::string genre;      // REM GENRE
  std::vector<std::string> files;  // FILE names as the sheet gives them, in order
  std::vector<CueTrack> tracks;    // the AUDIO tracks, in sheet order
};

// Parses the text of a sheet (UTF-8). False, with `error` a sentence for the user, when it holds
// no audio track, a track without INDEX 01, a time that is not mm:ss:ff, or tracks of one
// file out of order.
bool ParseCueSheet(std::string_view text, CueSheet& sheet, std::string& error);

// The text of a sheet file as UTF-8: a byte-order mark is dropped, and text that is not UTF-8 is
// read as Latin-1 (as older rippers wrote it). False when the file cannot be read or is larger
// than a sheet can be (1 MiB).
bool ReadCueText(const std::string& path, std::string& text);

// Reads and parses the sheet at `path`, then finds its files: a FILE name relative to the
// sheet's folder (or, failing that, its last component there); a sheet with one FILE that is
// missing takes the audio file beside the sheet with the sheet's base name. `paths` gets one
// path per entry of `sheet.files`. False with `error` naming what is wrong or missing.
bool LoadCueSheet(const std::string& path, CueSheet& sheet, std::vector<std::string>& paths,
                  std::string& error);

// The sheet beside an image with its base name ("Album.cue" for "Album.flac", or
// "Album.flac.cue"); empty when there is none.
std::string SheetBesideImage(const std::string& imagePath);

bool IsCueSheetName(std::string_view path);

}  // namespace qv
