#pragma once

#include <string>

#include "audio/bass.h"

namespace qv {

// Plays one file at a time for preview through the audio library's own output. Owns the one
// playback stream (0 when there is none) and frees it when it opens another file, on Close and
// when it is destroyed. One per process, created by the main window. User-interface thread
// only; the library plays on threads of its own.
class PreviewPlayer {
 public:
  explicit PreviewPlayer(float volume = 1.0f) : m_volume(volume) {}
  ~PreviewPlayer() { Close(); }
  PreviewPlayer(const PreviewPlayer&) = delete;
  PreviewPlayer& operator=(const PreviewPlayer&) = delete;

  // Stops and frees the current stream, then opens `path` for playback. Returns 0, or -1 when
  // no stream could be made (the player is then empty and FileName keeps its old value).
  // With `range`, only that part of the file plays (a track of an album image).
  int Open(const std::string& path, const audio::FrameRange& range = {});
  // 0 when the stream starts or goes on playing, -1 without a stream or when it cannot start.
  int Play();
  // Stops the stream and rewinds it to its start; harmless without a stream.
  void StopAndRewind();
  // True only while the stream is playing (not stopped, stalled or paused).
  bool IsPlaying() const;
  const std::string& FileName() const { return m_fileName; }
  const audio::FrameRange& Range() const { return m_range; }
  // Stops and frees the stream; the player is empty afterwards.
  void Close();
  HSTREAM Stream() const { return m_stream; }

 private:
  HSTREAM m_stream = 0;
  std::string m_fileName;
  audio::FrameRange m_range;
  float m_volume;
};

// The play command of the main window: plays the selected file, or stops it when it already
// plays. `selectedPath` is the decode path of the one selected row (empty when not exactly one
// row is selected). Returns false when there was nothing to play (the caller then asks the
// user to select one file).
// `range` is the part of the file the row stands for.
bool PlayOrStop(PreviewPlayer& player, const std::string& selectedPath,
                const audio::FrameRange& range = {});

// The auto-play behaviour of the Add Files dialog: a check box that starts as the AutoPlayOnOpen
// setting, and the highlighted file playing while the box is checked. One per open dialog; the
// dialog's own setting never goes back to AutoPlayOnOpen. User-interface thread only.
class AutoPlayState {
 public:
  explicit AutoPlayState(PreviewPlayer& player) : m_player(player) {}

  // The dialog opened: the flag becomes a copy of `autoPlayOnOpen`; returns whether the box
  // starts checked.
  bool OnDialogStart(int autoPlayOnOpen);
  // The box was clicked: the flag follows it; unchecking stops a file that plays.
  void OnCheckBoxClicked(bool checked);
  // The highlighted entry changed: when it is an existing regular file (not a folder) and the
  // flag is set, the file that plays stops and `path` plays. Nothing is reported.
  void OnSelectionChanged(const std::string& path);
  bool Flag() const { return m_flag != 0; }

 private:
  PreviewPlayer& m_player;
  int m_flag = 0;
};

}  // namespace qv
