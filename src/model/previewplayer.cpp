#include "model/previewplayer.h"

#include <sys/stat.h>

#include "app/paths.h"

namespace qv {

int PreviewPlayer::Open(const std::string& path, const audio::FrameRange& range) {
  Close();
  // The opener follows the file's own extension. Searching the whole path instead would hand
  // "/music/old.wma/song.mp3" to the WMA opener and leave that file silent.
  const std::string extension = GetLowerExtension(GetFileTitle(path, true));
  HSTREAM stream = 0;
  if (!range.Whole()) {
    stream = QV_StreamCreateFileRange(path.c_str(), 0, range);
  } else if (extension == "wma") {
    stream = BASS_WMA_StreamCreateFile(0, path.c_str(), 0, 0, 0);
  } else if (extension == "cda") {
    stream = BASS_CD_StreamCreateFile(path.c_str(), 0);
  } else if (extension == "flac") {
    stream = BASS_FLAC_StreamCreateFile(0, path.c_str(), 0, 0, 0);
  } else {
    stream = BASS_StreamCreateFile(0, path.c_str(), 0, 0, 0);
  }
  if (stream == 0) return -1;
  BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, m_volume);
  m_stream = stream;
  m_fileName = path;
  m_range = range;
  return 0;
}

int PreviewPlayer::Play() {
  if (m_stream == 0) return -1;
  return BASS_ChannelPlay(m_stream, 0) ? 0 : -1;
}

void PreviewPlayer::StopAndRewind() {
  BASS_ChannelStop(m_stream);
  BASS_ChannelSetPosition(m_stream, 0, BASS_POS_BYTE);
}

bool PreviewPlayer::IsPlaying() const {
  return m_stream != 0 && BASS_ChannelIsActive(m_stream) == BASS_ACTIVE_PLAYING;
}

void PreviewPlayer::Close() {
  if (m_stream == 0) return;
  // No rewind first: it would only make the library open the file again for a stream that
  // goes away at once.
  BASS_ChannelStop(m_stream);
  BASS_StreamFree(m_stream);
  m_stream = 0;
}

bool PlayOrStop(PreviewPlayer& player, const std::string& selectedPath,
                const audio::FrameRange& range) {
  if (selectedPath.empty()) return false;
  if (selectedPath == player.FileName() && range == player.Range() && player.IsPlaying()) {
    player.StopAndRewind();
    return true;
  }
  // A file that cannot be opened leaves the player silent; nothing is reported.
  if (player.Open(selectedPath, range) == 0) player.Play();
  return true;
}

bool AutoPlayState::OnDialogStart(int autoPlayOnOpen) {
  m_flag = autoPlayOnOpen;
  return m_flag != 0;
}

void AutoPlayState::OnCheckBoxClicked(bool checked) {
  m_flag = checked ? 1 : 0;
  if (!checked && m_player.IsPlaying()) m_player.StopAndRewind();
}

void AutoPlayState::OnSelectionChanged(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  if (m_flag == 0) return;
  // Open stops and frees the stream that plays, so the highlight moves at once.
  if (m_player.Open(path) == 0) m_player.Play();
}

}  // namespace qv
